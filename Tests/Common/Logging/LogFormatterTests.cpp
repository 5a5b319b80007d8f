#include "Logging/LogFormatter.h"

#include "Base/FileTime.h"
#include "Support/ScopedTimeZone.h"
#include "Support/TestPlatform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <optional>
#include <string>

using Logging::LogFormatter;

namespace {

// New Zealand: 12 hours east of UTC, 13 while daylight saving is on (from the last Sunday of
// September to the first Sunday of April). Far enough from UTC that a stamp in the wrong zone
// shows a different day.
constexpr const char* kNewZealand = "NZST-12NZDT,M9.5.0,M4.1.0/3";
// The US east coast: 5 hours west of UTC, 4 in summer.
constexpr const char* kUsEast = "EST5EDT,M3.2.0,M11.1.0";
// India: 5 hours 30 minutes east of UTC all year.
constexpr const char* kIndia = "IST-5:30";

// A UTC time from its parts, plus `extraTicks` of 100 ns.
FILETIME Utc(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
             unsigned second, unsigned millisecond, uint32_t extraTicks = 0) {
    const uint64_t ticks =
        Base::FileTimeFromCivil({year, month, day}, hour, minute, second, millisecond * 10000u) +
        extraTicks;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// 2024-05-01 13:02:03.4567890 UTC: in New Zealand (standard time) the next morning.
const FILETIME kSample = Utc(2024, 5, 1, 13, 2, 3, 456, 7890);
const std::wstring kSampleStamp = L"2024-05-02 01:02:03.4567890";

// The columns between the stamp and the file name.
std::wstring Ids(const wchar_t* severity) {
    wchar_t text[64];
    std::swprintf(text, 64, L" | %-4ls |%5u %5u | ", severity,
                  static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF),
                  static_cast<unsigned>(GetCurrentThreadId() & 0xFFFF));
    return text;
}

std::wstring Prefix(const wchar_t* severity) {
    return kSampleStamp + Ids(severity);
}

std::wstring FormatSample(uint32_t severity, const wchar_t* file, uint32_t line,
                          const std::wstring& message, int32_t depth) {
    return LogFormatter().Format(severity, file, line, message, depth, &kSample);
}

// Runs a test in New Zealand unless it chooses another zone; the process's zone comes back
// afterwards. Windows takes the local zone from the system, not from TZ, so there these tests skip.
class LogFormatterTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TestPlatform::IsWindows()) {
            GTEST_SKIP() << "Windows takes the local time zone from the system, not from TZ";
        }
        m_zone.emplace(kNewZealand);
    }
    static void Use(const char* zone) { ScopedTimeZone::Use(zone); }

private:
    std::optional<ScopedTimeZone> m_zone;
};

} // namespace

TEST_F(LogFormatterTest, StampIsTheLocalTimeOfTheZoneWithSevenDecimals) {
    struct Case {
        const char* zone;
        FILETIME utc;
        const wchar_t* stamp;
    };
    const Case cases[] = {
        {kNewZealand, kSample, L"2024-05-02 01:02:03.4567890"},
        // Daylight saving: 13 hours.
        {kNewZealand, Utc(2024, 1, 15, 20, 30, 0, 0, 1), L"2024-01-16 09:30:00.0000001"},
        // The last instant of daylight saving and the first of standard time: the clocks go
        // back from 03:00 to 02:00.
        {kNewZealand, Utc(2024, 4, 6, 13, 59, 59, 999, 9999), L"2024-04-07 02:59:59.9999999"},
        {kNewZealand, Utc(2024, 4, 6, 14, 0, 0, 0), L"2024-04-07 02:00:00.0000000"},
        // West of UTC, the previous year.
        {kUsEast, Utc(2024, 1, 1, 3, 4, 5, 678, 9), L"2023-12-31 22:04:05.6780009"},
        {kUsEast, Utc(2024, 7, 4, 3, 4, 5, 0), L"2024-07-03 23:04:05.0000000"},
        {kIndia, Utc(2024, 2, 29, 20, 45, 0, 1), L"2024-03-01 02:15:00.0010000"},
        // A year wider than its four places takes the places it needs.
        {kIndia, Utc(10000, 1, 1, 0, 0, 0, 0), L"10000-01-01 05:30:00.0000000"},
    };
    for (const Case& c : cases) {
        Use(c.zone);
        const std::wstring line = LogFormatter().Format(4, L"f.cpp", 1, L"m", 0, &c.utc);
        const std::wstring_view stamp(c.stamp);
        EXPECT_EQ(line.substr(0, stamp.size()), stamp) << c.zone;
        EXPECT_EQ(line.substr(stamp.size(), Ids(L"INFO").size()), Ids(L"INFO")) << c.zone;
    }
}

TEST_F(LogFormatterTest, SeverityNamesAndUnknownSeverities) {
    const wchar_t* names[] = {L"NONE", L"CRIT", L"ERR", L"WARN", L"INFO", L"DBG", L"DBG2", L"DBG3"};
    for (uint32_t severity = 0; severity < 8; ++severity) {
        EXPECT_EQ(FormatSample(severity, L"a.cpp", 1, L"m", 0).substr(0, Prefix(L"").size()),
                  Prefix(names[severity]));
    }
    EXPECT_EQ(FormatSample(8, L"a.cpp", 1, L"m", 0).substr(0, Prefix(L"").size()), Prefix(L""));
}

TEST_F(LogFormatterTest, ExactLinesWithTheFileNameCutTo26AndTheLineColumnAligned) {
    EXPECT_EQ(FormatSample(3, L"C:\\src\\Sessions\\Session.cpp", 42, L"Hello", 0),
              Prefix(L"WARN") + L"Session.cpp:42" + std::wstring(19 - 2, L' ') + L"| Hello\r\n");
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

TEST_F(LogFormatterTest, DepthIndentsTwoBlanksPerLevelClampedTo30) {
    const std::wstring base = Prefix(L"INFO") + L"f.cpp:1" + std::wstring(25 - 1, L' ') + L"| ";
    EXPECT_EQ(FormatSample(4, L"f.cpp", 1, L"m", 2), base + L"    m\r\n");
    EXPECT_EQ(FormatSample(4, L"f.cpp", 1, L"m", 40), base + std::wstring(60, L' ') + L"m\r\n");
    EXPECT_EQ(FormatSample(4, L"f.cpp", 1, L"m", -3), base + L"m\r\n");
    // A message with line breaks is written unchanged after the indentation.
    const std::wstring message = L"EkNode[0x1]:\r\n<a>\r\n</a>";
    EXPECT_EQ(FormatSample(4, L"f.cpp", 1, message, 1), base + L"  " + message + L"\r\n");
}

// Without a time the formatter takes the current one: read back from the stamp (local time in
// India, 5 hours 30 minutes ahead of UTC), it lies between the times taken around the call.
TEST_F(LogFormatterTest, WithoutATimeTheCurrentTimeIsUsed) {
    Use(kIndia);
    const FILETIME before = Logging::CurrentFileTime();
    const std::wstring line = LogFormatter().Format(4, L"f.cpp", 1, L"m", 0, nullptr);
    const FILETIME after = Logging::CurrentFileTime();
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, fraction = 0;
    ASSERT_EQ(std::swscanf(line.c_str(), L"%4u-%2u-%2u %2u:%2u:%2u.%7u", &year, &month, &day, &hour,
                           &minute, &second, &fraction),
              7)
        << line;
    const uint64_t local =
        Base::FileTimeFromCivil({year, month, day}, hour, minute, second, 0) + fraction;
    const uint64_t stamp = local - (5 * 3600 + 30 * 60) * Base::kFileTimeTicksPerSecond;
    auto ticks = [](const FILETIME& time) {
        return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    EXPECT_GE(stamp, ticks(before)) << line;
    EXPECT_LE(stamp, ticks(after)) << line;
}
