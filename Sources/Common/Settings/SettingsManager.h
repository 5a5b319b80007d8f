// The global settings of the process: (section, key) pairs read from the environment first and
// the INI files second. Read-only; nothing here writes settings.
#pragma once

#include "Base/Mutex.h"
#include "Base/Text.h"
#include "Settings/SettingsProviders.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Settings {

class SettingsManager {
public:
    SettingsManager() = default;
    SettingsManager(const SettingsManager&) = delete;
    SettingsManager& operator=(const SettingsManager&) = delete;

    // The process's manager, built on first use with the INI provider of this module's
    // candidate files and the environment provider.
    static SettingsManager& Instance();

    // Providers are asked from the last registered to the first.
    void AddProvider(std::unique_ptr<ISettingsProvider> provider);

    // The first answer that is a success or E_ABORT ends the search; when every provider fails
    // the result is HRESULT_FROM_WIN32(ERROR_NOT_FOUND) and value is unchanged. A null section
    // means "General".
    HRESULT GetSetting(const wchar_t* section, const wchar_t* key, std::wstring& value);
    HRESULT GetSettingInt(const wchar_t* section, const wchar_t* key, uint32_t& value);

private:
    template <typename Read>
    HRESULT Ask(Read&& read);

    Base::RecursiveMutex m_lock;
    std::vector<std::unique_ptr<ISettingsProvider>> m_providers GUARDED_BY(m_lock);
};

// GetSetting of the process's manager as a yes/no answer; value is assigned only when found.
bool ReadSetting(const wchar_t* section, const wchar_t* key, std::wstring& value);
// GetSettingInt of the process's manager, or the default.
uint32_t ReadSettingInt(const wchar_t* section, const wchar_t* key, uint32_t defaultValue);

// A section of the settings with caches of what was read since its last refresh. With a
// refresh interval (milliseconds, not 0) the section refreshes itself when it is older than
// that; with 0 only when told to.
class SettingsSection {
public:
    explicit SettingsSection(std::wstring name, uint32_t refreshIntervalMs = 0,
                             SettingsManager* manager = nullptr);
    SettingsSection(const SettingsSection&) = delete;
    SettingsSection& operator=(const SettingsSection&) = delete;

    // The value of a key; false when absent (also when found absent since the last refresh).
    bool ReadString(std::wstring_view key, std::wstring& value);
    // The value of a key as an integer, or the default when absent or malformed.
    uint32_t ReadInt(std::wstring_view key, uint32_t defaultValue);
    // Clears the caches when the section is stale, or always when unconditional. True when a
    // refresh happened.
    bool Refresh(bool unconditional);
    // Incremented by every refresh.
    uint32_t Generation();
    const std::wstring& Name() const noexcept { return m_name; }

private:
    bool IsStale() const noexcept REQUIRES(m_lock);
    void RefreshLocked() REQUIRES(m_lock);
    SettingsManager& Manager() const;

    const std::wstring m_name;
    const uint32_t m_refreshInterval;
    SettingsManager* const m_manager;
    Base::RecursiveMutex m_lock;
    uint32_t m_generation GUARDED_BY(m_lock) = 0;
    uint32_t m_lastRefresh GUARDED_BY(m_lock) = 0;
    // Asked by key without a copy of it: the logger asks for every line it writes.
    template <typename Value>
    using KeyMap = std::unordered_map<std::wstring, Value, Base::WideTextHash, std::equal_to<>>;
    KeyMap<std::wstring> m_strings GUARDED_BY(m_lock);
    KeyMap<uint32_t> m_integers GUARDED_BY(m_lock);
    // Key -> how it was found absent.
    KeyMap<unsigned> m_missing GUARDED_BY(m_lock);
};

} // namespace Settings
