// Thread tokens of the Windows API subset the module calls, for builds without the SDK.
// On this platform a thread impersonates only a token that a test made with
// PalCreateImpersonationToken; otherwise it has no token of its own.
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
constexpr DWORD TOKEN_QUERY = 0x0008;

// The pseudo handle of the calling thread.
PAL_API HANDLE WINAPI GetCurrentThread();
// A new handle (closed with CloseHandle) to the token the calling thread impersonates;
// ERROR_NO_TOKEN when it impersonates none. Only the calling thread's pseudo handle is accepted.
PAL_API BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf,
                                    PHANDLE token);
// The calling thread (thread null) impersonates the token, or with a null token runs as the
// process again. A handle that is not a token's is ERROR_INVALID_HANDLE.
PAL_API BOOL WINAPI SetThreadToken(PHANDLE thread, HANDLE token);

// Test seam of this platform: a handle to a new token that SetThreadToken can give a thread, so
// that code which reverts and restores impersonation runs as it would for a client's thread.
PAL_API HANDLE WINAPI PalCreateImpersonationToken();

enum SID_NAME_USE {
    SidTypeUser = 1,
    SidTypeGroup,
    SidTypeDomain,
    SidTypeAlias,
    SidTypeWellKnownGroup,
    SidTypeDeletedAccount,
    SidTypeInvalid,
    SidTypeUnknown,
    SidTypeComputer,
    SidTypeLabel
};
using PSID_NAME_USE = SID_NAME_USE*;

// The account and domain names of a SID: the well-known SIDs and the accounts of the event
// store's accounts.xml; ERROR_NONE_MAPPED for any other. Sizes are in characters; when a buffer
// is too small both needs (with the NUL) are reported with ERROR_INSUFFICIENT_BUFFER.
// Implemented by the Event Log stand-in (libPalEventLog.so), where the accounts are loaded.
PAL_API BOOL WINAPI LookupAccountSidW(LPCWSTR systemName, PSID sid, LPWSTR name, LPDWORD nameSize,
                                      LPWSTR referencedDomainName, LPDWORD domainSize,
                                      PSID_NAME_USE use);
