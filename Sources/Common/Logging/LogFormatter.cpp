#include "Logging/LogFormatter.h"

#include "Base/Text.h"

#include <algorithm>
#include <cwchar>
#include <string_view>

namespace Logging {

namespace {

constexpr const wchar_t* kSeverityNames[] = {L"NONE", L"CRIT", L"ERR",  L"WARN",
                                             L"INFO", L"DBG",  L"DBG2", L"DBG3"};
constexpr size_t kFileNameWidth = 26;
constexpr int32_t kMaxDepth = 30;

// Appends `value` in decimal, padded to `width` as printf's "%0<width>u" (zeros in front),
// "%<width>u" (blanks in front) or "%-<width>u" (blanks after) pads it.
enum class Pad { Zeros, Blanks, BlanksAfter };
void AppendUnsigned(std::wstring& out, uint32_t value, size_t width, Pad pad) {
    Base::DecimalRoom room;
    const std::wstring_view digits = Base::DecimalDigits(value, room);
    const size_t fill = width > digits.size() ? width - digits.size() : 0;
    if (pad != Pad::BlanksAfter) {
        out.append(fill, pad == Pad::Zeros ? L'0' : L' ');
    }
    out.append(digits);
    if (pad == Pad::BlanksAfter) {
        out.append(fill, L' ');
    }
}

// "%0<width>u" of a value: one that fits the width (every field of a line's time) is written digit
// by digit into room made at once, a wider one as AppendUnsigned writes it.
void AppendZeroPadded(std::wstring& out, uint32_t value, size_t width) {
    constexpr uint32_t kLimits[] = {1, 10, 100, 1000, 10000};
    if (width >= std::size(kLimits) || value >= kLimits[width]) {
        AppendUnsigned(out, value, width, Pad::Zeros);
        return;
    }
    const size_t at = out.size();
    out.resize(at + width);
    for (size_t i = width; i-- > 0; value /= 10) {
        out[at + i] = static_cast<wchar_t>(L'0' + value % 10);
    }
}

} // namespace

const wchar_t* SeverityName(uint32_t severity) noexcept {
    return severity < std::size(kSeverityNames) ? kSeverityNames[severity] : L"";
}

FILETIME CurrentFileTime() noexcept {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    return now;
}

std::wstring LogFormatter::Format(uint32_t severity, const wchar_t* sourceFile, uint32_t sourceLine,
                                  const std::wstring& message, int32_t depth,
                                  const FILETIME* time) {
    const FILETIME utc = time != nullptr ? *time : CurrentFileTime();
    FILETIME local{};
    SYSTEMTIME parts{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &parts)) {
        parts = SYSTEMTIME{};
    }
    const uint64_t ticks = (static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;

    std::wstring_view file = sourceFile == nullptr ? std::wstring_view() : sourceFile;
    if (const auto slash = file.find_last_of(L"\\/"); slash != std::wstring_view::npos) {
        file.remove_prefix(slash + 1);
    }
    file = file.substr(0, kFileNameWidth);
    const int lineWidth =
        4 + static_cast<int>(file.size() < kFileNameWidth ? kFileNameWidth - file.size() : 0);
    const int32_t levels = std::clamp(depth, 0, kMaxDepth);

    // "%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4s |%5u %5u | %.*s:%-*u| %*s%s\r\n", written
    // without the printf machinery: every line of the log pays for it.
    const std::wstring_view severityName = std::wstring_view(SeverityName(severity)).substr(0, 4);
    std::wstring line;
    line.reserve(64 + file.size() + static_cast<size_t>(lineWidth) + 2 * levels + message.size());
    const struct {
        uint32_t value;
        size_t width;
        wchar_t after;
    } fields[] = {{parts.wYear, 4, L'-'}, {parts.wMonth, 2, L'-'},  {parts.wDay, 2, L' '},
                  {parts.wHour, 2, L':'}, {parts.wMinute, 2, L':'}, {parts.wSecond, 2, L'.'}};
    for (const auto& field : fields) {
        AppendZeroPadded(line, field.value, field.width);
        line.push_back(field.after);
    }
    AppendZeroPadded(line, parts.wMilliseconds, 3);
    AppendZeroPadded(line, static_cast<uint32_t>(ticks % 10000), 4);
    line.append(L" | ");
    line.append(severityName);
    line.append(4 - severityName.size(), L' ');
    line.append(L" |");
    AppendUnsigned(line, static_cast<uint32_t>(GetCurrentProcessId() & 0xFFFF), 5, Pad::Blanks);
    line.push_back(L' ');
    AppendUnsigned(line, static_cast<uint32_t>(GetCurrentThreadId() & 0xFFFF), 5, Pad::Blanks);
    line.append(L" | ");
    line.append(file);
    line.push_back(L':');
    AppendUnsigned(line, sourceLine, static_cast<size_t>(lineWidth), Pad::BlanksAfter);
    line.append(L"| ");
    line.append(static_cast<size_t>(2 * levels), L' ');
    line.append(message);
    line.append(L"\r\n");
    return line;
}

} // namespace Logging
