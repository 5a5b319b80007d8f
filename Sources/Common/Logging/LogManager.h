// The process-wide log: severities, the log manager and the log-site and trace statements that
// every unit uses.
#pragma once

#include "Base/Mutex.h"
#include "Logging/LogFormatter.h"
#include "Logging/LoggerSettings.h"
#include "Logging/MessageStream.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

namespace Logging {

enum Severity : uint32_t {
    LOG_NONE = 0,
    LOG_CRIT = 1,
    LOG_ERR = 2,
    LOG_WARN = 3,
    LOG_INFO = 4,
    LOG_DBG = 5,
    LOG_DBG2 = 6,
    LOG_DBG3 = 7,
};

class LogManager {
public:
    static constexpr size_t LoggerSlots = 4;

    LogManager();
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

    // The one log manager of the process. Inline, as every log site asks for it.
    static LogManager& Instance() noexcept {
        static LogManager instance;
        return instance;
    }

    // True when lines of this severity are wanted (1 <= severity <= MaxSeverity). Cheap; every
    // log site asks before it composes its message.
    bool IsEnabled(uint32_t severity) noexcept {
        m_settings.RefreshIfStale();
        return severity >= 1 && severity <= m_settings.MaxSeverity();
    }

    // Formats the line and hands it to every registered logger. Does not test the severity.
    void Write(uint32_t severity, const std::wstring& message, const wchar_t* sourceFile,
               uint32_t sourceLine) noexcept;

    // Registers a logger in the first free slot (after clearing any slot that holds it); false
    // with the report "LogManager: Too many loggers" when all four are taken.
    bool AddLogger(ILogger* logger) noexcept;
    // Clears every slot that holds the logger, then waits for the lines other threads are
    // writing into it: once it returns, the logger is no longer used and may be destroyed.
    void RemoveLogger(ILogger* logger) noexcept;

    // The log directory of the current settings, created when it changed.
    std::wstring GetLogDirectory();
    LoggerSettings& Settings() noexcept { return m_settings; }
    // True when the call depth goes into the lines (Windows Vista or later).
    bool DepthAvailable() const noexcept { return m_depthAvailable; }

private:
    // Read without the lock; a writer holds `m_inUse` shared while it calls the loggers it read,
    // so that RemoveLogger, which takes it exclusively, can wait for them.
    std::array<std::atomic<ILogger*>, LoggerSlots> m_loggers{};
    Base::SharedMutex m_inUse;
    LogFormatter m_formatter;
    bool m_depthAvailable;
    LoggerSettings m_settings;
};

// Composes a log-site message; a failure while composing keeps what was composed and appends
// "... (***EXCEPTION***)".
template <typename Compose>
void WriteLogSite(uint32_t severity, const wchar_t* sourceFile, uint32_t sourceLine,
                  Compose&& compose) noexcept {
    try {
        MessageStream message;
        try {
            compose(message.Stream());
        } catch (...) {
            message.Stream() << L"... (***EXCEPTION***)";
        }
        LogManager::Instance().Write(severity, message.Text(), sourceFile, sourceLine);
    } catch (...) {
        // A line that cannot be composed is dropped.
    }
}

} // namespace Logging

#define CORVANE_WIDEN2(x) L##x
#define CORVANE_WIDEN(x) CORVANE_WIDEN2(x)

// A log site: LOG_AT(Logging::LOG_DBG, L"Read " << count << L" events");
#define LOG_AT(severity, pieces)                                                                   \
    do {                                                                                           \
        if (::Logging::LogManager::Instance().IsEnabled(severity)) {                               \
            ::Logging::WriteLogSite((severity), CORVANE_WIDEN(__FILE__), __LINE__,                 \
                                    [&](std::wostream& logStream_) { logStream_ << pieces; });     \
        }                                                                                          \
    } while (0)

namespace Logging {
// What stands between an operation's name and what went wrong in a failure line.
inline constexpr const wchar_t* kFailedSeparator = L" failed: ";
} // namespace Logging

// A failure line at ERR, "<name> failed: <pieces>":
// LOG_FAILURE(L"Halyard::Session::Init", L"Create filter failed due to: " << hres);
#define LOG_FAILURE(name, pieces)                                                                  \
    LOG_AT(::Logging::LOG_ERR, name << ::Logging::kFailedSeparator << pieces)
