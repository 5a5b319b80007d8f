#include "PalEventLog/Store/Behaviours.h"

#include "Win32/PalEventLogFaults.h"

#include <array>
#include <atomic>
#include <cstdlib>

namespace PalEventLog {

namespace {

// The values of the PAL_WINDOWS_BEHAVIOURs, by number.
constexpr DWORD BehaviourCount = 10;

struct BehaviourValues {
    std::array<std::atomic<DWORD>, BehaviourCount> values{};

    // PAL_EVENTLOG_NEXT_LATENCY_MS sets PalNextLatency from the start, for a process that does not
    // call PalEventLogSetBehaviour itself (a host serving a test's store).
    BehaviourValues() {
        if (const char* latency = std::getenv("PAL_EVENTLOG_NEXT_LATENCY_MS")) {
            values[PalNextLatency].store(static_cast<DWORD>(std::strtoul(latency, nullptr, 10)));
        }
    }
};

std::array<std::atomic<DWORD>, BehaviourCount>& Values() {
    static BehaviourValues behaviours;
    return behaviours.values;
}

} // namespace

DWORD Behaviour(DWORD behaviour) noexcept {
    return behaviour < BehaviourCount ? Values()[behaviour].load(std::memory_order_relaxed) : 0;
}

void SetBehaviour(DWORD behaviour, DWORD value) noexcept {
    if (behaviour < BehaviourCount) {
        Values()[behaviour].store(value, std::memory_order_relaxed);
    }
}

void ClearBehaviours() noexcept {
    for (auto& behaviour : Values()) {
        behaviour.store(0, std::memory_order_relaxed);
    }
}

} // namespace PalEventLog
