// Clocks, time conversion and sleeping.
#include "Base/FileTime.h"
#include "Win32/WinBase.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace {

constexpr int64_t kTicksPerSecond = static_cast<int64_t>(Base::kFileTimeTicksPerSecond);

FILETIME ToFileTime(uint64_t value) noexcept {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

uint64_t FromFileTime(const FILETIME& time) noexcept {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME SystemNow() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return ToFileTime(Base::FileTimeFromUnix(now.tv_sec, now.tv_nsec));
}

// The coarse clock has the resolution of the Windows tick (a few milliseconds) and costs a
// fraction of the precise one; callers poll it on hot paths (every log site asks it whether the
// settings are due to be read again), so neither function calls the other through the library's
// table.
ULONGLONG CoarseMilliseconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000 +
           static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}

} // namespace

DWORD WINAPI GetTickCount() {
    return static_cast<DWORD>(CoarseMilliseconds());
}

ULONGLONG WINAPI GetTickCount64() {
    return CoarseMilliseconds();
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    count->QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    frequency->QuadPart = kTicksPerSecond;
    return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(FILETIME* time) {
    if (time != nullptr) {
        *time = SystemNow();
    }
}

void WINAPI GetSystemTimePreciseAsFileTime(FILETIME* time) {
    if (time != nullptr) {
        *time = SystemNow();
    }
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime) {
    if (fileTime == nullptr || systemTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t ticks = FromFileTime(*fileTime);
    if (ticks > 0x7FFFFFFFFFFFFFFFULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Base::CivilTime civil = Base::CivilFromFileTime(ticks);
    if (civil.date.year > 30827) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    systemTime->wYear = static_cast<WORD>(civil.date.year);
    systemTime->wMonth = static_cast<WORD>(civil.date.month);
    systemTime->wDay = static_cast<WORD>(civil.date.day);
    systemTime->wDayOfWeek = static_cast<WORD>(civil.dayOfWeek);
    systemTime->wHour = static_cast<WORD>(civil.hour);
    systemTime->wMinute = static_cast<WORD>(civil.minute);
    systemTime->wSecond = static_cast<WORD>(civil.second);
    systemTime->wMilliseconds = static_cast<WORD>(civil.ticks / 10000);
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime) {
    if (systemTime == nullptr || fileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SYSTEMTIME& st = *systemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > Base::DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *fileTime =
        ToFileTime(Base::FileTimeFromCivil({st.wYear, st.wMonth, st.wDay}, st.wHour, st.wMinute,
                                           st.wSecond, st.wMilliseconds * 10000u));
    return TRUE;
}

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime) {
    if (fileTime == nullptr || localFileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t ticks = FromFileTime(*fileTime);
    const auto seconds = static_cast<time_t>(Base::UnixSecondsFromFileTime(ticks));
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t shifted = static_cast<int64_t>(ticks) + local.tm_gmtoff * kTicksPerSecond;
    if (shifted < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *localFileTime = ToFileTime(static_cast<uint64_t>(shifted));
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(24));
        }
    }
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
