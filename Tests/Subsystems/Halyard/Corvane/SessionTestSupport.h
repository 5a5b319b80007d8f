// Helpers of the tests of paged queries and sessions: a store of the process's own (tests write
// events into it), filter sets, page requests and the pages they give, and the channel's events
// newest first as the oracle pages are compared with.
#pragma once

#include "EventLogTestSupport.h"
#include "Halyard/Corvane/EventLogFilterSerialiser.h"
#include "Halyard/Corvane/EvtVariantUtils.h"
#include "ProcessStore.h"
#include "Support/CorvaneRequests.h"

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace SessionTesting {

namespace fs = std::filesystem;
using namespace CorvaneRequests;

// Chosen after the event-log tests' store (defined before this in every file).
inline const ProcessStore TheProcessStore;

// The serialized filter node of a filter set (null: none).
inline EkNodePtr Serialized(const std::wstring& channel, const EkNodePtr& filters) {
    Halyard::EventLogFilterSerialiser::Serrializer serializer(channel, filters);
    return serializer.Serialize();
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

// Reports one event of a source through ReportEventW (its channel is the one the store's
// publishers declare for it).
inline void WriteEvent(const wchar_t* source, WORD type, DWORD id,
                       std::initializer_list<LPCWSTR> strings = {}) {
    const HANDLE handle = RegisterEventSourceW(nullptr, source);
    ASSERT_NE(handle, nullptr);
    std::vector<LPCWSTR> texts(strings);
    EXPECT_TRUE(ReportEventW(handle, type, 0, id, nullptr, static_cast<WORD>(texts.size()), 0,
                             texts.empty() ? nullptr : texts.data(), nullptr));
    DeregisterEventSource(handle);
}

// Reports `count` events of a source, each with two insertion strings.
inline void WriteEvents(const wchar_t* source, WORD type, int count) {
    for (int i = 0; i < count; ++i) {
        const std::wstring text = L"written " + std::to_wstring(i);
        WriteEvent(source, type, 0x40000064, {text.c_str(), L"second"});
    }
}

} // namespace SessionTesting
