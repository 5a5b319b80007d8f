// Thread tokens. No thread impersonates on this platform, so no thread has a token.

#include "Win32/WinBase.h"
#include "Win32/WinSecurity.h"

// The pseudo handle of the calling thread, as on Windows. Weak, so that the thread code of the
// library may define it instead.
extern "C" __attribute__((weak, visibility("default"))) HANDLE WINAPI GetCurrentThread() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL WINAPI OpenThreadToken(HANDLE, DWORD, BOOL, PHANDLE token) {
    if (token != nullptr) {
        *token = nullptr;
    }
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

BOOL WINAPI SetThreadToken(PHANDLE thread, HANDLE token) {
    if (thread != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE); // only the calling thread is supported
        return FALSE;
    }
    if (token != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE); // no token is ever handed out here
        return FALSE;
    }
    return TRUE; // the thread already uses the process's identity
}
