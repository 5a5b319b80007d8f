// What the log manager hands its lines to, and how it formats them.
#pragma once

#include "Platform.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Logging {

// A destination of log lines.
class ILogger {
public:
    // Writes one formatted line (with its CR LF); length in characters. Never throws. Runs while
    // the log manager holds its loggers in use: it must neither log nor remove a logger.
    virtual void Write(const wchar_t* text, size_t length) noexcept = 0;

protected:
    ~ILogger() = default;
};

// Turns a message into a log line.
class ILogFormatter {
public:
    // time: a UTC file time, or null for now.
    virtual std::wstring Format(uint32_t severity, const wchar_t* sourceFile, uint32_t sourceLine,
                                const std::wstring& message, int32_t depth,
                                const FILETIME* time) = 0;

protected:
    ~ILogFormatter() = default;
};

} // namespace Logging
