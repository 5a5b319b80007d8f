// Helpers of the logging tests: settings through the environment, debug output into a file,
// UTF-16LE files read back.
#pragma once

#include "Base/Utf.h"
#include "Logging/LogManager.h"
#include "Platform/Win32System/TempDirectory.h"

#include <cstdlib>
#include <string>
#include <vector>

// Sets (or with null clears) GS_Logger_<key> and refreshes the logger settings at once.
inline void SetLoggerSetting(const char* key, const char* value) {
    const std::string name = std::string("GS_Logger_") + key;
    if (value != nullptr) {
        ::setenv(name.c_str(), value, 1);
    } else {
        ::unsetenv(name.c_str());
    }
    Logging::LogManager::Instance().Settings().Refresh();
}

// A UTF-16LE file as text; a byte-order mark stays in the text as U+FEFF.
inline std::wstring ReadUtf16Le(const std::string& bytes) {
    return Base::WideFromUtf16Le(bytes);
}

inline std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        auto end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Routes the debug output of the process into a file for one test.
class DebugOutputCapture {
public:
    DebugOutputCapture() {
        m_dir.Write("debug.txt", "");
        ::setenv("PAL_DEBUG_OUTPUT", (m_dir.Path() / "debug.txt").c_str(), 1);
    }
    ~DebugOutputCapture() { ::unsetenv("PAL_DEBUG_OUTPUT"); }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;
    std::string Text() const { return m_dir.Read("debug.txt"); }

private:
    TempDirectory m_dir;
};
