#include "Logging/DebugReport.h"

#include "Platform.h"

#include <cstdarg>
#include <cwchar>

namespace Logging {

void DebugReport(const wchar_t* format, ...) noexcept {
    wchar_t text[1024];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vswprintf(text, 1022, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return; // cut: the report would be wrong rather than short
    }
    text[length] = L'\n';
    text[length + 1] = L'\0';
    OutputDebugStringW(text);
}

} // namespace Logging
