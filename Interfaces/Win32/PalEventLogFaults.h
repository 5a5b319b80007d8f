// Fault injection into the Event Log stand-in, for tests of code that calls it: scripted failures
// reach the error paths that a store in memory never takes on its own (time-outs, RPC errors).
// Implemented by Platform/EventLog (libPalEventLog.so).
#pragma once

#include "Win32/WinTypes.h"

// After `skip` further successful calls, the next `count` calls of `function` ("EvtQuery",
// "EvtNext", "EvtSeek", "EvtRender", "EvtFormatMessage", "EvtUpdateBookmark",
// "EvtCreateBookmark", "EvtCreateRenderContext", "EvtOpenPublisherMetadata",
// "EvtOpenChannelConfig", "EvtGetChannelConfigProperty", "EvtSubscribe", "ReportEventW",
// "ReadEventLogW", "OpenEventLogW", "GetNumberOfEventLogRecords", "LookupAccountSidW") fail with
// `error`. "EvtSubscribeDeliver" makes a subscription
// report `error` to its callback (EvtSubscribeActionError) before its next event. For EvtNext,
// `partial` events are still handed out with the failure (as a time-out can on Windows); any
// other function ignores it. A new call for the same function replaces the old fault.
PAL_API void WINAPI PalEventLogInjectFault(const char* function, DWORD error, DWORD skip,
                                           DWORD count, DWORD partial);
// Removes every injected fault (record damage and the Windows behaviours below included).
PAL_API void WINAPI PalEventLogClearFaults();

// Damage that ReadEventLogW does to the records it hands out, as a damaged log or a faulty
// service would: the record's own parts no longer agree.
enum PAL_RECORD_DAMAGE : DWORD {
    PalRecordOtherNumber = 1,    // RecordNumber is one more than the record's number
    PalRecordExtraStrings = 2,   // NumStrings claims 100 strings more than the record holds
    PalRecordStringsOutside = 3, // StringOffset points 8 bytes past the record's end
    PalRecordUnterminated = 4,   // every byte from the last string's terminating null to the
                                 // record's end is non-zero (the trailing length included)
    PalRecordFewerStrings = 5,   // NumStrings claims one string fewer than the record holds
};
// The next `count` records that ReadEventLogW hands out are damaged as `damage` says.
PAL_API void WINAPI PalEventLogDamageRecords(DWORD damage, DWORD count);

// One pass of the store folder's watcher now, for tests whose store has it switched off
// (PAL_EVENTLOG_POLL_MS=0): a file that grew, shrank or vanished since the last pass is taken in or
// reported as the watcher would.
PAL_API void WINAPI PalEventLogRescan();

// Respects in which Windows differs from the stand-in's default behaviour, or one Windows build
// from another. Each is off (0) until set; PalEventLogClearFaults turns them all off again.
enum PAL_WINDOWS_BEHAVIOUR : DWORD {
    // EvtFormatMessage given a buffer too short for the message copies what fits (with a
    // terminating null) and returns TRUE, BufferUsed the length of the whole message.
    PalFormatTruncates = 1,
    // EvtFormatMessage of a message with unresolved inserts reports the insert error (15029,
    // 15030, 15031) for a buffer too short, not ERROR_INSUFFICIENT_BUFFER, and writes nothing
    // into it; BufferUsed is the length the message needs.
    PalFormatSizingInsertError = 2,
    // The system render hands out 16 properties: no UserID and no Version (the property count
    // and the buffer say so).
    PalSystemRender16 = 3,
    // `value` > 0: EvtNext fails with RPC_S_INVALID_BOUND when the events of one batch come to
    // more than `value` bytes together (their event XML), handing out nothing; the result set
    // then stands past those events.
    PalNextByteLimit = 4,
    // OpenEventLogW opens Application for a name that has no classic log.
    PalOpenFallsBackToApplication = 5,
    // A single Data value of EventData renders as a plain string, not as an array of one.
    PalSingleDataPlain = 6,
    // EvtFormatMessage replaces parameter inserts ("%%2313") inside insertion strings by the
    // provider's parameter messages; one it has none for fails the call with
    // ERROR_EVT_UNRESOLVED_PARAMETER_INSERT, the message still filled in.
    PalParameterInsertsInStrings = 7,
    // `value` > 0: a channel holds at most `value` events; one appended beyond overwrites the
    // oldest, which are then out of the log (ReadEventLogW gives ERROR_INVALID_PARAMETER for
    // them), and result sets opened before go stale as after a clear.
    PalChannelMaxEvents = 8,
    // `value` > 0: the events of each EvtNext batch take `value` ms to arrive. A call whose
    // time-out is shorter than what is left of that waits its time-out and fails with
    // ERROR_TIMEOUT, handing out nothing; the wait counts towards the batch, so that the calls
    // that follow get it once `value` ms have passed in them, as a query goes on working on
    // Windows between calls.
    PalNextLatency = 9,
};
PAL_API void WINAPI PalEventLogSetBehaviour(DWORD behaviour, DWORD value);

// Clears a channel as EvtClearLog does: its events are gone for new queries and classic reads;
// result sets opened before fail their next EvtNext with ERROR_EVT_QUERY_RESULT_STALE and their
// next EvtSeek with ERROR_EVT_QUERY_RESULT_INVALID_POSITION; classic log handles opened before
// fail ReadEventLogW with ERROR_EVENTLOG_FILE_CHANGED. False for a channel that does not exist.
PAL_API BOOL WINAPI PalEventLogClearChannel(LPCWSTR channel);
