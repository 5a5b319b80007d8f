// HRESULT values returned by the node library. They carry their Windows values; the names differ
// from the SDK's macros so that this header can sit beside <windows.h> on Windows.
#pragma once

#include "Quarry/Quarry.h"

#include <cstdint>

namespace Quarry {

constexpr EKN_HRESULT MakeHr(uint32_t value) noexcept {
    return static_cast<EKN_HRESULT>(value);
}

inline constexpr EKN_HRESULT kOk = 0;
inline constexpr EKN_HRESULT kUnexpected = MakeHr(0x8000FFFF);   // E_UNEXPECTED
inline constexpr EKN_HRESULT kPointer = MakeHr(0x80004003);      // E_POINTER
inline constexpr EKN_HRESULT kHandle = MakeHr(0x80070006);       // E_HANDLE
inline constexpr EKN_HRESULT kOutOfMemory = MakeHr(0x8007000E);  // E_OUTOFMEMORY
inline constexpr EKN_HRESULT kInvalidArg = MakeHr(0x80070057);   // E_INVALIDARG
inline constexpr EKN_HRESULT kTypeMismatch = MakeHr(0x80020005); // DISP_E_TYPEMISMATCH
inline constexpr EKN_HRESULT kOverflow = MakeHr(0x8002000A);     // DISP_E_OVERFLOW
inline constexpr EKN_HRESULT kInsufficient = MakeHr(0x8007007A); // ERROR_INSUFFICIENT_BUFFER
inline constexpr EKN_HRESULT kNotFound = MakeHr(0x80070490);     // ERROR_NOT_FOUND

constexpr bool Failed(EKN_HRESULT hr) noexcept {
    return hr < 0;
}

} // namespace Quarry
