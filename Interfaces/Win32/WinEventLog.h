// The classic event-log functions of the Windows API subset the module calls, for builds without
// the SDK: reading a log's records as EVENTLOGRECORDs, and writing events by source name.
// Implemented by the Event Log stand-in (libPalEventLog.so).
#pragma once

#include "WinError.h"
#include "WinTypes.h"

// ReadEventLogW flags: exactly one of the first two and one of the last two.
constexpr DWORD EVENTLOG_SEQUENTIAL_READ = 0x0001;
constexpr DWORD EVENTLOG_SEEK_READ = 0x0002;
constexpr DWORD EVENTLOG_FORWARDS_READ = 0x0004;
constexpr DWORD EVENTLOG_BACKWARDS_READ = 0x0008;

// Event types of ReportEventW and EVENTLOGRECORD::EventType.
constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// The fixed header of a classic record; the variable parts follow it in the same buffer.
struct EVENTLOGRECORD {
    DWORD Length;
    DWORD Reserved; // 0x654C664C ("LfLe")
    DWORD RecordNumber;
    DWORD TimeGenerated; // seconds since 1970-01-01 UTC
    DWORD TimeWritten;
    DWORD EventID;
    WORD EventType;
    WORD NumStrings;
    WORD EventCategory;
    WORD ReservedFlags;
    DWORD ClosingRecordNumber;
    DWORD StringOffset;
    DWORD UserSidLength;
    DWORD UserSidOffset;
    DWORD DataLength;
    DWORD DataOffset;
};
static_assert(sizeof(EVENTLOGRECORD) == 56);
using PEVENTLOGRECORD = EVENTLOGRECORD*;

// Opens the classic view of a log (Application, System, Security and logs declared classic) on
// the local computer (server NULL or empty). Other logs: ERROR_FILE_NOT_FOUND.
PAL_API HANDLE WINAPI OpenEventLogW(LPCWSTR serverName, LPCWSTR sourceName);
// Fills the buffer with whole records; ERROR_INSUFFICIENT_BUFFER with *minNumberOfBytesNeeded
// when the next record does not fit, ERROR_HANDLE_EOF after the last.
PAL_API BOOL WINAPI ReadEventLogW(HANDLE eventLog, DWORD readFlags, DWORD recordOffset,
                                  LPVOID buffer, DWORD numberOfBytesToRead, DWORD* bytesRead,
                                  DWORD* minNumberOfBytesNeeded);
PAL_API BOOL WINAPI GetNumberOfEventLogRecords(HANDLE eventLog, PDWORD numberOfRecords);
PAL_API BOOL WINAPI CloseEventLog(HANDLE eventLog);

// A handle for writing events under a source name; the source's log is the channel that
// publishers.xml declares for it, Application otherwise.
PAL_API HANDLE WINAPI RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);
PAL_API BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                                 PSID userSid, WORD numStrings, DWORD dataSize, LPCWSTR* strings,
                                 LPVOID rawData);
PAL_API BOOL WINAPI DeregisterEventSource(HANDLE eventLog);
