#include "Settings/SettingsProviders.h"

#include "Base/Text.h"
#include "ErrorHandling/ComMethodBoundary.h"
#include "ErrorHandling/ErrorHandling.h"
#include "Settings/ModulePaths.h"

#include <cerrno>
#include <cwchar>
#include <optional>

namespace Settings {

namespace {

const wchar_t* SectionOrGeneral(const wchar_t* section) noexcept {
    return section == nullptr ? L"General" : section;
}

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) {
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0) {
        // 0 is an empty value or a missing variable; the last error tells them apart.
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            return std::nullopt;
        }
        return std::wstring();
    }
    std::wstring value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(name.c_str(), value.data(), needed);
    if (length >= needed) {
        return std::nullopt; // changed in between
    }
    value.resize(length);
    return value;
}

// One INI file's non-empty value, read into a buffer that doubles while the value fills it.
std::optional<std::wstring> IniValue(const wchar_t* section, const wchar_t* key,
                                     const std::wstring& file) {
    std::wstring buffer(260, L'\0');
    for (;;) {
        const DWORD length = GetPrivateProfileStringW(
            section, key, L"", buffer.data(), static_cast<DWORD>(buffer.size()), file.c_str());
        if (length + 1 < buffer.size()) {
            if (length == 0) {
                return std::nullopt;
            }
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

HRESULT ISettingsProvider::ReadInt(const wchar_t* section, const wchar_t* key, uint32_t& value) {
    std::wstring text;
    const HRESULT hr = ReadString(section, key, text);
    if (FAILED(hr)) {
        return hr;
    }
    uint32_t parsed = 0;
    if (!ParseUInt32(text, parsed)) {
        return E_INVALIDARG;
    }
    value = parsed;
    return S_OK;
}

bool ParseUInt32(const std::wstring& text, uint32_t& value) noexcept {
    if (text.empty() || text[0] == L'-' || text[0] == L'+' || text[0] == L' ' || text[0] == L'\t') {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long number = std::wcstoull(text.c_str(), &end, 0);
    if (end != text.c_str() + text.size() || errno == ERANGE || number > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

HRESULT EnvironmentSettingsProvider::ReadString(const wchar_t* section, const wchar_t* key,
                                                std::wstring& value) {
    return ComMethodBoundary([&] {
        const auto variable =
            EnvironmentVariable(std::wstring(L"GS_") + SectionOrGeneral(section) + L"_" + key);
        if (!variable) {
            return HR_NOT_FOUND;
        }
        value = Base::Trimmed(*variable);
        return S_OK;
    });
}

std::vector<std::wstring> IniSettingsProvider::CandidateFiles(const std::wstring& executablePath,
                                                              const std::wstring& modulePath) {
    const std::wstring executableDirectory = DirectoryOf(executablePath);
    const std::wstring moduleDirectory = DirectoryOf(modulePath);
    const bool separateModule = modulePath != executablePath;
    std::vector<std::wstring> files;
    files.push_back(executableDirectory + FileStem(executablePath) + L".ini");
    if (separateModule) {
        files.push_back(executableDirectory + FileStem(modulePath) + L".ini");
    }
    files.push_back(executableDirectory + L"GlobalSettings.ini");
    if (separateModule && moduleDirectory != executableDirectory) {
        files.push_back(moduleDirectory + FileStem(modulePath) + L".ini");
        files.push_back(moduleDirectory + L"GlobalSettings.ini");
    }
    return files;
}

HRESULT IniSettingsProvider::ReadString(const wchar_t* section, const wchar_t* key,
                                        std::wstring& value) {
    return ComMethodBoundary([&] {
        const wchar_t* const name = SectionOrGeneral(section);
        std::optional<std::wstring> found;
        if (const auto named = EnvironmentVariable(L"GLOBAL_SETTINGS_INI")) {
            found = IniValue(name, key, *named);
        }
        for (size_t i = 0; !found && i < m_candidates.size(); ++i) {
            found = IniValue(name, key, m_candidates[i]);
        }
        if (!found) {
            return HR_NOT_FOUND;
        }
        value = Base::Trimmed(*found);
        return S_OK;
    });
}

} // namespace Settings
