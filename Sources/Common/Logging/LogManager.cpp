#include "Logging/LogManager.h"

#include "Logging/CallDepth.h"
#include "Logging/DebugReport.h"

namespace Logging {

namespace {

bool IsVistaOrLater() noexcept {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 0;
    version.wServicePackMajor = 0;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              mask) != FALSE;
}

} // namespace

LogManager::LogManager() : m_depthAvailable(IsVistaOrLater()) {}

void LogManager::Write(uint32_t severity, const std::wstring& message, const wchar_t* sourceFile,
                       uint32_t sourceLine) noexcept {
    try {
        const FILETIME now = CurrentFileTime();
        const int32_t depth = m_depthAvailable ? ThreadCallDepth() : 0;
        const std::wstring line =
            m_formatter.Format(severity, sourceFile, sourceLine, message, depth, &now);
        const Base::SharedLockGuard inUse(m_inUse);
        for (auto& slot : m_loggers) {
            if (ILogger* logger = slot.load(std::memory_order_acquire)) {
                logger->Write(line.data(), line.size());
            }
        }
    } catch (...) {
        // A line that cannot be formatted is dropped.
    }
}

bool LogManager::AddLogger(ILogger* logger) noexcept {
    RemoveLogger(logger);
    for (auto& slot : m_loggers) {
        ILogger* expected = nullptr;
        if (slot.compare_exchange_strong(expected, logger, std::memory_order_acq_rel)) {
            return true;
        }
    }
    DebugReport(L"LogManager: Too many loggers");
    return false;
}

void LogManager::RemoveLogger(ILogger* logger) noexcept {
    bool removed = false;
    for (auto& slot : m_loggers) {
        ILogger* expected = logger;
        removed |= slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
    if (removed) {
        // Writers that read the slot before it was cleared may still be inside the logger.
        const Base::LockGuard drained(m_inUse);
    }
}

std::wstring LogManager::GetLogDirectory() {
    return m_settings.LogDirectory();
}

} // namespace Logging
