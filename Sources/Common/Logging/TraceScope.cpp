#include "Logging/TraceScope.h"

#include <exception>

namespace Logging {

// Until the log exists scopes only keep their fields; nothing is written.
TraceScope::TraceScope(uint32_t severity, uint32_t exceptionSeverity, std::wstring name,
                       const wchar_t* sourceFile, uint32_t sourceLine) noexcept
    : m_severity(severity), m_exceptionSeverity(exceptionSeverity), m_name(std::move(name)),
      m_sourceFile(sourceFile), m_sourceLine(sourceLine),
      m_exceptionsAtEntry(std::uncaught_exceptions()) {}

TraceScope::~TraceScope() = default;

std::unique_ptr<TraceScope> OpenTraceScope(uint32_t severity, const wchar_t* name,
                                           const wchar_t* sourceFile,
                                           uint32_t sourceLine) noexcept {
    if (!LogManager::Instance().IsEnabled(severity)) {
        return nullptr;
    }
    try {
        return std::make_unique<TraceScope>(severity, severity, name, sourceFile, sourceLine);
    } catch (...) {
        return nullptr;
    }
}

} // namespace Logging
