#include "Halyard/Corvane/EventLogApiUtils.h"

#include "Base/ThreadObject.h"
#include "Components/NamedInstance.h"
#include "Logging/TraceScope.h"
#include "Trellis/Trellis.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>

namespace EventsApiUtils {

namespace {

using Logging::LOG_DBG3;
using Logging::LOG_ERR;

// Throws the thread's last error as an HRX (E_FAIL when none is set).
[[noreturn]] void ThrowLastError() {
    RaiseError(HresultFromWin32(GetLastError()));
}

// Boxes a handle an API call returned; a null one throws the last error.
SmartHandle CheckedEvtHandle(EVT_HANDLE handle) {
    if (handle == nullptr) {
        ThrowLastError();
    }
    return MakeSmartEvtHandle(handle);
}

// Logs a failed query or subscription with the extended status and throws the last error. A
// failure without a last error (an Event Log that lacks the function, as Wine's) has no extended
// status to ask for either: it is logged with an empty one and thrown as E_FAIL.
[[noreturn]] void ThrowWithExtendedStatus(const wchar_t* context) {
    const HRES failure = ApiResult{FALSE};
    const std::wstring status = failure.Failed() ? GetExtendedStatus() : std::wstring();
    LOG_AT(LOG_ERR, context << failure << L"] Extended status info: [" << status << L"]");
    ThrowIfFailed(failure);
    RaiseError(E_FAIL); // the call failed without a last error
}

} // namespace

SmartHandle GetChannelConfigHandle(const std::wstring& channel) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::GetChannelConfigHandle");
    return CheckedEvtHandle(EvtOpenChannelConfig(nullptr, channel.c_str(), 0));
}

HRES GetChannelProperty(EVT_HANDLE config, EVT_CHANNEL_CONFIG_PROPERTY_ID property,
                        ByteBuffer& buffer) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::GetChannelProperty");
    DWORD used = 0;
    // The sizing call's expected failure is no HRES: that would capture its callers.
    if (EvtGetChannelConfigProperty(config, property, 0, 0, nullptr, &used)) {
        return S_OK;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return ApiResult{FALSE};
    }
    ByteBuffer filled(used);
    const HRES result = ApiResult{EvtGetChannelConfigProperty(
        config, property, 0, used, reinterpret_cast<PEVT_VARIANT>(filled.data()), &used)};
    if (result.Failed()) {
        LOG_FAILURE(L"EventsApiUtils::GetChannelProperty",
                    L"GetChannelProperty failed due to: " << result);
        return result;
    }
    buffer = std::move(filled);
    return S_OK;
}

std::vector<std::wstring> GetChannelsPublishers(const std::wstring& channel) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::GetChannelsPublishers");
    const SmartHandle config = GetChannelConfigHandle(channel);
    ByteBuffer buffer;
    const HRES result = GetChannelProperty(*config, EvtChannelPublisherList, buffer);
    if (result.Failed()) {
        LOG_FAILURE(L"EventsApiUtils::GetChannelsPublishers",
                    L"GetChannelsPublishers failed due to: " << result);
        return {};
    }
    std::vector<std::wstring> publishers;
    if (buffer.size() < sizeof(EVT_VARIANT)) {
        return publishers;
    }
    const auto& list = *reinterpret_cast<const EVT_VARIANT*>(buffer.data());
    if (list.Type != (EvtVarTypeString | EVT_VARIANT_TYPE_ARRAY) || list.StringArr == nullptr) {
        return publishers;
    }
    publishers.reserve(list.Count);
    for (DWORD i = 0; i < list.Count; ++i) {
        const wchar_t* name = list.StringArr[i];
        publishers.emplace_back(name != nullptr ? name : L"");
    }
    return publishers;
}

SmartHandle CreateRenderContext(DWORD flags, LPCWSTR* paths, DWORD pathCount) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::CreateRenderContext");
    return CheckedEvtHandle(EvtCreateRenderContext(paths != nullptr ? pathCount : 0, paths, flags));
}

bool IsPartialMessage(HRESULT code) noexcept {
    return code == HR_UNRESOLVED_VALUE_INSERT ||
           code == HresultFromWin32(ERROR_EVT_UNRESOLVED_PARAMETER_INSERT) ||
           code == HresultFromWin32(ERROR_EVT_MAX_INSERTS_REACHED);
}

ByteBuffer RenderEvent(EVT_HANDLE context, EVT_HANDLE event) {
    ByteBuffer buffer;
    RenderEvent(context, event, buffer);
    return buffer;
}

DWORD RenderEvent(EVT_HANDLE context, EVT_HANDLE event, ByteBuffer& buffer) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::RenderEvent");
    // A buffer that held the previous event usually holds this one: the first call passes its
    // capacity (none for a new buffer, which makes it the sizing call).
    buffer.resize(buffer.capacity());
    DWORD used = 0;
    DWORD properties = 0;
    // The first call, and at most two with the size the call before reported: a success that
    // reports more than the buffer held has not rendered everything into it.
    constexpr int Attempts = 3;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        const BOOL ok =
            EvtRender(context, event, EvtRenderEventValues, static_cast<DWORD>(buffer.size()),
                      buffer.empty() ? nullptr : buffer.data(), &used, &properties);
        if (ok && used <= buffer.size()) {
            buffer.resize(used);
            return properties;
        }
        if (!ok && (attempt > 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER)) {
            buffer.clear();
            ThrowLastError();
        }
        buffer.resize(used);
    }
    buffer.clear();
    RaiseError(HresultFromWin32(ERROR_INSUFFICIENT_BUFFER));
}

HRES OpenPublisherMetadata(const std::wstring& provider, SmartHandle& metadata) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::OpenPublisherMetadata");
    const EVT_HANDLE handle = EvtOpenPublisherMetadata(nullptr, provider.c_str(), nullptr, 0, 0);
    HRES result;
    if (handle == nullptr) {
        const HRESULT code = HresultFromWin32(GetLastError());
        result = code < 0 ? code : E_FAIL;
        return result;
    }
    metadata = MakeSmartEvtHandle(handle);
    return result;
}

HRES FormatEventMessage(EVT_HANDLE metadata, EVT_HANDLE event, std::wstring& message) {
    const DWORD error = FormatEventMessageError(metadata, event, message);
    HRES result;
    if (error != ERROR_SUCCESS) {
        result = Win32Error{error};
    }
    return result;
}

DWORD FormatEventMessageError(EVT_HANDLE metadata, EVT_HANDLE event, std::wstring& message) {
    // Traced under the name of the function that returns an HRES: both make the same call.
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::FormatEventMessage");
    // The thread's buffer keeps the room of the longest message it held (128 characters at
    // first): one call where sizing takes two, for every message of a page but the longer ones.
    constexpr size_t FirstSize = 128;
    struct MessageRoom {
        std::wstring text;
    };
    std::optional<MessageRoom> spare;
    std::wstring& buffer = Base::ThreadRoom(spare).text;
    if (buffer.size() < FirstSize) {
        buffer.resize(FirstSize);
    }
    auto capacity = static_cast<DWORD>(buffer.size());
    DWORD used = 0;
    BOOL ok = EvtFormatMessage(metadata, event, 0, 0, nullptr, EvtFormatMessageEvent, capacity,
                               buffer.data(), &used);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    // A message longer than the buffer: asked for with its size, whether the call said so with
    // ERROR_INSUFFICIENT_BUFFER, with an insert error (the buffer then unwritten), or with a
    // success and a truncated copy.
    const bool sizeReported =
        ok || error == ERROR_INSUFFICIENT_BUFFER || IsPartialMessage(HresultFromWin32(error));
    if (sizeReported && used > capacity) {
        buffer.resize(used);
        capacity = used;
        ok = EvtFormatMessage(metadata, event, 0, 0, nullptr, EvtFormatMessageEvent, capacity,
                              buffer.data(), &used);
        error = ok ? ERROR_SUCCESS : GetLastError();
    }
    // The size a call reports after filling a buffer of the size asked for is not trusted (some
    // builds report more than they wrote): the text ends at its terminating null.
    if (ok || IsPartialMessage(HresultFromWin32(error))) {
        const std::wstring_view text(buffer.data(), capacity);
        message.assign(text.substr(0, text.find(L'\0')));
    }
    if (!ok) {
        return error != ERROR_SUCCESS ? error : static_cast<DWORD>(E_FAIL);
    }
    return ERROR_SUCCESS;
}

std::wstring GetExtendedStatus() {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::GetExtendedStatus");
    constexpr DWORD FirstSize = 128;
    std::wstring text(FirstSize, L'\0');
    DWORD tried = FirstSize;
    DWORD used = 0;
    DWORD result = EvtGetExtendedStatus(tried, text.data(), &used);
    while ((result == ERROR_INSUFFICIENT_BUFFER || result == ERROR_MORE_DATA) && used > tried) {
        tried = used;
        text.assign(tried, L'\0');
        result = EvtGetExtendedStatus(tried, text.data(), &used);
    }
    if (result == ERROR_SUCCESS) {
        text.resize(std::min<size_t>(used > 0 ? used - 1 : 0, text.size()));
    } else {
        HRES failure;
        failure = Win32Error{result};
        LOG_AT(LOG_ERR, L"Get extended status info failed due to: " << failure);
    }
    // What a failed call left is normally nothing: the text ends at its first null.
    text.resize(std::wcslen(text.c_str()));
    return text;
}

SmartHandle MakeQuery(const std::wstring& channel, const std::wstring& query, DWORD flags) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::MakeQuery");
    const EVT_HANDLE resultSet =
        EvtQuery(nullptr, channel.c_str(), query.c_str(), flags | EvtQueryChannelPath);
    if (resultSet == nullptr) {
        ThrowWithExtendedStatus(L"Event Query failed due to: [");
    }
    return MakeSmartEvtHandle(resultSet);
}

SmartHandle GetNextData(EVT_HANDLE resultSet, DWORD timeoutMs) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::GetNextData");
    EVT_HANDLE event = nullptr;
    DWORD returned = 0;
    const BOOL ok = EvtNext(resultSet, 1, &event, timeoutMs, 0, &returned);
    const HRES result = ApiResult{ok};
    // Owned before anything can throw, whatever the call reported.
    SmartHandle owned = returned > 0 && event != nullptr ? MakeSmartEvtHandle(event) : nullptr;
    ThrowIfFailed(result);
    if (!owned) {
        RaiseError(E_UNEXPECTED);
    }
    return owned;
}

namespace {

// The next batch's raw handles, after the cancellation check (whose failure is returned without
// an API call).
HRES NextHandles(EVT_HANDLE resultSet, DWORD count, DWORD timeoutMs,
                 std::vector<EVT_HANDLE>& handles, RequestCancellation& cancellation) {
    handles.clear();
    if (cancellation.IsCancelled()) {
        HRES cancelled;
        cancelled = Win32Error{RPC_S_CALL_CANCELLED};
        return cancelled;
    }
    handles.resize(count, nullptr);
    DWORD returned = 0;
    const HRES result =
        ApiResult{EvtNext(resultSet, count, handles.data(), timeoutMs, 0, &returned)};
    handles.resize(std::min<DWORD>(returned, count));
    return result;
}

// Closes handles that are counted rather than handed out, as their boxes would close them: a
// failure is logged, and the thread's last error is kept.
void CloseCounted(const std::vector<EVT_HANDLE>& handles) noexcept {
    const DWORD lastError = GetLastError();
    for (const EVT_HANDLE handle : handles) {
        if (handle != nullptr && !EvtClose(handle)) {
            const HRES failure = ApiResult{FALSE};
            LOG_AT(LOG_ERR, L"Close evt_handle failed due to: " << failure);
        }
    }
    SetLastError(lastError);
}

} // namespace

HRES GetNextData(EVT_HANDLE resultSet, DWORD count, DWORD timeoutMs, SmartEvtVector& events,
                 RequestCancellation& cancellation) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::GetNextData");
    std::vector<EVT_HANDLE> handles;
    const HRES result = NextHandles(resultSet, count, timeoutMs, handles, cancellation);
    // The handles are owned whatever the result; only a success or a time-out hands them out.
    SmartEvtVector batch = MakeSmartEvtVector(handles);
    if (result.Succeeded() || result.Code() == HR_TIMEOUT) {
        events = std::move(batch);
    }
    return result;
}

HRES GetNextData(EVT_HANDLE resultSet, DWORD count, DWORD timeoutMs, SmartEvtVector& events) {
    RequestCancellation cancellation;
    return GetNextData(resultSet, count, timeoutMs, events, cancellation);
}

HRES CountNextData(EVT_HANDLE resultSet, DWORD count, DWORD timeoutMs, DWORD& returned,
                   RequestCancellation& cancellation) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::CountNextData");
    std::vector<EVT_HANDLE> handles;
    const HRES result = NextHandles(resultSet, count, timeoutMs, handles, cancellation);
    CloseCounted(handles);
    returned =
        result.Succeeded() || result.Code() == HR_TIMEOUT ? static_cast<DWORD>(handles.size()) : 0;
    return result;
}

SmartHandle CreateBookMark() {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::CreateBookMark");
    return CheckedEvtHandle(EvtCreateBookmark(nullptr));
}

HRES UpdateBookMark(EVT_HANDLE bookmark, EVT_HANDLE event) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::UpdateBookMark");
    return ApiResult{EvtUpdateBookmark(bookmark, event)};
}

HRES Seek(EVT_HANDLE resultSet, EVT_HANDLE bookmark, int64_t offset) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::Seek");
    return ApiResult{EvtSeek(resultSet, offset, bookmark, 0, EvtSeekRelativeToBookmark)};
}

HRES SeekFromFirst(EVT_HANDLE resultSet, int64_t offset) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::SeekFromFirst");
    return ApiResult{EvtSeek(resultSet, offset, nullptr, 0, EvtSeekRelativeToFirst)};
}

SmartHandle Subscribe(EVT_SUBSCRIBE_CALLBACK callback, void* context, const std::wstring& channel,
                      const std::wstring& query, DWORD flags) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::Subscribe");
    const EVT_HANDLE subscription = EvtSubscribe(nullptr, nullptr, channel.c_str(), query.c_str(),
                                                 nullptr, context, callback, flags);
    if (subscription == nullptr) {
        ThrowWithExtendedStatus(L"Event subscribe failed due to: [");
    }
    return MakeSmartEvtHandle(subscription);
}

SmartHandle MakeSignalEvent() {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::MakeSignalEvent");
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        ThrowLastError();
    }
    return MakeSmartHandle(event);
}

SmartHandle OpenEventLogFile(const std::wstring& channel) {
    // OpenEventLogW opens Application for a name it has no classic log of: a channel is opened
    // only when its configuration says it has a classic view.
    ByteBuffer classic;
    ThrowIfFailed(GetChannelProperty(*GetChannelConfigHandle(channel),
                                     EvtChannelConfigClassicEventlog, classic));
    if (classic.size() < sizeof(EVT_VARIANT) ||
        reinterpret_cast<const EVT_VARIANT*>(classic.data())->Type != EvtVarTypeBoolean ||
        !reinterpret_cast<const EVT_VARIANT*>(classic.data())->BooleanVal) {
        RaiseError(HresultFromWin32(ERROR_FILE_NOT_FOUND));
    }
    const HANDLE eventLog = OpenEventLogW(nullptr, channel.c_str());
    if (eventLog == nullptr) {
        ThrowLastError();
    }
    return MakeSmartEventLogHandle(eventLog);
}

uint32_t GetEventLogRecordsNumber(HANDLE eventLog) {
    DWORD count = 0;
    if (!GetNumberOfEventLogRecords(eventLog, &count)) {
        ThrowLastError();
    }
    return count;
}

ByteBuffer ReadEventFromLog(HANDLE eventLog, uint32_t recordNumber) {
    ByteBuffer buffer;
    ReadEventFromLog(eventLog, recordNumber, EVENTLOG_FORWARDS_READ, 0, buffer);
    return buffer;
}

void ReadEventFromLog(HANDLE eventLog, uint32_t recordNumber, DWORD direction, size_t room,
                      ByteBuffer& buffer) {
    if (eventLog == nullptr) {
        LOG_FAILURE(L"EventsApiUtils::ReadEventFromLog", L"Invalide event log handle.");
        RaiseError(HresultFromWin32(ERROR_INVALID_DATA));
    }
    const DWORD flags = EVENTLOG_SEEK_READ | direction;
    buffer.resize(std::max<size_t>(room, 1));
    DWORD read = 0;
    DWORD needed = 0;
    if (ReadEventLogW(eventLog, flags, recordNumber, buffer.data(),
                      static_cast<DWORD>(buffer.size()), &read, &needed)) {
        // A success that reads nothing leaves one byte, too short for a record, as a first read
        // of one byte would.
        buffer.resize(read > 0 ? std::min<size_t>(read, buffer.size()) : 1);
    } else {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            ThrowLastError();
        }
        buffer.resize(needed);
        if (!ReadEventLogW(eventLog, flags, recordNumber, buffer.data(), needed, &read, &needed)) {
            ThrowLastError();
        }
        buffer.resize(std::min<size_t>(read, buffer.size()));
    }
    if (!buffer.empty()) {
        // A buffer too short for the field counts as a record numbered 0.
        DWORD numberRead = 0;
        if (buffer.size() >= offsetof(EVENTLOGRECORD, RecordNumber) + sizeof(DWORD)) {
            std::memcpy(&numberRead, buffer.data() + offsetof(EVENTLOGRECORD, RecordNumber),
                        sizeof(DWORD));
        }
        if (numberRead != recordNumber) {
            LOG_FAILURE(L"EventsApiUtils::ReadEventFromLog", L"Invalide event number readed: "
                                                                 << numberRead << L" must be: "
                                                                 << recordNumber);
            RaiseError(HR_NOT_FOUND);
        }
    }
}

bool RequestCancellation::IsCancelled() {
    using namespace Halyard::Interfaces;
    if (!m_found) {
        const Base::ComPtr<IRequestContextMgr> manager =
            Components::GetNamedInstance<IRequestContextMgr>(L"Core.RequestContextMgr",
                                                             IID_RequestContextMgr);
        Base::ComPtr<IRequestContext> context;
        ThrowIfFailed(manager->GetCurrentContext(0, context.ReleaseAndGetAddressOf()));
        if (context) {
            ThrowIfFailed(context->GetCancellation(m_cancellation.ReleaseAndGetAddressOf()));
            if (!m_cancellation) {
                RaiseError(E_UNEXPECTED);
            }
        }
        m_found = true;
    }
    if (!m_cancellation) {
        return false;
    }
    bool cancelled = false;
    ThrowIfFailed(m_cancellation->IsCancelled(&cancelled));
    return cancelled;
}

} // namespace EventsApiUtils

namespace Halyard {

EventsApiUtils::SmartHandle GetEventLog(const std::wstring& channel) {
    try {
        return EventsApiUtils::OpenEventLogFile(channel);
    } catch (const HRX& failure) {
        LOG_FAILURE(L"Halyard::`anonymous-namespace'::GetEventLog",
                    L"Open event log fieled due to: " << failure);
        return nullptr;
    }
}

uint32_t GetEventsCount(const std::wstring& channel) {
    try {
        const EventsApiUtils::SmartHandle eventLog = EventsApiUtils::OpenEventLogFile(channel);
        return EventsApiUtils::GetEventLogRecordsNumber(*eventLog);
    } catch (const HRX& failure) {
        LOG_FAILURE(L"Halyard::`anonymous-namespace'::GetEventsCount", failure);
        return 0;
    }
}

} // namespace Halyard
