// Failures of the Windows API scripted for a test, where the platform's stand-in can inject them
// (PalWin32Faults.h); the real Windows API cannot, and tests that need them skip there.
#pragma once

#include "Platform.h"

namespace TestFaults {

// The next `count` calls of `function` ("CreateFileW", "CreateDirectoryW", "WriteFile",
// "LoadLibraryExW") fail with `error`; false where faults cannot be injected.
bool InjectWin32Fault(const char* function, DWORD error, DWORD count) noexcept;
// Removes every injected fault.
void ClearWin32Faults() noexcept;

} // namespace TestFaults
