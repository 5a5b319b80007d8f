#include "Support/TestFaults.h"

#include "Win32/PalWin32Faults.h"

namespace TestFaults {

bool InjectWin32Fault(const char* function, DWORD error, DWORD count) noexcept {
    PalWin32InjectFault(function, error, 0, count);
    return true;
}

void ClearWin32Faults() noexcept {
    PalWin32ClearFaults();
}

} // namespace TestFaults
