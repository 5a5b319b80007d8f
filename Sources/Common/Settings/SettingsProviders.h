// The sources of the global settings: the process environment and the INI files.
#pragma once

#include "Platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Settings {

// One source of (section, key) values. A null section means "General". Reads answer S_OK, or
// HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when the source has no value; E_INVALIDARG when an
// integer's text does not parse.
class ISettingsProvider {
public:
    virtual ~ISettingsProvider() = default;
    virtual HRESULT ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) = 0;
    virtual HRESULT ReadInt(const wchar_t* section, const wchar_t* key, uint32_t& value);
};

// Parses the whole text as an unsigned 32-bit integer: "0x" hexadecimal, a leading 0 octal,
// else decimal. False for anything else, characters after the number included.
bool ParseUInt32(const std::wstring& text, uint32_t& value) noexcept;

// Variables named "GS_" + section + "_" + key; a variable that exists, also empty, answers.
class EnvironmentSettingsProvider final : public ISettingsProvider {
public:
    HRESULT ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
};

// INI files: the file named by GLOBAL_SETTINGS_INI first, then the candidates in order; the
// first non-empty value wins.
class IniSettingsProvider final : public ISettingsProvider {
public:
    explicit IniSettingsProvider(std::vector<std::wstring> candidates)
        : m_candidates(std::move(candidates)) {}

    // The candidate files of a module: the executable's name and this module's name with
    // ".ini", and "GlobalSettings.ini", beside the executable and beside this module.
    static std::vector<std::wstring> CandidateFiles(const std::wstring& executablePath,
                                                    const std::wstring& modulePath);

    HRESULT ReadString(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
    const std::vector<std::wstring>& Candidates() const noexcept { return m_candidates; }

private:
    std::vector<std::wstring> m_candidates;
};

} // namespace Settings
