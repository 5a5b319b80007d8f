// Fault injection into the Windows API stand-in, for tests of code that calls it: scripted
// failures reach the error paths that the machine running the tests never takes on its own (a full
// disk, a log folder that cannot be written by root, a missing module).
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinTypes.h"

// After `skip` further calls that do not fail, the next `count` calls of `function`
// ("CreateFileW", "CreateDirectoryW", "WriteFile", "LoadLibraryExW") fail with `error` as their
// last error and do nothing else. A new call for the same function replaces the old fault.
PAL_API void WINAPI PalWin32InjectFault(const char* function, DWORD error, DWORD skip, DWORD count);
// Removes every injected fault.
PAL_API void WINAPI PalWin32ClearFaults();
