// Environment variables and INI files of the Windows API subset the module calls, for builds
// without the SDK. Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

// The value of a variable of the process environment. On this platform names are compared
// case-sensitively, as the environment of the process is.
PAL_API DWORD WINAPI GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// Replaces every %NAME% of a defined variable by its value; other text stays. Returns the size
// needed in characters including the terminating null.
PAL_API DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);

// Reads a value from an INI file (UTF-8, or UTF-16LE / UTF-8 with a byte-order mark): sections
// and keys compared without regard to case, ';' starts a comment line, blanks around keys and
// values are removed, one pair of matching quotes around a value is removed. A null key lists
// the keys of the section, a null section lists the sections (each null-terminated, the list
// ends with a second null). A missing file, section or key gives the default.
PAL_API DWORD WINAPI GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                              LPWSTR buffer, DWORD size, LPCWSTR fileName);
