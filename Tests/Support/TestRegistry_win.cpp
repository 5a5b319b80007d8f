#include "Support/TestRegistry.h"

#include "Support/PosixForTests.h"

#include "Platform.h"
#include "Platform/Win32/TempDirectory.h"

#include <sstream>
#include <vector>

namespace {

// The root and subkey of a section header's key name, such as HKEY_CURRENT_USER\SOFTWARE\x.
bool SplitKey(const std::string& name, HKEY& root, std::wstring& subkey) {
    const size_t slash = name.find('\\');
    const std::string rootName = name.substr(0, slash);
    if (rootName == "HKEY_LOCAL_MACHINE") {
        root = HKEY_LOCAL_MACHINE;
    } else if (rootName == "HKEY_CURRENT_USER") {
        root = HKEY_CURRENT_USER;
    } else {
        return false;
    }
    const std::string rest = slash == std::string::npos ? std::string() : name.substr(slash + 1);
    subkey.assign(rest.begin(), rest.end());
    return !subkey.empty();
}

} // namespace

struct TestRegistry::State {
    TempDirectory dir;
    std::vector<std::pair<HKEY, std::wstring>> keys;
};

TestRegistry::TestRegistry(const std::string& regText) : m_state(std::make_unique<State>()) {
    std::istringstream lines(regText);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        HKEY root = nullptr;
        std::wstring subkey;
        if (line.size() > 2 && line.front() == '[' && line.back() == ']' &&
            SplitKey(line.substr(1, line.size() - 2), root, subkey)) {
            m_state->keys.emplace_back(root, subkey);
        }
    }
    m_state->dir.Write("test.reg", regText);
    std::wstring command = L"reg.exe import \"" + m_state->dir.Windows("test.reg") + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        return;
    }
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &exitCode);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    m_ready = exitCode == 0;
}

TestRegistry::~TestRegistry() {
    for (const auto& [root, subkey] : m_state->keys) {
        RegDeleteTreeW(root, subkey.c_str());
        RegDeleteKeyW(root, subkey.c_str());
    }
}
