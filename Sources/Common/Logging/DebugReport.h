// The logging machinery's own problems, reported through the debug output so that they never
// reach a caller.
#pragma once

namespace Logging {

// printf-style text (use %ls for wide strings), followed by "\n", to OutputDebugStringW.
void DebugReport(const wchar_t* format, ...) noexcept;

} // namespace Logging
