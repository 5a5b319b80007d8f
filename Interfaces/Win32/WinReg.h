// The registry of the Windows API subset the module calls, for builds without the SDK.
// On this platform the registry is read-only and comes from the ".reg" file (the export format
// "Windows Registry Editor Version 5.00", UTF-16LE with a byte-order mark or UTF-8) that the
// environment variable PAL_REGISTRY_FILE names; unset, the registry is empty. The file is read
// again when its name, size or modification time changes.
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002));
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000003));

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// RegGetValueW type restrictions and options.
constexpr DWORD RRF_RT_REG_NONE = 0x00000001;
constexpr DWORD RRF_RT_REG_SZ = 0x00000002;
constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x00000004;
constexpr DWORD RRF_RT_REG_BINARY = 0x00000008;
constexpr DWORD RRF_RT_REG_DWORD = 0x00000010;
constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x00000020;
constexpr DWORD RRF_RT_REG_QWORD = 0x00000040;
constexpr DWORD RRF_RT_ANY = 0x0000FFFF;
constexpr DWORD RRF_NOEXPAND = 0x10000000;

constexpr DWORD ERROR_UNSUPPORTED_TYPE = 1630;

// All functions return a Win32 error code and leave the thread's last error alone.
PAL_API LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                                     PHKEY result);
PAL_API LSTATUS WINAPI RegCloseKey(HKEY key);
// Data sizes are in bytes; string data holds WCHARs with the terminating null.
PAL_API LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                        LPBYTE data, LPDWORD dataSize);
// Values in the order of the file. nameSize is in characters: in, the buffer's size; out, the
// name's length without the null, or on ERROR_MORE_DATA the size the name needs.
PAL_API LSTATUS WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD nameSize,
                                     LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
PAL_API LSTATUS WINAPI RegGetValueW(HKEY key, LPCWSTR subKey, LPCWSTR valueName, DWORD flags,
                                    LPDWORD type, PVOID data, LPDWORD dataSize);
