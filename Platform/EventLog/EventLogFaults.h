// Fault injection into the Event Log stand-in, for tests of code that calls it: scripted failures
// reach the error paths that a store in memory never takes on its own (time-outs, RPC errors).
#pragma once

#include "Win32/WinTypes.h"

// After `skip` further successful calls, the next `count` calls of `function` ("EvtQuery",
// "EvtNext", "EvtSeek", "EvtRender", "EvtFormatMessage", "EvtUpdateBookmark",
// "EvtCreateBookmark", "EvtCreateRenderContext", "EvtOpenPublisherMetadata",
// "EvtOpenChannelConfig", "EvtGetChannelConfigProperty", "EvtSubscribe", "ReportEventW",
// "ReadEventLogW", "OpenEventLogW") fail with `error`. "EvtSubscribeDeliver" makes a subscription
// report `error` to its callback (EvtSubscribeActionError) before its next event. For EvtNext,
// `partial` events are still handed out with the failure (as a time-out can on Windows); any
// other function ignores it. A new call for the same function replaces the old fault.
PAL_API void WINAPI PalEventLogInjectFault(const char* function, DWORD error, DWORD skip,
                                           DWORD count, DWORD partial);
// Removes every injected fault.
PAL_API void WINAPI PalEventLogClearFaults();
