// Owners of the Windows resources the host family holds, one alias each over Base::UniqueAny (see
// there): closing one keeps the thread's last error, so that a failure path can close what it
// opened and still report the error it met.
#pragma once

#include "Base/UniqueAny.h"
#include "Platform.h"

// Keeps the thread's last error across a close.
class KeepLastError {
public:
    KeepLastError() noexcept : m_saved(GetLastError()) {}
    ~KeepLastError() { SetLastError(m_saved); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD m_saved;
};

// The close functions as functions of this module, whose addresses are constants where the
// system's own are imported.
namespace UniqueHandleDetail {
inline void CloseKernelHandle(HANDLE handle) noexcept {
    CloseHandle(handle);
}
inline void CloseRegistryKey(HKEY key) noexcept {
    RegCloseKey(key);
}
inline void ReleaseModule(HMODULE module) noexcept {
    FreeLibrary(module);
}
inline void ReleaseBstr(BSTR text) noexcept {
    SysFreeString(text);
}
inline void ReleaseLocalMemory(void* memory) noexcept {
    LocalFree(memory);
}
} // namespace UniqueHandleDetail

template <typename Handle, auto Close>
using UniqueWin32 = Base::UniqueAny<Handle, Close, Handle{}, KeepLastError>;

// A kernel handle (file, token, event): CloseHandle. Null is empty; a CreateFileW result is
// taken through FromCreateFile, which turns INVALID_HANDLE_VALUE into null.
using UniqueKernelHandle = UniqueWin32<HANDLE, &UniqueHandleDetail::CloseKernelHandle>;
inline UniqueKernelHandle FromCreateFile(HANDLE file) noexcept {
    return UniqueKernelHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}
using UniqueRegistryKey = UniqueWin32<HKEY, &UniqueHandleDetail::CloseRegistryKey>;
using UniqueModule = UniqueWin32<HMODULE, &UniqueHandleDetail::ReleaseModule>;
using UniqueBstr = UniqueWin32<BSTR, &UniqueHandleDetail::ReleaseBstr>;
// Memory that a call allocated with LocalAlloc for the caller (FormatMessageW's buffer).
using UniqueLocalMemory = UniqueWin32<void*, &UniqueHandleDetail::ReleaseLocalMemory>;
