#include "Support/PosixForTests.h"

#include "Platform.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

std::wstring Widen(const char* text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
    if (length > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    }
    wide.resize(wide.size() - 1);
    return wide;
}

} // namespace

int setenv(const char* name, const wchar_t* value, int overwrite) {
    const std::wstring wideName = Widen(name);
    if (overwrite == 0 && ::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0) != 0) {
        return 0;
    }
    // The C runtime cannot hold an empty variable (_wputenv_s with "" removes it); the process's
    // environment can, and that is the one the code under test reads.
    if (*value != L'\0' && ::_wputenv_s(wideName.c_str(), value) != 0) {
        return -1;
    }
    return ::SetEnvironmentVariableW(wideName.c_str(), value) ? 0 : -1;
}

int setenv(const char* name, const char* value, int overwrite) {
    return setenv(name, Widen(value).c_str(), overwrite);
}

int unsetenv(const char* name) {
    const std::wstring wideName = Widen(name);
    ::_wputenv_s(wideName.c_str(), L"");
    return ::SetEnvironmentVariableW(wideName.c_str(), nullptr) ||
                   ::GetLastError() == ERROR_ENVVAR_NOT_FOUND
               ? 0
               : -1;
}

char* mkdtemp(char* pattern) {
    const size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
        return nullptr;
    }
    // Random names, as POSIX gives them: the C runtime's _mktemp would give the same name again
    // as soon as the last one is removed, and a test would then meet its predecessor's leftovers.
    constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof(kLetters) - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = length - 6; i < length; ++i) {
            pattern[i] = kLetters[pick(random)];
        }
        if (::CreateDirectoryA(pattern, nullptr)) {
            return pattern;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
    }
    return nullptr;
}
