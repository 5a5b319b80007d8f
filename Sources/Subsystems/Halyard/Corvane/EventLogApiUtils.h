// The only place where the module calls the Windows Event Log API and the classic event-log
// functions. Each function turns one API call (or one sizing pair) into a smart handle, a filled
// buffer or an HRES: functions that create handles, render or read records throw an HRX on failure;
// those whose failures are expected in normal operation return the HRES and let the caller judge.
#pragma once

#include "Halyard/Corvane/SmartHandle.h"

#include "Base/ComPtr.h"
#include "Trellis/Trellis.h"

#include <cstdint>
#include <string>
#include <vector>

namespace EventsApiUtils {

// Receives EvtRender, EvtGetChannelConfigProperty and ReadEventLogW output. The heap block of a
// vector is aligned for EVT_VARIANT, which the rendered values start with.
using ByteBuffer = std::vector<uint8_t>;
static_assert(alignof(EVT_VARIANT) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

constexpr HRESULT HR_TIMEOUT = HresultFromWin32(ERROR_TIMEOUT);
constexpr HRESULT HR_NO_MORE_ITEMS = HresultFromWin32(ERROR_NO_MORE_ITEMS);
constexpr HRESULT HR_CALL_CANCELLED = HresultFromWin32(RPC_S_CALL_CANCELLED);
constexpr HRESULT HR_UNRESOLVED_VALUE_INSERT = HresultFromWin32(ERROR_EVT_UNRESOLVED_VALUE_INSERT);

// Channel configuration.

// EvtOpenChannelConfig of a channel; throws the last error.
SmartHandle GetChannelConfigHandle(const std::wstring& channel);
// Reads one channel property into `buffer` (an EVT_VARIANT and its payload). The sizing call's
// result other than ERROR_INSUFFICIENT_BUFFER is returned as it is; a failure of the reading call
// is logged and returned, `buffer` untouched.
HRES GetChannelProperty(EVT_HANDLE config, EVT_CHANNEL_CONFIG_PROPERTY_ID property,
                        ByteBuffer& buffer);
// The channel's publisher list, in the order the service gives it. Opening the configuration may
// throw; a failure to read the list is logged and gives an empty list.
std::vector<std::wstring> GetChannelsPublishers(const std::wstring& channel);

// Rendering and messages.

// EvtCreateRenderContext with the paths (a count of 0 when `paths` is null); throws the last
// error.
SmartHandle CreateRenderContext(DWORD flags, LPCWSTR* paths, DWORD pathCount);
// The EVT_VARIANT array that the context selects for the event: a sizing call without a buffer,
// then the rendering call. Throws the last error; an event with nothing to render gives an empty
// buffer. The second form reuses the caller's buffer: its first call passes the capacity the
// buffer has, so an event no larger than the one before is rendered in one call, and returns the
// number of properties the call reported (Windows 11 has rendered 16 system properties where the
// context names 18). A success that reports more bytes than the buffer held is rendered again
// into a buffer of that size.
ByteBuffer RenderEvent(EVT_HANDLE context, EVT_HANDLE event);
DWORD RenderEvent(EVT_HANDLE context, EVT_HANDLE event, ByteBuffer& buffer);
// EvtOpenPublisherMetadata of a provider on the local computer into `metadata`. A failure is
// returned, not thrown: the last error with the thread's error object (E_FAIL when no last error
// is set), as a throw would carry it. A log copied from another machine names providers that are
// not installed on page after page, and a throw for each would cost more than the open.
HRES OpenPublisherMetadata(const std::wstring& provider, SmartHandle& metadata);
// Whether a message failure still leaves the message in the buffer, its unresolved inserts left as
// written (ERROR_EVT_UNRESOLVED_VALUE_INSERT, ERROR_EVT_UNRESOLVED_PARAMETER_INSERT,
// ERROR_EVT_MAX_INSERTS_REACHED).
bool IsPartialMessage(HRESULT code) noexcept;
// The event's message. `message` receives the text on success and also with a partial message
// (above); any other failure leaves it untouched. The first call passes the thread's buffer, of
// 128 characters or the longest message it held since; only a longer message costs a second call
// with the size the first one reported, whether the first call failed for the size, reported an
// insert error for it, or (as some Windows builds do) succeeded with a truncated copy. Never
// throws for API results.
HRES FormatEventMessage(EVT_HANDLE metadata, EVT_HANDLE event, std::wstring& message);
// The same with the call's Win32 result (ERROR_SUCCESS for a success), for a caller that needs a
// failure's HRES only now and then: making one captures its callers, which costs more than the
// formatting, and in a log copied from another machine many messages fail alike.
DWORD FormatEventMessageError(EVT_HANDLE metadata, EVT_HANDLE event, std::wstring& message);

// Query, walking and bookmarks.

// The calling thread's extended status text of its last failing Evt call; a failure to read it
// is logged and gives an empty text.
std::wstring GetExtendedStatus();
// EvtQuery on a channel (EvtQueryChannelPath is added to `flags`, which carry the direction).
// A failure is logged with the extended status and thrown.
SmartHandle MakeQuery(const std::wstring& channel, const std::wstring& query, DWORD flags);
// The cancellation of the client request that the calling thread serves. The framework's
// "Core.RequestContextMgr" is asked for it once, at the first question; the request is asked at
// each. A fetch keeps one for all its batches; it serves one thread and one request.
class RequestCancellation {
public:
    // Whether the request has been cancelled; false when the thread serves no request. A failing
    // call on the way throws.
    bool IsCancelled();

private:
    bool m_found = false;
    Base::ComPtr<Halyard::Interfaces::ICancellation> m_cancellation; // null: no request
};

// Exactly the next event of a result set. Every failure, the end of the set included, throws.
SmartHandle GetNextData(EVT_HANDLE resultSet, DWORD timeoutMs);
// The next batch of up to `count` events. In a cancelled request: HR_CALL_CANCELLED, and the
// result set is not touched. On success or time-out, `events` receives what was returned (maybe
// nothing) and the result is returned; on any other failure (HR_NO_MORE_ITEMS at the end)
// `events` is left as it was. Never throws for API results.
HRES GetNextData(EVT_HANDLE resultSet, DWORD count, DWORD timeoutMs, SmartEvtVector& events,
                 RequestCancellation& cancellation);
// The same, with the request's cancellation found for this batch alone.
HRES GetNextData(EVT_HANDLE resultSet, DWORD count, DWORD timeoutMs, SmartEvtVector& events);
// The batch form for counting: `returned` receives how many events the batch held (0 on a failure
// other than a time-out); their handles are closed at once instead of being handed out. Results as
// for the batch GetNextData.
HRES CountNextData(EVT_HANDLE resultSet, DWORD count, DWORD timeoutMs, DWORD& returned,
                   RequestCancellation& cancellation);
// An empty bookmark; throws the last error.
SmartHandle CreateBookMark();
// Moves the bookmark onto the event.
HRES UpdateBookMark(EVT_HANDLE bookmark, EVT_HANDLE event);
// Positions the result set `offset` events from the bookmarked one (time-out 0).
HRES Seek(EVT_HANDLE resultSet, EVT_HANDLE bookmark, int64_t offset);
// Positions the result set `offset` events after its first one (time-out 0).
HRES SeekFromFirst(EVT_HANDLE resultSet, int64_t offset);

// Subscription and signal event.

// EvtSubscribe with the callback and its context, the caller's flags unchanged. A failure is
// logged with the extended status and thrown.
SmartHandle Subscribe(EVT_SUBSCRIBE_CALLBACK callback, void* context, const std::wstring& channel,
                      const std::wstring& query, DWORD flags);
// An unnamed manual-reset event, not signalled; throws the last error.
SmartHandle MakeSignalEvent();

// Classic event log.

// OpenEventLogW of a channel on the local computer; throws the last error. A channel whose
// configuration has no classic view throws HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) without the
// call, which would open Application in its place.
SmartHandle OpenEventLogFile(const std::wstring& channel);
// GetNumberOfEventLogRecords; throws the last error.
uint32_t GetEventLogRecordsNumber(HANDLE eventLog);
// The classic record with that number. A null log handle throws ERROR_INVALID_DATA ("Invalide
// event log handle."), a record with another number ERROR_NOT_FOUND; API failures throw.
ByteBuffer ReadEventFromLog(HANDLE eventLog, uint32_t recordNumber);
// The same into `buffer`, read from that record on in `direction` (EVENTLOG_FORWARDS_READ or
// EVENTLOG_BACKWARDS_READ) with `room` bytes (at least one): a record that fits is read with one
// call, and the log fills what it leaves of the room with the records that follow in that
// direction; a larger one takes a second call once the log has said its size.
void ReadEventFromLog(HANDLE eventLog, uint32_t recordNumber, DWORD direction, size_t room,
                      ByteBuffer& buffer);

} // namespace EventsApiUtils

namespace Halyard {

// The channel's classic log for reading records, or an empty handle (the failure logged) when it
// cannot be opened.
EventsApiUtils::SmartHandle GetEventLog(const std::wstring& channel);
// The number of records of the channel's classic log; 0 (the failure logged) when it cannot be
// counted.
uint32_t GetEventsCount(const std::wstring& channel);

} // namespace Halyard
