// Conversions between the Windows view of this library (wide strings, "\" separators, Win32
// error codes) and the Linux one (UTF-8, "/" separators, errno). Internal to libPalWin32.
#pragma once

#include "Win32/WinTypes.h"

#include <string>
#include <string_view>

namespace Pal {

// A Windows path as the file system here takes it: "\" becomes "/", UTF-8.
std::string ToNativePath(LPCWSTR path);

// The Win32 error code of an errno value.
DWORD Win32ErrorFromErrno(int error) noexcept;

} // namespace Pal
