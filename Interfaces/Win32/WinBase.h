// Kernel functions of the Windows API subset the module calls, for builds without the SDK.
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

// Per-thread last error.
PAL_API DWORD WINAPI GetLastError();
PAL_API void WINAPI SetLastError(DWORD code);

// Process and thread identity.
PAL_API DWORD WINAPI GetCurrentProcessId();
PAL_API DWORD WINAPI GetCurrentThreadId();
PAL_API HANDLE WINAPI GetCurrentProcess();
PAL_API LPWSTR WINAPI GetCommandLineW();

// Clocks.
PAL_API DWORD WINAPI GetTickCount();
PAL_API ULONGLONG WINAPI GetTickCount64();
PAL_API BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
PAL_API BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);
PAL_API void WINAPI GetSystemTimeAsFileTime(FILETIME* time);
PAL_API void WINAPI GetSystemTimePreciseAsFileTime(FILETIME* time);
PAL_API BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, SYSTEMTIME* systemTime);
PAL_API BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, FILETIME* fileTime);
PAL_API BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime);
PAL_API void WINAPI Sleep(DWORD milliseconds);

// Local memory (buffers handed out by FormatMessageW and similar).
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
PAL_API HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
PAL_API HLOCAL WINAPI LocalFree(HLOCAL memory);

// Modules. Message modules are resource-only PE files; with the data-file flags their
// resources are read on every platform.
constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x00000001;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x00000040;
constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;
PAL_API HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
PAL_API BOOL WINAPI FreeLibrary(HMODULE module);
// The path of a loaded module; a null module is the process's executable. On this platform a
// module handle that is an address inside a loaded shared object names that object.
PAL_API DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x00000002;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x00000004;
PAL_API BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* module);

// Message tables.
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
// Arguments are not supported: callers pass FORMAT_MESSAGE_IGNORE_INSERTS or
// FORMAT_MESSAGE_ARGUMENT_ARRAY with an array of string pointers.
PAL_API DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                    LPWSTR buffer, DWORD size, void* arguments);
PAL_API LANGID WINAPI GetUserDefaultLangID();

// Stack capture.
PAL_API WORD WINAPI RtlCaptureStackBackTrace(DWORD framesToSkip, DWORD framesToCapture,
                                             PVOID* backTrace, PDWORD backTraceHash);

// Debug output.
PAL_API void WINAPI OutputDebugStringW(LPCWSTR text);

// Kernel handles.
PAL_API BOOL WINAPI CloseHandle(HANDLE handle);
