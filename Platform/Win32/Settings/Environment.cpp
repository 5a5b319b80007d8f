// Environment variables and their expansion over the process environment.

#include "PalWin32/ApiBoundary.h"
#include "PalWin32/Files/NativeText.h"

#include "Base/Utf.h"

#include "Win32/ProcessEnv.h"
#include "Win32/WinBase.h"

#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>

namespace {

std::optional<std::wstring> Variable(const std::wstring& name) {
    if (name.empty() || name.find(L'=') != std::wstring::npos) {
        return std::nullopt;
    }
    const char* value = std::getenv(Base::Utf8FromWide(name).c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return Base::WideFromUtf8(value);
}

} // namespace

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<DWORD>(0), [&]() -> DWORD {
        if (name == nullptr) {
            SetLastError(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
        const auto value = Variable(name);
        if (!value) {
            SetLastError(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
        const auto length = static_cast<DWORD>(value->size());
        if (buffer == nullptr || size <= length) {
            return length + 1; // the size needed, with the null
        }
        std::wmemcpy(buffer, value->c_str(), value->size() + 1);
        SetLastError(ERROR_SUCCESS); // tells an empty value from a missing variable
        return length;
    });
}

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<DWORD>(0), [&]() -> DWORD {
        if (source == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const std::wstring text(source);
        std::wstring expanded;
        size_t i = 0;
        while (i < text.size()) {
            if (text[i] != L'%') {
                expanded += text[i++];
                continue;
            }
            const auto close = text.find(L'%', i + 1);
            if (close == std::wstring::npos) {
                expanded.append(text, i, std::wstring::npos);
                break;
            }
            const auto value = Variable(text.substr(i + 1, close - i - 1));
            if (value) {
                expanded += *value;
                i = close + 1;
            } else {
                // Not a defined variable: the text stays, and its closing "%" may open the next
                // one.
                expanded.append(text, i, close - i);
                i = close;
            }
        }
        const auto needed = static_cast<DWORD>(expanded.size() + 1);
        if (destination != nullptr && size >= needed) {
            std::wmemcpy(destination, expanded.c_str(), needed);
        }
        return needed;
    });
}
