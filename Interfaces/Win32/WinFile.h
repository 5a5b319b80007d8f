// Files, directories and file handles of the Windows API subset the module calls, for builds
// without the SDK. Paths are Windows paths: "\" and "/" both separate components.
// Implemented by Platform/Win32 (libPalWin32.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// Access rights.
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_READ = 0x80000000;

// Share modes.
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Attributes.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

// DuplicateHandle options.
constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x00000001;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002;

constexpr DWORD MAX_PATH = 260;

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52);

// Opens or creates a file. On this platform the share modes are enforced among the handles of
// this process (ERROR_SHARING_VIOLATION as on Windows); other processes are not seen. Opening
// with FILE_APPEND_DATA but not FILE_WRITE_DATA makes every write land at the end of the file.
PAL_API HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                  LPSECURITY_ATTRIBUTES securityAttributes,
                                  DWORD creationDisposition, DWORD flagsAndAttributes,
                                  HANDLE templateFile);
// Synchronous reads and writes; overlapped I/O is not supported (ERROR_INVALID_PARAMETER).
PAL_API BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                              LPOVERLAPPED overlapped);
PAL_API BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                             LPOVERLAPPED overlapped);
PAL_API DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
// The file's identity is its device (volume serial number) and inode (file index).
PAL_API BOOL WINAPI GetFileInformationByHandle(HANDLE file,
                                               LPBY_HANDLE_FILE_INFORMATION information);
// Within the current process only: the new handle refers to the same open file.
PAL_API BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                                    LPHANDLE targetHandle, DWORD desiredAccess, BOOL inheritHandle,
                                    DWORD options);
PAL_API BOOL WINAPI CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
PAL_API BOOL WINAPI RemoveDirectoryW(LPCWSTR pathName);
PAL_API DWORD WINAPI GetFileAttributesW(LPCWSTR fileName);
PAL_API BOOL WINAPI DeleteFileW(LPCWSTR fileName);
