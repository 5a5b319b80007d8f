// Call tracing: a traced operation opens a scope that logs "Entering: " and "Exiting: " or
// "EXCEPTION at: " with the elapsed time, and indents the lines written in between.
#pragma once

#include "Logging/LogManager.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Logging {

// The elapsed-time text of a closing line: " [1 234.567 ms]" (blanks as thousands separators,
// three decimals) for 1234567 microseconds.
std::wstring ElapsedTimeText(int64_t microseconds);

// One traced call: logs "Entering: " + name when it opens and adds a level to the thread's call
// depth; when it closes, logs "Exiting: " or (left by an exception) "EXCEPTION at: " + name and
// the elapsed time at the opening depth, and restores the depth.
class TraceScope {
public:
    TraceScope(uint32_t severity, uint32_t exceptionSeverity, std::wstring name,
               const wchar_t* sourceFile, uint32_t sourceLine) noexcept;
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    uint32_t m_severity;
    uint32_t m_exceptionSeverity;
    std::wstring m_name;
    const wchar_t* m_sourceFile;
    uint32_t m_sourceLine;
    int64_t m_start = 0;
    uint32_t m_depthAdded = 0;
    int32_t m_exceptionsAtEntry;
};

// Makes a scope of a severity that its caller found enabled (TRACE_SCOPE asks first); null when it
// cannot be made.
std::unique_ptr<TraceScope> OpenTraceScope(uint32_t severity, const wchar_t* name,
                                           const wchar_t* sourceFile, uint32_t sourceLine) noexcept;

} // namespace Logging

#define TRACE_SCOPE_NAME2(line) traceScope_##line
#define TRACE_SCOPE_NAME(line) TRACE_SCOPE_NAME2(line)

// The trace statement at the start of a traced operation: TRACE_SCOPE(Logging::LOG_DBG, L"A::B");
// A severity that is off costs the check alone, made inline: the event paths pass several such
// scopes for every event.
#define TRACE_SCOPE(severity, name)                                                                \
    const auto TRACE_SCOPE_NAME(__LINE__) =                                                        \
        ::Logging::LogManager::Instance().IsEnabled(severity)                                      \
            ? ::Logging::OpenTraceScope((severity), (name), CORVANE_WIDEN(__FILE__), __LINE__)     \
            : nullptr
