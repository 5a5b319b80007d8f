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
// Removes every injected fault (record damage included).
PAL_API void WINAPI PalEventLogClearFaults();

// Damage that ReadEventLogW does to the records it hands out, as a damaged log or a faulty
// service would: the record's own parts no longer agree.
enum PAL_RECORD_DAMAGE : DWORD {
    PalRecordOtherNumber = 1,    // RecordNumber is one more than the record's number
    PalRecordExtraStrings = 2,   // NumStrings claims 100 strings more than the record holds
    PalRecordStringsOutside = 3, // StringOffset points 8 bytes past the record's end
    PalRecordUnterminated = 4,   // every byte from the last string's terminating null to the
                                 // record's end is non-zero (the trailing length included)
};
// The next `count` records that ReadEventLogW hands out are damaged as `damage` says.
PAL_API void WINAPI PalEventLogDamageRecords(DWORD damage, DWORD count);

// One pass of the store folder's watcher now, for tests whose store has it switched off
// (PAL_EVENTLOG_POLL_MS=0): a file that grew, shrank or vanished since the last pass is taken in or
// reported as the watcher would.
PAL_API void WINAPI PalEventLogRescan();
