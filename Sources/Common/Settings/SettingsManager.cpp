#include "Settings/SettingsManager.h"

#include "Base/Mutex.h"
#include "ErrorHandling/ErrorHandling.h"
#include "ErrorHandling/LazyInstance.h"
#include "Settings/ModulePaths.h"

namespace Settings {

namespace {

LazyInstance<SettingsManager> g_manager;

// How a key was found absent: a text that is not a number is absent as an integer only.
constexpr unsigned kAsText = 1;
constexpr unsigned kAsInteger = 2;

} // namespace

SettingsManager& SettingsManager::Instance() {
    return g_manager.Get([] {
        auto manager = std::make_unique<SettingsManager>();
        manager->AddProvider(std::make_unique<IniSettingsProvider>(
            IniSettingsProvider::CandidateFiles(ExecutablePath(), ThisModulePath())));
        manager->AddProvider(std::make_unique<EnvironmentSettingsProvider>());
        return manager;
    });
}

void SettingsManager::AddProvider(std::unique_ptr<ISettingsProvider> provider) {
    Base::LockGuard lock(m_lock);
    m_providers.push_back(std::move(provider));
}

template <typename Read>
HRESULT SettingsManager::Ask(Read&& read) {
    Base::LockGuard lock(m_lock);
    for (auto it = m_providers.rbegin(); it != m_providers.rend(); ++it) {
        const HRESULT hr = read(**it);
        if (SUCCEEDED(hr) || hr == E_ABORT) {
            return hr;
        }
    }
    return HR_NOT_FOUND;
}

HRESULT SettingsManager::GetSetting(const wchar_t* section, const wchar_t* key,
                                    std::wstring& value) {
    return Ask([&](ISettingsProvider& provider) {
        std::wstring found;
        const HRESULT hr = provider.ReadString(section, key, found);
        if (SUCCEEDED(hr)) {
            value = std::move(found);
        }
        return hr;
    });
}

HRESULT SettingsManager::GetSettingInt(const wchar_t* section, const wchar_t* key,
                                       uint32_t& value) {
    return Ask([&](ISettingsProvider& provider) { return provider.ReadInt(section, key, value); });
}

bool ReadSetting(const wchar_t* section, const wchar_t* key, std::wstring& value) {
    return SUCCEEDED(SettingsManager::Instance().GetSetting(section, key, value));
}

uint32_t ReadSettingInt(const wchar_t* section, const wchar_t* key, uint32_t defaultValue) {
    uint32_t value = defaultValue;
    return SUCCEEDED(SettingsManager::Instance().GetSettingInt(section, key, value)) ? value
                                                                                     : defaultValue;
}

SettingsSection::SettingsSection(std::wstring name, uint32_t refreshIntervalMs,
                                 SettingsManager* manager)
    : m_name(std::move(name)), m_refreshInterval(refreshIntervalMs), m_manager(manager) {}

SettingsManager& SettingsSection::Manager() const {
    return m_manager != nullptr ? *m_manager : SettingsManager::Instance();
}

bool SettingsSection::IsStale() const noexcept {
    return m_refreshInterval != 0 &&
           (m_lastRefresh == 0 || GetTickCount() - m_lastRefresh > m_refreshInterval);
}

void SettingsSection::RefreshLocked() {
    m_strings.clear();
    m_integers.clear();
    m_missing.clear();
    m_lastRefresh = GetTickCount();
    ++m_generation;
}

bool SettingsSection::Refresh(bool unconditional) {
    Base::LockGuard lock(m_lock);
    if (!unconditional && !IsStale()) {
        return false;
    }
    RefreshLocked();
    return true;
}

uint32_t SettingsSection::Generation() {
    Base::LockGuard lock(m_lock);
    return m_generation;
}

bool SettingsSection::ReadString(std::wstring_view key, std::wstring& value) {
    Base::LockGuard lock(m_lock);
    if (IsStale()) {
        RefreshLocked();
    }
    if (const auto it = m_strings.find(key); it != m_strings.end()) {
        value = it->second;
        return true;
    }
    if (const auto it = m_missing.find(key); it != m_missing.end() && (it->second & kAsText)) {
        return false;
    }
    std::wstring name(key);
    std::wstring found;
    if (FAILED(Manager().GetSetting(m_name.c_str(), name.c_str(), found))) {
        m_missing[std::move(name)] |= kAsText;
        return false;
    }
    value = m_strings.insert_or_assign(std::move(name), std::move(found)).first->second;
    return true;
}

uint32_t SettingsSection::ReadInt(std::wstring_view key, uint32_t defaultValue) {
    Base::LockGuard lock(m_lock);
    if (IsStale()) {
        RefreshLocked();
    }
    if (const auto it = m_integers.find(key); it != m_integers.end()) {
        return it->second;
    }
    if (const auto it = m_missing.find(key); it != m_missing.end() && (it->second & kAsInteger)) {
        return defaultValue;
    }
    std::wstring name(key);
    uint32_t found = 0;
    if (FAILED(Manager().GetSettingInt(m_name.c_str(), name.c_str(), found))) {
        m_missing[std::move(name)] |= kAsInteger;
        return defaultValue;
    }
    m_integers.emplace(std::move(name), found);
    return found;
}

} // namespace Settings
