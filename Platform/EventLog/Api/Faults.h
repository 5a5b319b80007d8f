// The fault table behind Win32/PalEventLogFaults.h.
#pragma once

#include "PalEventLog/Store/Behaviours.h"
#include "Win32/WinTypes.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace PalEventLog {

struct InjectedFault {
    DWORD error = 0; // 0: no fault this time
    DWORD partial = 0;
};

// Consumes one call of `function`: the fault to report for it, if one is due.
InjectedFault TakeFault(std::string_view function);

// Applies the record damage that PalEventLogDamageRecords asked for, if some is due, to a classic
// record about to be handed out.
void DamageRecord(std::span<uint8_t> record);

} // namespace PalEventLog
