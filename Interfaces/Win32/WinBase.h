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

// Clocks: the performance counter runs at 10 MHz on the steady clock; file times count 100 ns
// since 1601-01-01 UTC; local time follows the process's time zone (TZ).
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
// Returns null on success; a pointer that LocalAlloc did not hand out is returned unchanged with
// ERROR_INVALID_HANDLE instead of corrupting the heap.
PAL_API HLOCAL WINAPI LocalFree(HLOCAL memory);

// Modules. Message modules are resource-only PE files (PE32 or PE32+); with the data-file flags
// (LOAD_LIBRARY_AS_DATAFILE, _EXCLUSIVE, LOAD_LIBRARY_AS_IMAGE_RESOURCE) LoadLibraryExW reads the
// file and its resource directory, and the handle's low bits tell the flag as on Windows. A
// name without "/" or "\" is looked for beside the executable, then in the current directory;
// a name without an extension gets ".dll". Errors: ERROR_FILE_NOT_FOUND for a missing file (also
// in a missing folder), ERROR_ACCESS_DENIED for a folder or an unreadable file,
// ERROR_BAD_EXE_FORMAT for a file that is no well-formed PE file. On this platform no code of a
// PE file ever runs: without a data-file flag the load fails with ERROR_NOT_SUPPORTED.
// FreeLibrary releases such a handle, or a reference that GetModuleHandleExW took.
constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x00000001;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x00000040;
constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;
PAL_API HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
PAL_API BOOL WINAPI FreeLibrary(HMODULE module);
// The path of a loaded module: a null module is the process's executable, a handle from
// LoadLibraryExW the file it read, any other handle an address inside a loaded shared object.
// A buffer too small gets the path cut to size - 1 characters and a NUL; the call then returns
// size with ERROR_INSUFFICIENT_BUFFER. Unknown modules give 0 and ERROR_MOD_NOT_FOUND.
PAL_API DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x00000002;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x00000004;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_PIN = 0x00000001;
// The base of a loaded shared object, by name (null: the executable) or, with FROM_ADDRESS, by an
// address inside it. Without UNCHANGED_REFCOUNT the object gains a reference that FreeLibrary
// drops; PIN keeps it loaded for good.
PAL_API BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* module);

// Message tables.
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;
// Messages come from a string, from the RT_MESSAGETABLE resource (name 1) of a module that
// LoadLibraryExW loaded, or from the system's table (PalSystemMessages.dll beside this library;
// with both FROM_HMODULE and FROM_SYSTEM the module is searched first). Language 0 searches
// neutral, the user's default, US English, then any language; a given language must exist
// (ERROR_RESOURCE_LANG_NOT_FOUND). A missing identifier gives ERROR_MR_MID_NOT_FOUND, a module
// without message table ERROR_RESOURCE_TYPE_NOT_FOUND (ERROR_RESOURCE_DATA_NOT_FOUND without
// resources). Width 0 keeps the text's line breaks, FORMAT_MESSAGE_MAX_WIDTH_MASK turns them
// into blanks, another width wraps lines at blanks. Inserts need FORMAT_MESSAGE_IGNORE_INSERTS
// or FORMAT_MESSAGE_ARGUMENT_ARRAY with an array of DWORD_PTR values (strings for !s!, the
// default; 32-bit integers for !d!, !u!, !x!, !X!): variable argument lists are not supported.
PAL_API DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                    LPWSTR buffer, DWORD size, void* arguments);
// English (United States), 0x0409.
PAL_API LANGID WINAPI GetUserDefaultLangID();

// Stack capture: return addresses of the calling thread's stack, starting framesToSkip frames
// above the caller of this function; the hash, when asked for, is the sum of the addresses.
PAL_API WORD WINAPI RtlCaptureStackBackTrace(DWORD framesToSkip, DWORD framesToCapture,
                                             PVOID* backTrace, PDWORD backTraceHash);

// Debug output: written as UTF-8, one write per call, to the file that PAL_DEBUG_OUTPUT names
// ("-" = standard error); dropped when the variable is unset. The last error is kept.
PAL_API void WINAPI OutputDebugStringW(LPCWSTR text);

// Kernel handles of the library's checked table; an unknown handle gives ERROR_INVALID_HANDLE.
// A successful close keeps the thread's last error. The pseudo handles need no closing.
PAL_API BOOL WINAPI CloseHandle(HANDLE handle);
// TRUE when both handles refer to the same kernel object.
PAL_API BOOL WINAPI CompareObjectHandles(HANDLE first, HANDLE second);
