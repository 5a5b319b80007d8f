#include "Logging/LoggerSettings.h"

#include "Base/Mutex.h"
#include "Logging/LogFormatter.h"
#include "Settings/DataDirectory.h"

#include <algorithm>
#include <cwctype>

namespace Logging {

std::optional<uint32_t> SeverityFromName(const std::wstring& name) noexcept {
    for (uint32_t severity = 0; severity <= 7; ++severity) {
        const std::wstring_view candidate = SeverityName(severity);
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(), [](wchar_t a, wchar_t b) {
                return std::towupper(static_cast<wint_t>(a)) ==
                       std::towupper(static_cast<wint_t>(b));
            })) {
            return severity;
        }
    }
    return std::nullopt;
}

LoggerSettings::LoggerSettings(TickSource ticks) : m_ticks(ticks), m_section(L"Logger") {}

void LoggerSettings::Refresh(bool force) noexcept {
    try {
        Base::LockGuard lock(m_lock);
        const DWORD now = m_ticks();
        if (!force && m_refreshed.load(std::memory_order_relaxed) &&
            now - m_lastRefresh.load(std::memory_order_relaxed) <= RefreshIntervalMs) {
            return; // another thread refreshed meanwhile
        }
        m_section.Refresh(true);
        uint32_t severity = DefaultMaxSeverity;
        std::wstring name;
        if (m_section.ReadString(L"MaxSeverity", name)) {
            severity = SeverityFromName(name).value_or(DefaultMaxSeverity);
        }
        m_maxSeverity.store(severity, std::memory_order_relaxed);
        m_keepOpenInterval.store(m_section.ReadInt(L"KeepOpenInterval", DefaultKeepOpenIntervalMs),
                                 std::memory_order_relaxed);
        m_sizeThresholdMB.store(
            m_section.ReadInt(L"LogFileSizeThresholdMB", DefaultSizeThresholdMB),
            std::memory_order_relaxed);
        m_directoryChanged.store(true, std::memory_order_relaxed);
        m_lastRefresh.store(now, std::memory_order_relaxed);
        m_refreshed.store(true, std::memory_order_release);
    } catch (...) {
        // The settings could not be read: the previous values stay.
    }
}

uint32_t LoggerSettings::KeepOpenInterval() noexcept {
    RefreshIfStale();
    return m_keepOpenInterval.load(std::memory_order_relaxed);
}

uint32_t LoggerSettings::SizeThresholdMB() noexcept {
    RefreshIfStale();
    return m_sizeThresholdMB.load(std::memory_order_relaxed);
}

std::wstring LoggerSettings::LogDirectory() {
    RefreshIfStale();
    Base::LockGuard lock(m_lock);
    if (m_directoryChanged.load(std::memory_order_relaxed)) {
        std::wstring path = L"Logs\\";
        m_section.ReadString(L"Path", path);
        std::wstring directory = Settings::ResolveDataPath(Settings::ExpandEnvironment(path));
        std::replace(directory.begin(), directory.end(), L'/', L'\\');
        directory = Settings::WithFinalSeparator(std::move(directory));
        if (directory != m_directory) {
            m_directory = directory;
            Settings::CreateDirectories(m_directory, nullptr, true);
        }
        m_directoryChanged.store(false, std::memory_order_relaxed);
    }
    return m_directory;
}

} // namespace Logging
