// CloseHandle and CompareObjectHandles over the library's one checked handle table.
#include "PalWin32/Handles.h"
#include "Win32/WinBase.h"

BOOL WINAPI CloseHandle(HANDLE handle) {
    // The current-process and current-thread pseudo handles need no closing.
    if (handle == GetCurrentProcess() ||
        handle == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2))) {
        return TRUE;
    }
    // Destroying the object may run code that sets the last error; a successful close keeps it.
    const DWORD lastError = GetLastError();
    if (!Pal::KernelHandles().Remove(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(lastError);
    return TRUE;
}

BOOL WINAPI CompareObjectHandles(HANDLE first, HANDLE second) {
    const auto object = Pal::KernelHandles().Find(first);
    return object != nullptr && object == Pal::KernelHandles().Find(second) ? TRUE : FALSE;
}
