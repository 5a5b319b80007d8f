// Path helpers of the Windows shell light-weight API, for builds without the SDK.
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinTypes.h"

// Joins a directory and a file into pathOut (at least MAX_PATH characters) and removes "." and
// ".." components. A file that is an absolute path is taken alone. Returns pathOut, or null
// (pathOut empty) when the result would not fit into MAX_PATH characters.
PAL_API LPWSTR WINAPI PathCombineW(LPWSTR pathOut, LPCWSTR directory, LPCWSTR file);
