#include "PalEventLog/Api/Faults.h"

#include "PalEventLog/Store/Behaviours.h"
#include "PalEventLog/Store/Store.h"
#include "Win32/PalEventLogFaults.h"

#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"
#include "PalSupport/FaultTable.h"

#include <array>
#include <atomic>
#include <cstring>

namespace PalEventLog {

namespace {

Pal::FaultTable g_faults;
Base::Mutex g_mutex; // guards the record damage

// Record damage still to do (under g_mutex); g_anyDamage keeps the common path free of the lock.
DWORD g_damage = 0;
DWORD g_damageCount = 0;
std::atomic<bool> g_anyDamage{false};

uint32_t Get32(std::span<const uint8_t> record, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, record.data() + at, sizeof(value));
    return value;
}

void Put32(std::span<uint8_t> record, size_t at, uint32_t value) {
    std::memcpy(record.data() + at, &value, sizeof(value));
}

// The offset just past the last insertion string's terminating null of a well-formed record.
size_t EndOfStrings(std::span<const uint8_t> record) {
    uint16_t count = 0;
    std::memcpy(&count, record.data() + 26, sizeof(count));
    size_t at = Get32(record, 36);
    for (uint16_t i = 0; i < count && at + 1 < record.size(); ++i) {
        while (at + 1 < record.size() && (record[at] != 0 || record[at + 1] != 0)) {
            at += 2;
        }
        at += 2;
    }
    return at;
}

} // namespace

InjectedFault TakeFault(std::string_view function) {
    const Pal::FaultTable::Fault fault = g_faults.Take(function);
    return {fault.error, fault.partial};
}

void DamageRecord(std::span<uint8_t> record) {
    if (!g_anyDamage.load(std::memory_order_acquire) || record.size() < 56) {
        return;
    }
    DWORD damage = 0;
    {
        std::lock_guard lock(g_mutex);
        if (g_damageCount == 0) {
            return;
        }
        damage = g_damage;
        if (--g_damageCount == 0) {
            g_anyDamage.store(false, std::memory_order_release);
        }
    }
    switch (damage) {
    case PalRecordOtherNumber:
        Put32(record, 8, Get32(record, 8) + 1);
        break;
    case PalRecordExtraStrings: {
        uint16_t count = 0;
        std::memcpy(&count, record.data() + 26, sizeof(count));
        count = static_cast<uint16_t>(count + 100);
        std::memcpy(record.data() + 26, &count, sizeof(count));
        break;
    }
    case PalRecordFewerStrings: {
        uint16_t count = 0;
        std::memcpy(&count, record.data() + 26, sizeof(count));
        count = static_cast<uint16_t>(count > 0 ? count - 1 : 0);
        std::memcpy(record.data() + 26, &count, sizeof(count));
        break;
    }
    case PalRecordStringsOutside:
        Put32(record, 36, static_cast<uint32_t>(record.size() + 8));
        break;
    case PalRecordUnterminated: {
        const size_t end = EndOfStrings(record);
        if (end >= 2 && end <= record.size()) {
            std::memset(record.data() + end - 2, 'A', record.size() - (end - 2));
        }
        break;
    }
    default:
        break;
    }
}

} // namespace PalEventLog

void WINAPI PalEventLogDamageRecords(DWORD damage, DWORD count) {
    std::lock_guard lock(PalEventLog::g_mutex);
    PalEventLog::g_damage = damage;
    PalEventLog::g_damageCount = damage != 0 ? count : 0;
    PalEventLog::g_anyDamage.store(PalEventLog::g_damageCount != 0, std::memory_order_release);
}

void WINAPI PalEventLogInjectFault(const char* function, DWORD error, DWORD skip, DWORD count,
                                   DWORD partial) {
    // A test hook that cannot allocate injects nothing.
    Base::CFunctionBoundary([](Base::Thrown) noexcept {},
                            [&] {
                                if (function != nullptr) {
                                    PalEventLog::g_faults.Inject(function, error, skip, count,
                                                                 partial);
                                }
                            });
}

void WINAPI PalEventLogSetBehaviour(DWORD behaviour, DWORD value) {
    PalEventLog::SetBehaviour(behaviour, value);
}

void WINAPI PalEventLogClearFaults() {
    PalEventLog::g_faults.Clear();
    PalEventLog::ClearBehaviours();
    Base::LockGuard lock(PalEventLog::g_mutex);
    PalEventLog::g_damageCount = 0;
    PalEventLog::g_anyDamage.store(false, std::memory_order_release);
}

BOOL WINAPI PalEventLogClearChannel(LPCWSTR channel) {
    return Base::CFunctionBoundary([](Base::Thrown) noexcept { return FALSE; },
                                   [&]() -> BOOL {
                                       const auto store = PalEventLog::GlobalStore();
                                       PalEventLog::Store::WriteLock lock(*store);
                                       PalEventLog::Store::ReadLock readLock(*store);
                                       PalEventLog::Channel* found =
                                           channel != nullptr ? store->FindChannel(channel)
                                                              : nullptr;
                                       if (found == nullptr) {
                                           return FALSE;
                                       }
                                       found->firstKept = found->events.size();
                                       ++found->clears;
                                       return TRUE;
                                   });
}

void WINAPI PalEventLogRescan() {
    // A test hook that fails does nothing; the store reports what it met itself.
    Base::CFunctionBoundary([](Base::Thrown) noexcept {},
                            [] { PalEventLog::GlobalStore()->Rescan(); });
}
