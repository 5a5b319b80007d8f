// INI files read the way GetPrivateProfileStringW reads them on Windows.

#include "PalWin32/ApiBoundary.h"

#include "Base/Text.h"
#include "PalWin32/Files/NativeText.h"
#include "PalWin32/Settings/TextFile.h"

#include "Win32/ProcessEnv.h"
#include "Win32/WinBase.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct IniEntry {
    std::wstring key;
    std::wstring value;
};

struct IniSection {
    std::wstring name;
    std::vector<IniEntry> entries;
};

std::vector<IniSection> ParseIni(const std::wstring& text) {
    std::vector<IniSection> sections;
    size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        const std::wstring line = Base::Trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == L';') {
            continue;
        }
        if (line[0] == L'[') {
            const auto close = line.find(L']');
            sections.push_back(
                IniSection{Base::Trimmed(line.substr(
                               1, close == std::wstring::npos ? std::wstring::npos : close - 1)),
                           {}});
            continue;
        }
        const auto equals = line.find(L'=');
        if (sections.empty() || equals == std::wstring::npos) {
            continue;
        }
        std::wstring value = Base::Trimmed(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        sections.back().entries.push_back(
            IniEntry{Base::Trimmed(line.substr(0, equals)), std::move(value)});
    }
    return sections;
}

const IniSection* FindSection(const std::vector<IniSection>& sections, const std::wstring& name) {
    for (const auto& section : sections) {
        if (Pal::EqualsNoCase(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

// Copies one text, cut to fit; returns the characters copied.
DWORD CopyText(const std::wstring& text, LPWSTR buffer, DWORD size) {
    const size_t length = std::min<size_t>(text.size(), size - 1);
    std::wmemcpy(buffer, text.data(), length);
    buffer[length] = L'\0';
    return static_cast<DWORD>(length);
}

// Copies a list of null-terminated names ending with a second null; a list that does not fit is
// cut and the result is size - 2, as on Windows.
DWORD CopyList(const std::vector<std::wstring>& names, LPWSTR buffer, DWORD size) {
    std::wstring list;
    for (const auto& name : names) {
        list += name;
        list += L'\0';
    }
    if (size < 2) {
        buffer[0] = L'\0';
        return 0;
    }
    if (list.size() + 1 <= size) {
        std::wmemcpy(buffer, list.data(), list.size());
        buffer[list.size()] = L'\0';
        return static_cast<DWORD>(list.empty() ? 0 : list.size());
    }
    std::wmemcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = L'\0';
    buffer[size - 1] = L'\0';
    return size - 2;
}

} // namespace

DWORD WINAPI GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                      LPWSTR buffer, DWORD size, LPCWSTR fileName) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<DWORD>(0), [&]() -> DWORD {
        if (buffer == nullptr || size == 0) {
            return 0;
        }
        buffer[0] = L'\0'; // what a failure leaves
        std::wstring text;
        DWORD error = ERROR_SUCCESS;
        const bool read =
            fileName != nullptr && Pal::ReadTextFile(Pal::ToNativePath(fileName), text, error);
        const auto sections = read ? ParseIni(text) : std::vector<IniSection>();

        if (section == nullptr) {
            std::vector<std::wstring> names;
            for (const auto& s : sections) {
                names.push_back(s.name);
            }
            SetLastError(read ? ERROR_SUCCESS : error);
            return CopyList(names, buffer, size);
        }
        const IniSection* found = FindSection(sections, section);
        if (key == nullptr) {
            std::vector<std::wstring> keys;
            if (found != nullptr) {
                for (const auto& entry : found->entries) {
                    keys.push_back(entry.key);
                }
            }
            SetLastError(read ? ERROR_SUCCESS : error);
            return CopyList(keys, buffer, size);
        }
        if (found != nullptr) {
            for (const auto& entry : found->entries) {
                if (Pal::EqualsNoCase(entry.key, key)) {
                    SetLastError(ERROR_SUCCESS);
                    return CopyText(entry.value, buffer, size);
                }
            }
        }
        // The default, without its trailing blanks.
        std::wstring fallback =
            defaultValue == nullptr ? std::wstring() : std::wstring(defaultValue);
        while (!fallback.empty() && fallback.back() == L' ') {
            fallback.pop_back();
        }
        SetLastError(read ? ERROR_FILE_NOT_FOUND : error);
        return CopyText(fallback, buffer, size);
    });
}
