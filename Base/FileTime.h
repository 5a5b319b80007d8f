// Time as Windows counts it: FILETIME ticks of 100 ns since 1601-01-01 00:00 UTC, and the civil
// dates of the proleptic Gregorian calendar that go with them.
#pragma once

#include <cstdint>

namespace Base {

inline constexpr uint64_t kFileTimeTicksPerSecond = 10'000'000;
inline constexpr uint64_t kFileTimeTicksPerDay = kFileTimeTicksPerSecond * 86'400;
// 1970-01-01 00:00 UTC, the Unix epoch, in FILETIME ticks.
inline constexpr uint64_t kUnixEpochFileTime = 116'444'736'000'000'000;

// Days since 1970-01-01 of a civil date (month 1..12, day 1..31).
constexpr int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) noexcept {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + static_cast<int64_t>(dayOfEra) - 719'468;
}

// Days from 1601-01-01, where FILETIME counts from, to 1970-01-01.
inline constexpr int64_t kUnixEpochDaysSince1601 = -DaysFromCivil(1601, 1, 1);
static_assert(static_cast<uint64_t>(kUnixEpochDaysSince1601) * kFileTimeTicksPerDay ==
              kUnixEpochFileTime);

struct CivilDate {
    int64_t year = 1970;
    unsigned month = 1;
    unsigned day = 1;
};

// The civil date of a day count since 1970-01-01.
constexpr CivilDate CivilFromDays(int64_t days) noexcept {
    const int64_t shifted = days + 719'468;
    const int64_t era = (shifted >= 0 ? shifted : shifted - 146'096) / 146'097;
    const auto dayOfEra = static_cast<unsigned>(shifted - era * 146'097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    CivilDate date;
    date.day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    date.month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    date.year = static_cast<int64_t>(yearOfEra) + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

constexpr bool IsLeapYear(int64_t year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr unsigned DaysInMonth(int64_t year, unsigned month) noexcept {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// A FILETIME split into its civil date and time of day.
struct CivilTime {
    CivilDate date;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    uint32_t ticks = 0;     // 100 ns within the second, 0..9 999 999
    unsigned dayOfWeek = 0; // 0 = Sunday
};

constexpr CivilTime CivilFromFileTime(uint64_t fileTime) noexcept {
    const auto days = static_cast<int64_t>(fileTime / kFileTimeTicksPerDay);
    const uint64_t rest = fileTime % kFileTimeTicksPerDay;
    const auto secondOfDay = static_cast<unsigned>(rest / kFileTimeTicksPerSecond);
    CivilTime time;
    time.date = CivilFromDays(days - kUnixEpochDaysSince1601);
    time.hour = secondOfDay / 3600;
    time.minute = secondOfDay / 60 % 60;
    time.second = secondOfDay % 60;
    time.ticks = static_cast<uint32_t>(rest % kFileTimeTicksPerSecond);
    time.dayOfWeek = static_cast<unsigned>((days + 1) % 7); // 1601-01-01 was a Monday
    return time;
}

// The FILETIME of a civil date and time of day; the caller has checked the fields' ranges and that
// the date is not before 1601.
constexpr uint64_t FileTimeFromCivil(const CivilDate& date, unsigned hour, unsigned minute,
                                     unsigned second, uint32_t ticks) noexcept {
    const auto days = static_cast<uint64_t>(DaysFromCivil(date.year, date.month, date.day) +
                                            kUnixEpochDaysSince1601);
    return days * kFileTimeTicksPerDay +
           (uint64_t{hour} * 3600 + uint64_t{minute} * 60 + second) * kFileTimeTicksPerSecond +
           ticks;
}

// The FILETIME of a time since 1970 in seconds and nanoseconds (as POSIX clocks give it).
constexpr uint64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) noexcept {
    return static_cast<uint64_t>(static_cast<int64_t>(kUnixEpochFileTime) +
                                 seconds * static_cast<int64_t>(kFileTimeTicksPerSecond) +
                                 nanoseconds / 100);
}

// Seconds since 1970 of a FILETIME (whole seconds, the fraction dropped).
constexpr int64_t UnixSecondsFromFileTime(uint64_t fileTime) noexcept {
    return (static_cast<int64_t>(fileTime) - static_cast<int64_t>(kUnixEpochFileTime)) /
           static_cast<int64_t>(kFileTimeTicksPerSecond);
}

// The system clock now.
uint64_t FileTimeNow() noexcept;

} // namespace Base
