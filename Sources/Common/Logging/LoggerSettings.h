// The settings of section "Logger", re-read at most every 5000 ms: MaxSeverity, Path,
// KeepOpenInterval and LogFileSizeThresholdMB.
#pragma once

#include "Base/Mutex.h"
#include "Settings/SettingsManager.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace Logging {

// The clock of the logger settings' refresh and of the file logger's kept handle: milliseconds
// as GetTickCount counts them (tests give a clock of their own).
using TickSource = DWORD(WINAPI*)();

// The severity of a name, compared without regard to case; nothing for other texts.
std::optional<uint32_t> SeverityFromName(const std::wstring& name) noexcept;

class LoggerSettings {
public:
    static constexpr uint32_t RefreshIntervalMs = 5000;
    static constexpr uint32_t DefaultMaxSeverity = 5; // DBG
    static constexpr uint32_t DefaultKeepOpenIntervalMs = 5000;
    static constexpr uint32_t DefaultSizeThresholdMB = 1024;

    explicit LoggerSettings(TickSource ticks = &GetTickCount);
    LoggerSettings(const LoggerSettings&) = delete;
    LoggerSettings& operator=(const LoggerSettings&) = delete;

    // Refreshes when no refresh happened yet or the last one is older than 5000 ms. Cheap when
    // fresh: a tick-count comparison.
    void RefreshIfStale() noexcept {
        if (!m_refreshed.load(std::memory_order_acquire) ||
            m_ticks() - m_lastRefresh.load(std::memory_order_relaxed) > RefreshIntervalMs) {
            Refresh(false);
        }
    }
    // Re-reads the section now (or, unless forced, when still stale under the lock): stores the
    // maximum severity, the keep-open interval and the size threshold, marks the log directory
    // for re-working and stamps the time.
    void Refresh(bool force = true) noexcept;

    uint32_t MaxSeverity() const noexcept { return m_maxSeverity.load(std::memory_order_relaxed); }
    uint32_t KeepOpenInterval() noexcept;
    uint32_t SizeThresholdMB() noexcept;
    // The log directory from Path: expanded, under the data directory when relative, with "\"
    // separators and a final "\". Worked out again after each refresh, and created (with its
    // parents, errors ignored) when it changes.
    std::wstring LogDirectory();

private:
    const TickSource m_ticks;
    std::atomic<bool> m_refreshed{false};
    std::atomic<uint32_t> m_lastRefresh{0};
    std::atomic<uint32_t> m_maxSeverity{DefaultMaxSeverity};
    // Read with the severity at each refresh: the file logger asks for the interval every line.
    std::atomic<uint32_t> m_keepOpenInterval{DefaultKeepOpenIntervalMs};
    std::atomic<uint32_t> m_sizeThresholdMB{DefaultSizeThresholdMB};
    std::atomic<bool> m_directoryChanged{true};
    Settings::SettingsSection m_section;
    Base::RecursiveMutex m_lock; // also serialises refreshes
    std::wstring m_directory GUARDED_BY(m_lock);
};

} // namespace Logging
