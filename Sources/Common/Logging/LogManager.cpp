#include "Logging/LogManager.h"

namespace Logging {

// Until the settings-driven log exists every severity is disabled and lines are dropped.
LogManager& LogManager::Instance() noexcept {
    static LogManager instance;
    return instance;
}

bool LogManager::IsEnabled(uint32_t) noexcept { return false; }

void LogManager::Write(uint32_t, const std::wstring&, const wchar_t*, uint32_t) noexcept {}

} // namespace Logging
