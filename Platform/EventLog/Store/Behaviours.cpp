#include "PalEventLog/Store/Behaviours.h"

#include <array>
#include <atomic>

namespace PalEventLog {

namespace {

// The values of the PAL_WINDOWS_BEHAVIOURs, by number.
constexpr DWORD BehaviourCount = 10;
std::array<std::atomic<DWORD>, BehaviourCount> g_behaviours{};

} // namespace

DWORD Behaviour(DWORD behaviour) noexcept {
    return behaviour < BehaviourCount ? g_behaviours[behaviour].load(std::memory_order_relaxed) : 0;
}

void SetBehaviour(DWORD behaviour, DWORD value) noexcept {
    if (behaviour < BehaviourCount) {
        g_behaviours[behaviour].store(value, std::memory_order_relaxed);
    }
}

void ClearBehaviours() noexcept {
    for (auto& behaviour : g_behaviours) {
        behaviour.store(0, std::memory_order_relaxed);
    }
}

} // namespace PalEventLog
