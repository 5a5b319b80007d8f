// The error conventions of the library's C functions for Base::CFunctionBoundary: what an
// exception inside one of them becomes. Internal to libPalWin32.
#pragma once

#include "Base/CFunctionBoundary.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinReg.h"

namespace Pal {

// The Win32 code of an exception: ERROR_NOT_ENOUGH_MEMORY for an allocation failure, else
// ERROR_INTERNAL_ERROR.
constexpr DWORD Win32ErrorOf(Base::Thrown thrown) noexcept {
    return thrown == Base::Thrown::OutOfMemory ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INTERNAL_ERROR;
}

// Functions that report through the last error: it is set to the code of the exception and the
// function returns `failure`.
template <typename R>
auto FailWithLastError(R failure) noexcept {
    return [failure](Base::Thrown thrown) noexcept {
        SetLastError(Win32ErrorOf(thrown));
        return failure;
    };
}

// Functions that return the Win32 code itself (the registry's).
inline auto FailWithStatus() noexcept {
    return [](Base::Thrown thrown) noexcept { return static_cast<LSTATUS>(Win32ErrorOf(thrown)); };
}

} // namespace Pal
