// The module's own log: a FileLogger registered when the module is loaded and removed when it is
// unloaded. Its file is named after the module ("Corvane.log") and lies in the log directory.

#include "Logging/FileLogger.h"
#include "Logging/LogManager.h"

#include <memory>

namespace Logging {

namespace {

class ModuleLogger {
public:
    ModuleLogger() noexcept {
        try {
            m_logger = std::make_unique<FileLogger>(FileLogger::ModuleLogFileName(),
                                                    FileLogger::ModuleBanner());
            LogManager::Instance().AddLogger(m_logger.get());
        } catch (...) {
            m_logger.reset(); // the module runs without its log
        }
    }
    ~ModuleLogger() {
        if (m_logger != nullptr) {
            LogManager::Instance().RemoveLogger(m_logger.get());
        }
    }
    ModuleLogger(const ModuleLogger&) = delete;
    ModuleLogger& operator=(const ModuleLogger&) = delete;

private:
    std::unique_ptr<FileLogger> m_logger;
};

// Only the module links this unit as a whole; tests register their own loggers.
const ModuleLogger g_moduleLogger;

} // namespace

} // namespace Logging
