#include "Logging/LogFormatter.h"

#include <algorithm>
#include <cwchar>

namespace Logging {

namespace {

constexpr const wchar_t* kSeverityNames[] = {L"NONE", L"CRIT", L"ERR",  L"WARN",
                                             L"INFO", L"DBG",  L"DBG2", L"DBG3"};
constexpr size_t kFileNameWidth = 26;
constexpr int32_t kMaxDepth = 30;

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

    // "%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4s |%5u %5u | %.*s:%-*u| %*s%s\r\n"
    wchar_t prefix[96];
    const int prefixLength = std::swprintf(
        prefix, std::size(prefix), L"%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4ls |%5u %5u | ",
        unsigned{parts.wYear}, unsigned{parts.wMonth}, unsigned{parts.wDay}, unsigned{parts.wHour},
        unsigned{parts.wMinute}, unsigned{parts.wSecond}, unsigned{parts.wMilliseconds},
        static_cast<unsigned>(ticks % 10000), SeverityName(severity),
        static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF),
        static_cast<unsigned>(GetCurrentThreadId() & 0xFFFF));
    wchar_t lineNumber[48];
    const int lineLength =
        std::swprintf(lineNumber, std::size(lineNumber), L":%-*u| ", lineWidth, sourceLine);

    std::wstring line;
    line.reserve(static_cast<size_t>(prefixLength) + file.size() + 48 + 2 * levels +
                 message.size() + 2);
    line.append(prefix, prefixLength > 0 ? static_cast<size_t>(prefixLength) : 0);
    line.append(file);
    line.append(lineNumber, lineLength > 0 ? static_cast<size_t>(lineLength) : 0);
    line.append(static_cast<size_t>(2 * levels), L' ');
    line.append(message);
    line.append(L"\r\n");
    return line;
}

} // namespace Logging
