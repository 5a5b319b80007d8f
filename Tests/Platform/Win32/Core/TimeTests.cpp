#include "Platform.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace {

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

} // namespace

TEST(FileTime, SystemTimeCountsFrom1601) {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const uint64_t expected =
        116444736000000000ULL + static_cast<uint64_t>(std::time(nullptr)) * 10000000ULL;
    EXPECT_LT(Ticks(now) > expected ? Ticks(now) - expected : expected - Ticks(now), 20000000ULL);
}

TEST(FileTime, ConvertsKnownDatesBothWays) {
    struct Case {
        uint64_t ticks;
        SYSTEMTIME time;
    };
    const Case cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
        {116444736000000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},
        // 2024-02-29 23:59:59.999, a Thursday of a leap year.
        {133537247999990000ULL, {2024, 2, 4, 29, 23, 59, 59, 999}},
    };
    for (const Case& c : cases) {
        SYSTEMTIME st{};
        const FILETIME ft = FromTicks(c.ticks);
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(st.wYear, c.time.wYear);
        EXPECT_EQ(st.wMonth, c.time.wMonth);
        EXPECT_EQ(st.wDayOfWeek, c.time.wDayOfWeek);
        EXPECT_EQ(st.wDay, c.time.wDay);
        EXPECT_EQ(st.wHour, c.time.wHour);
        EXPECT_EQ(st.wMinute, c.time.wMinute);
        EXPECT_EQ(st.wSecond, c.time.wSecond);
        EXPECT_EQ(st.wMilliseconds, c.time.wMilliseconds);
        FILETIME back{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.time, &back));
        EXPECT_EQ(Ticks(back), c.ticks);
    }
}

TEST(FileTime, RejectsInvalidDates) {
    SYSTEMTIME st{2023, 2, 0, 29, 0, 0, 0, 0}; // no 29 February in 2023
    FILETIME ft{};
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    st = {1600, 12, 0, 31, 0, 0, 0, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    const FILETIME tooLarge{0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &st));
}

TEST(FileTime, LocalTimeFollowsTheTimeZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    setenv("TZ", "UTC-2", 1); // two hours east of UTC, no daylight saving
    tzset();
    const FILETIME utc = FromTicks(133537247999990000ULL);
    FILETIME local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Ticks(local) - Ticks(utc), 2ULL * 3600 * 10000000);
    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(PerformanceCounter, RunsAtTenMegahertzAndAdvances) {
    LARGE_INTEGER frequency{};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10000000);
    LARGE_INTEGER first{};
    LARGE_INTEGER second{};
    ASSERT_TRUE(QueryPerformanceCounter(&first));
    Sleep(2);
    ASSERT_TRUE(QueryPerformanceCounter(&second));
    EXPECT_GE(second.QuadPart - first.QuadPart, 20000);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
}

// The tick count is kept by a thread while it is read. It moves on wherever it is read: in a
// forked child, whose copy of the state names a keeper the child does not have, and after going
// unread long enough for the keeper to park, which the next reader wakes rather than starting
// another. Readers see it a tick or two behind, as on Windows.
TEST(TickCount, MovesOnInAForkedChildAndAfterGoingUnread) {
    const auto movesOn = [] {
        const ULONGLONG before = GetTickCount64();
        const DWORD before32 = GetTickCount();
        Sleep(50);
        return GetTickCount64() - before >= 30 && GetTickCount() - before32 >= 30;
    };
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    ASSERT_TRUE(movesOn());
#if !defined(__SANITIZE_THREAD__) // ThreadSanitizer ends a forked child that starts a thread
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        _exit(movesOn() ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
    const auto keeping = threads();
    Sleep(1300);
    EXPECT_EQ(threads(), keeping);
    EXPECT_TRUE(movesOn());
    EXPECT_EQ(threads(), keeping);
}
