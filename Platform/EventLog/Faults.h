// The fault table behind EventLogFaults.h.
#pragma once

#include "Win32/WinTypes.h"

#include <string_view>

namespace PalEventLog {

struct InjectedFault {
    DWORD error = 0; // 0: no fault this time
    DWORD partial = 0;
};

// Consumes one call of `function`: the fault to report for it, if one is due.
InjectedFault TakeFault(std::string_view function);

} // namespace PalEventLog
