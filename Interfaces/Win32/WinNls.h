// Number formatting and the version check of the Windows API subset the module calls, for
// builds without the SDK. Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

struct NUMBERFMTW {
    UINT NumDigits;
    UINT LeadingZero;
    UINT Grouping;
    LPWSTR lpDecimalSep;
    LPWSTR lpThousandSep;
    UINT NegativeOrder;
};

// Formats a number given as text ("-", digits, optional "." and digits). Locales other than the
// invariant one, the user default and the system default are ERROR_INVALID_PARAMETER; all of
// them format like the invariant locale here. size 0 asks for the size needed (with the null).
PAL_API int WINAPI GetNumberFormatW(LCID locale, DWORD flags, LPCWSTR value,
                                    const NUMBERFMTW* format, LPWSTR numberText, int size);
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
using LPOSVERSIONINFOEXW = OSVERSIONINFOEXW*;

constexpr DWORD VER_MINORVERSION = 0x0000001;
constexpr DWORD VER_MAJORVERSION = 0x0000002;
constexpr DWORD VER_BUILDNUMBER = 0x0000004;
constexpr DWORD VER_PLATFORMID = 0x0000008;
constexpr DWORD VER_SERVICEPACKMINOR = 0x0000010;
constexpr DWORD VER_SERVICEPACKMAJOR = 0x0000020;
constexpr DWORD VER_SUITENAME = 0x0000040;
constexpr DWORD VER_PRODUCT_TYPE = 0x0000080;

constexpr BYTE VER_EQUAL = 1;
constexpr BYTE VER_GREATER = 2;
constexpr BYTE VER_GREATER_EQUAL = 3;
constexpr BYTE VER_LESS = 4;
constexpr BYTE VER_LESS_EQUAL = 5;
constexpr BYTE VER_AND = 6;
constexpr BYTE VER_OR = 7;

constexpr DWORD ERROR_OLD_WIN_VERSION = 1150;

PAL_API ULONGLONG WINAPI VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                             BYTE condition);
// This platform answers as Windows 10.0 build 19045, no service pack, a workstation (product
// type 1) on the NT platform (2). False with ERROR_OLD_WIN_VERSION when the test fails.
PAL_API BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW versionInformation, DWORD typeMask,
                                       ULONGLONG conditionMask);
