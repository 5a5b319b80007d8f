#include "Support/TestFaults.h"

namespace TestFaults {

bool InjectWin32Fault(const char*, DWORD, DWORD) noexcept {
    return false;
}

void ClearWin32Faults() noexcept {}

} // namespace TestFaults
