// Event objects and waits of the Windows API subset the module calls, for builds without the SDK.
// Event handles live in the library's kernel handle table: CloseHandle closes them.
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinFile.h"
#include "WinTypes.h"

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// An unnamed event: manual reset (stays signalled until ResetEvent) or automatic reset (a
// satisfied wait unsignals it). Named events are not supported (ERROR_NOT_SUPPORTED).
PAL_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                   BOOL initialState, LPCWSTR name);
PAL_API BOOL WINAPI SetEvent(HANDLE event);
PAL_API BOOL WINAPI ResetEvent(HANDLE event);
// WAIT_OBJECT_0 when the event is (or becomes) signalled within `milliseconds` (INFINITE: no
// limit), WAIT_TIMEOUT otherwise, WAIT_FAILED with the last error for a handle that is not an
// event.
PAL_API DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
