// Clocks, time conversion and sleeping.
#include "Base/FileTime.h"
#include "Win32/WinBase.h"

#include <pthread.h>

#include <atomic>
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
// fraction of the precise one.
ULONGLONG CoarseMilliseconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000 +
           static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}

// The tick count as Windows keeps it: a value in memory that a reader only loads, moved on by
// someone else. Callers poll it on hot paths (every log site asks whether the settings are due to
// be read again, several times for each event a page shows), where even the coarse clock's few
// nanoseconds add up. A thread of the library's own copies the clock into it every millisecond
// while it is read; once it has gone unread for a second the thread parks until a reader wakes
// it. The thread never ends: one that ended would have to be started again, and a detached thread
// that ends trips ThreadSanitizer over the C library's reuse of thread stacks. Everything here is
// an atomic, so it outlives the library's static destructors, which other libraries' may still
// call past.
namespace Tick {

// Stopped: there is no keeper (none started yet, or a forked child's copy of the state).
// Running: the keeper stores the clock every period. Parked: the keeper waits for a reader.
enum State : int { Stopped, Starting, Running, Parked };

constexpr auto kPeriod = std::chrono::milliseconds(1);
constexpr int kIdlePeriods = 1000;

std::atomic<int> g_state{Stopped};
std::atomic<ULONGLONG> g_ticks{0};
std::atomic<bool> g_read{false};

// Moves the tick count on to `now`, never back: readers that wake the keeper store it too.
void Advance(ULONGLONG now) noexcept {
    ULONGLONG seen = g_ticks.load(std::memory_order_relaxed);
    while (seen < now && !g_ticks.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

void Keep() noexcept {
    try {
        int idle = 0;
        for (;;) {
            std::this_thread::sleep_for(kPeriod);
            if (g_read.exchange(false, std::memory_order_relaxed)) {
                idle = 0;
            } else if (++idle == kIdlePeriods) {
                idle = 0;
                int running = Running;
                if (g_state.compare_exchange_strong(running, Parked, std::memory_order_acq_rel)) {
                    // Nothing is stored while parked: the reader that wakes the keeper stores.
                    g_state.wait(Parked, std::memory_order_acquire);
                }
                continue;
            }
            Advance(CoarseMilliseconds());
        }
    } catch (...) {
        // Readers read the clock themselves, and start another keeper.
    }
    g_state.store(Stopped, std::memory_order_release);
}

// Reads the clock; starts the keeper where there is none, or wakes it where it is parked.
ULONGLONG Wake(int state) noexcept {
    // A forked child has no keeper, whatever its copy of the state says; without that assurance
    // no keeper is started.
    static const int forgetInChild =
        pthread_atfork(nullptr, nullptr, [] { g_state.store(Stopped, std::memory_order_relaxed); });
    const ULONGLONG now = CoarseMilliseconds();
    if (forgetInChild != 0 || state == Starting) {
        return now;
    }
    // Stored before the state says Running, so that no reader sees the count from before.
    Advance(now);
    g_read.store(true, std::memory_order_relaxed);
    if (state == Parked) {
        int parked = Parked;
        if (g_state.compare_exchange_strong(parked, Running, std::memory_order_acq_rel)) {
            g_state.notify_one();
        }
        return now;
    }
    int stopped = Stopped;
    if (state == Stopped &&
        g_state.compare_exchange_strong(stopped, Starting, std::memory_order_acquire)) {
        // Running before the keeper starts, so that nothing it sets is overwritten.
        g_state.store(Running, std::memory_order_release);
        try {
            std::thread(Keep).detach();
        } catch (...) {
            // No thread to be had: readers read the clock themselves until one can be started.
            g_state.store(Stopped, std::memory_order_release);
        }
    }
    return now;
}

ULONGLONG Now() noexcept {
    const int state = g_state.load(std::memory_order_acquire);
    if (state != Running) {
        return Wake(state);
    }
    // Written only when it changes, so that readers on several cores do not take turns owning it.
    if (!g_read.load(std::memory_order_relaxed)) {
        g_read.store(true, std::memory_order_relaxed);
    }
    return g_ticks.load(std::memory_order_relaxed);
}

} // namespace Tick

} // namespace

DWORD WINAPI GetTickCount() {
    return static_cast<DWORD>(Tick::Now());
}

ULONGLONG WINAPI GetTickCount64() {
    return Tick::Now();
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
