// The built-in formatter: local time with seven decimals of seconds, severity, process and
// thread, source file and line, the call depth as indentation, the message, CR LF.
#pragma once

#include "Logging/Logger.h"

namespace Logging {

// "NONE", "CRIT", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3" for 0..7, else "".
const wchar_t* SeverityName(uint32_t severity) noexcept;

// The UTC time now, as precise as the system gives it.
FILETIME CurrentFileTime() noexcept;

class LogFormatter final : public ILogFormatter {
public:
    // "2024-05-01 13:02:03.1234567 | WARN | 1234   567 | File.cpp:42                  | "
    // + two blanks per depth level (0..30) + message + CR LF. The file name is the part after
    // the last "\" or "/", at most 26 characters; the line number is padded so that the
    // following "|" stands in one column.
    std::wstring Format(uint32_t severity, const wchar_t* sourceFile, uint32_t sourceLine,
                        const std::wstring& message, int32_t depth, const FILETIME* time) override;
};

} // namespace Logging
