#include "Faults.h"

#include "EventLogFaults.h"

#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"

#include <atomic>
#include <map>
#include <string>

namespace PalEventLog {

namespace {

struct Fault {
    DWORD error = 0;
    DWORD skip = 0;
    DWORD count = 0;
    DWORD partial = 0;
};

Base::Mutex g_mutex;
std::map<std::string, Fault, std::less<>> g_faults GUARDED_BY(g_mutex);
std::atomic<bool> g_any{false}; // keeps the common path free of the lock

} // namespace

InjectedFault TakeFault(std::string_view function) {
    if (!g_any.load(std::memory_order_acquire)) {
        return {};
    }
    Base::LockGuard lock(g_mutex);
    auto found = g_faults.find(function);
    if (found == g_faults.end()) {
        return {};
    }
    Fault& fault = found->second;
    if (fault.skip > 0) {
        --fault.skip;
        return {};
    }
    InjectedFault result{fault.error, fault.partial};
    if (--fault.count == 0) {
        g_faults.erase(found);
        g_any.store(!g_faults.empty(), std::memory_order_release);
    }
    return result;
}

} // namespace PalEventLog

void WINAPI PalEventLogInjectFault(const char* function, DWORD error, DWORD skip, DWORD count,
                                   DWORD partial) {
    // A test hook that cannot allocate injects nothing.
    Base::CFunctionBoundary(
        [](Base::Thrown) noexcept {},
        [&] {
            if (function == nullptr || error == 0 || count == 0) {
                return;
            }
            Base::LockGuard lock(PalEventLog::g_mutex);
            PalEventLog::g_faults[function] = PalEventLog::Fault{error, skip, count, partial};
            PalEventLog::g_any.store(true, std::memory_order_release);
        });
}

void WINAPI PalEventLogClearFaults() {
    Base::LockGuard lock(PalEventLog::g_mutex);
    PalEventLog::g_faults.clear();
    PalEventLog::g_any.store(false, std::memory_order_release);
}
