// Thread tokens of the Windows API subset the module calls, for builds without the SDK.
// On this platform a thread never impersonates: it has no token of its own.
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
constexpr DWORD TOKEN_QUERY = 0x0008;

// The pseudo handle of the calling thread.
PAL_API HANDLE WINAPI GetCurrentThread();
// Fails with ERROR_NO_TOKEN: no thread impersonates here.
PAL_API BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf,
                                    PHANDLE token);
// A null token ends impersonation (nothing to do here); a token can only be one that
// OpenThreadToken gave, and it never gives one, so any other token is ERROR_INVALID_HANDLE.
PAL_API BOOL WINAPI SetThreadToken(PHANDLE thread, HANDLE token);
