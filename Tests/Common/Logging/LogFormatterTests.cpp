#include "Logging/LogFormatter.h"

#include <gtest/gtest.h>

#include <cwchar>

using Logging::LogFormatter;

namespace {

// 2024-05-01 13:02:03.456 UTC and 7890 units of 100 ns.
FILETIME SampleTime() {
    SYSTEMTIME parts{2024, 5, 3, 1, 13, 2, 3, 456};
    FILETIME time{};
    SystemTimeToFileTime(&parts, &time);
    const uint64_t ticks =
        ((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) + 7890;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// The columns before the file name, for the sample time in local time.
std::wstring Prefix(const wchar_t* severity) {
    const FILETIME utc = SampleTime();
    FILETIME local{};
    SYSTEMTIME parts{};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &parts);
    wchar_t text[128];
    std::swprintf(text, 128, L"%04u-%02u-%02u %02u:%02u:%02u.4567890 | %-4ls |%5u %5u | ",
                  unsigned{parts.wYear}, unsigned{parts.wMonth}, unsigned{parts.wDay},
                  unsigned{parts.wHour}, unsigned{parts.wMinute}, unsigned{parts.wSecond}, severity,
                  static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF),
                  static_cast<unsigned>(GetCurrentThreadId() & 0xFFFF));
    return text;
}

std::wstring FormatSample(uint32_t severity, const wchar_t* file, uint32_t line,
                          const std::wstring& message, int32_t depth) {
    const FILETIME time = SampleTime();
    return LogFormatter().Format(severity, file, line, message, depth, &time);
}

} // namespace

TEST(LogFormatter, ExactLineWithSevenDecimalsOfSeconds) {
    EXPECT_EQ(FormatSample(3, L"C:\\src\\Sessions\\Session.cpp", 42, L"Hello", 0),
              Prefix(L"WARN") + L"Session.cpp:42" + std::wstring(19 - 2, L' ') + L"| Hello\r\n");
}

TEST(LogFormatter, SeverityNamesAndUnknownSeverities) {
    const wchar_t* names[] = {L"NONE", L"CRIT", L"ERR", L"WARN", L"INFO", L"DBG", L"DBG2", L"DBG3"};
    for (uint32_t severity = 0; severity < 8; ++severity) {
        EXPECT_EQ(FormatSample(severity, L"a.cpp", 1, L"m", 0).substr(0, Prefix(L"").size()),
                  Prefix(names[severity]));
    }
    EXPECT_EQ(FormatSample(8, L"a.cpp", 1, L"m", 0).substr(0, Prefix(L"").size()), Prefix(L""));
}

TEST(LogFormatter, FileNameIsCutTo26AndTheLineColumnStaysAligned) {
    const std::wstring longName = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ1234.cpp"; // 34 characters
    EXPECT_EQ(FormatSample(5, (L"/src/" + longName).c_str(), 7, L"m", 0),
              Prefix(L"DBG") + L"ABCDEFGHIJKLMNOPQRSTUVWXYZ:7   | m\r\n");
    // A name of 10 characters: the line number is padded to 20.
    EXPECT_EQ(FormatSample(5, L"src/0123456789", 12345, L"m", 0),
              Prefix(L"DBG") + L"0123456789:12345               | m\r\n");
    // Both lines put "|" in the same column.
    const auto a = FormatSample(5, L"x/Short.cpp", 1, L"m", 0);
    const auto b = FormatSample(5, L"x/AMuchLongerFileName.cpp", 1234, L"m", 0);
    EXPECT_EQ(a.find(L"| m"), b.find(L"| m"));
}

TEST(LogFormatter, DepthIndentsTwoBlanksPerLevelClampedTo30) {
    const std::wstring base = Prefix(L"INFO") + L"f.cpp:1" + std::wstring(25 - 1, L' ') + L"| ";
    EXPECT_EQ(FormatSample(4, L"f.cpp", 1, L"m", 2), base + L"    m\r\n");
    EXPECT_EQ(FormatSample(4, L"f.cpp", 1, L"m", 40), base + std::wstring(60, L' ') + L"m\r\n");
    EXPECT_EQ(FormatSample(4, L"f.cpp", 1, L"m", -3), base + L"m\r\n");
}

TEST(LogFormatter, MessageWithLineBreaksIsWrittenUnchanged) {
    const std::wstring message = L"EkNode[0x1]:\r\n<a>\r\n</a>";
    const auto line = FormatSample(5, L"f.cpp", 1, message, 1);
    EXPECT_EQ(line.substr(line.size() - message.size() - 2), message + L"\r\n");
}

TEST(LogFormatter, WithoutATimeTheCurrentTimeIsUsed) {
    SYSTEMTIME now{};
    FILETIME utc = Logging::CurrentFileTime();
    FILETIME local{};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &now);
    const auto line = LogFormatter().Format(4, L"f.cpp", 1, L"m", 0, nullptr);
    wchar_t year[8];
    std::swprintf(year, 8, L"%04u-", unsigned{now.wYear});
    EXPECT_EQ(line.substr(0, 5), year);
    EXPECT_EQ(line.size(), FormatSample(4, L"f.cpp", 1, L"m", 0).size());
}
