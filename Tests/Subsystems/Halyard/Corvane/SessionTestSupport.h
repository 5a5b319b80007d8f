// Helpers of the tests of paged queries and sessions: a store of the process's own (tests write
// events into it), filter sets, page requests and the pages they give, and the channel's events
// newest first as the oracle pages are compared with.
#pragma once

#include "EventLogTestSupport.h"
#include "Halyard/Corvane/EventLogFilterSerialiser.h"
#include "Halyard/Corvane/EvtVariantUtils.h"
#include "ProcessStore.h"

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace SessionTesting {

namespace fs = std::filesystem;

// Chosen after the event-log tests' store (defined before this in every file).
inline const ProcessStore TheProcessStore;

inline EkNodePtr Node(const wchar_t* name, const wchar_t* type = nullptr) {
    return EkNodePtr::CreateNode(name, type);
}

// A filter set ("Filters") holding the given filter nodes.
inline EkNodePtr Filters(std::initializer_list<EkNodePtr> children) {
    const EkNodePtr filters = Node(L"Filters");
    for (const EkNodePtr& child : children) {
        filters.AddChild(child);
    }
    return filters;
}

// A filter node of `type` with one list attribute.
inline EkNodePtr ListFilter(const wchar_t* type, const wchar_t* attribute,
                            const std::vector<std::wstring>& values) {
    const EkNodePtr filter = Node(nullptr, type);
    filter.SetAttribute(attribute, values);
    return filter;
}

inline EkNodePtr SearchFilter(const wchar_t* text) {
    const EkNodePtr filter = Node(nullptr, L"SearchFilter");
    filter.SetAttribute(L"SearchString", text);
    return filter;
}

// The serialized filter node of a filter set (null: none).
inline EkNodePtr Serialized(const std::wstring& channel, const EkNodePtr& filters) {
    Halyard::EventLogFilterSerialiser::Serrializer serializer(channel, filters);
    return serializer.Serialize();
}

// A continuation mark as a client first sends it; a view time when given.
inline EkNodePtr NewMark(int64_t count, const GUID* id = nullptr,
                         const std::wstring& firstEventTime = {}) {
    const EkNodePtr mark = Node(L"ContinuationMark");
    if (id != nullptr) {
        mark.SetAttribute(L"SessionId", *id);
    }
    mark.SetAttribute(L"Position", int64_t{0});
    mark.SetAttribute(L"Count", count);
    if (!firstEventTime.empty()) {
        mark.SetAttribute(L"FirstEventTime", firstEventTime);
    }
    return mark;
}

// A page request with a copy of the mark; filters when given.
inline EkNodePtr PageRequest(const EkNodePtr& mark, uint32_t direction, int64_t count,
                             const EkNodePtr& filters = {}) {
    const EkNodePtr request = Node(L"GetDataRequest");
    request.SetAttribute(L"Direction", static_cast<int32_t>(direction));
    request.SetAttribute(L"EventsCount", count);
    request.AddChild(mark.CloneNode());
    if (filters) {
        request.AddChild(filters.CloneNode());
    }
    return request;
}

// What a page response holds.
struct Page {
    EkNodePtr mark;
    EkNodePtr events;
    std::vector<uint64_t> records;
    int64_t currentPage = 0;
    bool isFront = false;
    bool isBack = false;

    explicit Page(const EkNodePtr& response) {
        EXPECT_EQ(response.GetChildCount(), 2u);
        mark = response.GetChildByIndex(0);
        events = response.GetChildByIndex(1);
        EXPECT_EQ(mark.GetNodeName(), L"ContinuationMark");
        EXPECT_EQ(events.GetNodeName(), L"Events");
        ForEachChild(events, [&](const EkNodePtr& event) {
            EXPECT_EQ(event.GetNodeType(), L"EventInfo");
            records.push_back(static_cast<uint64_t>(event.GetInt64(L"RecordId")));
        });
        currentPage = events.GetInt64(L"CurrentPage");
        isFront = events.GetBool(L"IsFront");
        isBack = events.GetBool(L"IsBack");
    }
};

// Record numbers of the events of a query on a channel, newest first.
inline std::vector<uint64_t> NewestFirst(const std::wstring& path, const wchar_t* query = L"*",
                                         DWORD pathFlag = EvtQueryChannelPath) {
    const EventLogTesting::QueriedEvents all =
        EventLogTesting::AllEvents(path, pathFlag | EvtQueryReverseDirection, query);
    const EventsApiUtils::SmartHandle context =
        EventsApiUtils::CreateRenderContext(EvtRenderContextSystem, nullptr, 0);
    std::vector<uint64_t> records;
    EventsApiUtils::ByteBuffer values;
    for (const EventsApiUtils::SmartHandle& event : all.events) {
        EventsApiUtils::RenderEvent(*context, *event, values);
        records.push_back(
            reinterpret_cast<const EVT_VARIANT*>(values.data())[EvtSystemEventRecordId].UInt64Val);
    }
    return records;
}

// `count` records of `records` from `start`, fewer at the end.
inline std::vector<uint64_t> Slice(const std::vector<uint64_t>& records, size_t start,
                                   size_t count) {
    start = std::min(start, records.size());
    return {records.begin() + static_cast<std::ptrdiff_t>(start),
            records.begin() + static_cast<std::ptrdiff_t>(std::min(start + count, records.size()))};
}

// A view time: the present moved by `offset`, as a continuation mark carries it.
inline std::wstring ViewTime(std::chrono::seconds offset) {
    return Halyard::FormatUtcTime(std::chrono::system_clock::now() + offset);
}

// Reports `count` events of a source through ReportEventW (its channel is the one the store's
// publishers declare for it).
inline void WriteEvents(const wchar_t* source, WORD type, int count) {
    const HANDLE handle = RegisterEventSourceW(nullptr, source);
    ASSERT_NE(handle, nullptr);
    for (int i = 0; i < count; ++i) {
        const std::wstring text = L"written " + std::to_wstring(i);
        LPCWSTR strings[] = {text.c_str(), L"second"};
        ASSERT_TRUE(ReportEventW(handle, type, 0, 0x40000064, nullptr, 2, 0, strings, nullptr));
    }
    DeregisterEventSource(handle);
}

} // namespace SessionTesting
