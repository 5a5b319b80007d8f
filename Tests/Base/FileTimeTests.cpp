#include "Base/FileTime.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace Base;

TEST(FileTime, CivilDatesAndFileTimesConvertBothWays) {
    EXPECT_EQ(DaysFromCivil(1970, 1, 1), 0);
    EXPECT_EQ(kUnixEpochDaysSince1601, 134774);
    const struct {
        uint64_t fileTime;
        CivilDate date;
        unsigned hour, minute, second, dayOfWeek;
    } cases[] = {
        {0, {1601, 1, 1}, 0, 0, 0, 1},
        {kUnixEpochFileTime, {1970, 1, 1}, 0, 0, 0, 4},
        {133485408001234567, {2024, 1, 1}, 0, 0, 0, 1}, // 2024-01-01T00:00:00.1234567Z
        {FileTimeFromCivil({2000, 2, 29}, 23, 59, 59, 9999999), {2000, 2, 29}, 23, 59, 59, 2},
    };
    for (const auto& c : cases) {
        const CivilTime t = CivilFromFileTime(c.fileTime);
        EXPECT_EQ(t.date.year, c.date.year);
        EXPECT_EQ(t.date.month, c.date.month);
        EXPECT_EQ(t.date.day, c.date.day);
        EXPECT_EQ(t.hour * 3600 + t.minute * 60 + t.second,
                  c.hour * 3600 + c.minute * 60 + c.second);
        EXPECT_EQ(t.dayOfWeek, c.dayOfWeek);
        EXPECT_EQ(FileTimeFromCivil(t.date, t.hour, t.minute, t.second, t.ticks), c.fileTime);
    }
    EXPECT_EQ(DaysInMonth(1900, 2), 28u);
    EXPECT_EQ(DaysInMonth(2000, 2), 29u);
}

TEST(FileTime, UnixTimeAndTheClock) {
    EXPECT_EQ(FileTimeFromUnix(1, 500), kUnixEpochFileTime + kFileTimeTicksPerSecond + 5);
    EXPECT_EQ(UnixSecondsFromFileTime(kUnixEpochFileTime + 25'000'000), 2);
    const auto before = static_cast<int64_t>(std::time(nullptr));
    const int64_t now = UnixSecondsFromFileTime(FileTimeNow());
    EXPECT_GE(now, before);
    EXPECT_LE(now, before + 5);
}
