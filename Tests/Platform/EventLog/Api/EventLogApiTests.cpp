#include "PalEventLog/Store/Store.h"
#include "Platform/EventLog/TestStore.h"
#include "Platform/Win32/TempDirectory.h"

#include "Win32/PalEventLogFaults.h"

#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

using namespace PalEventLog;
namespace fs = std::filesystem;

namespace {

// Application: records 1..10, level 2 on odd records, 4 on even ones, event id 1000 + record;
// record 3 has no EventData. System: records 100 and 101.
class EventLogApi : public ::testing::Test {
protected:
    void SetUp() override {
        std::string xml;
        for (int r = 1; r <= 10; ++r) {
            xml += Testing::EventXml(
                "Application", r, 1000 + r, r % 2 ? 2 : 4, r <= 5 ? "Alpha" : "Beta",
                "2024-01-0" + std::to_string(r % 9 + 1) + "T00:00:00.0000000Z",
                r == 3 ? "" : "<Data>first" + std::to_string(r) + "</Data><Data>second</Data>",
                r == 1 ? "<Security UserID='S-1-5-18'/>" : "");
        }
        xml += Testing::EventXml("System", 100, 7, 4, "Sys", "2024-01-01T00:00:00Z", "");
        xml += Testing::EventXml("System", 101, 8, 4, "Sys", "2024-01-01T00:00:00Z", "");
        xml += "<Event><System><Provider Name='Ops'/><EventID>3</EventID><Level>4</Level>"
               "<Keywords>0xa0000000000001</Keywords><EventRecordID>1</EventRecordID>"
               "<Channel>Ops/Operational</Channel><Computer>c</Computer></System><UserData>"
               "<Session xmlns='urn:s'><Id>42</Id><User>alice</User></Session></UserData>"
               "</Event>\n";
        std::ofstream(m_folder / "events.xml") << xml;
        std::ofstream(m_folder / "publishers.xml")
            << "<Publishers><Publisher Name='Alpha'><Channel Name='Application'/>"
               "<Message EventId='1001'>Alpha %1 then %2</Message>"
               "<Message EventId='1002'>Needs %3</Message></Publisher>"
               "<Publisher Name='Ops'><Channel Name='Ops/Operational'/>"
               "<Message EventId='3'>Session %1 of %2</Message><Task Value='0' Name='Sessions'/>"
               "<Keyword Mask='0x1' Name='Lifecycle'/></Publisher></Publishers>";
        SetGlobalStore(Store::Open(m_folder, nullptr));
    }
    void TearDown() override { SetGlobalStore(nullptr); }

    static std::vector<EVT_HANDLE> Next(EVT_HANDLE rs, DWORD count) {
        std::vector<EVT_HANDLE> events(count);
        DWORD returned = 99;
        if (!EvtNext(rs, count, events.data(), INFINITE, 0, &returned)) {
            EXPECT_EQ(returned, 0u);
            return {};
        }
        events.resize(returned);
        return events;
    }
    // Record ids of the next `count` events, closing their handles.
    static std::vector<uint64_t> Records(EVT_HANDLE rs, DWORD count) {
        std::vector<uint64_t> ids;
        for (EVT_HANDLE e : Next(rs, count)) {
            ids.push_back(Testing::RecordIdOf(e));
            EvtClose(e);
        }
        return ids;
    }
    static std::wstring ExtendedStatus() {
        wchar_t buffer[512];
        DWORD used = 0;
        EvtGetExtendedStatus(512, buffer, &used);
        return buffer;
    }

    TempDirectory m_temp;
    const fs::path& m_folder = m_temp.Path();
};

using Ids = std::vector<uint64_t>;

TEST_F(EventLogApi, QueriesReadBothDirectionsInBatches) {
    EVT_HANDLE forward = EvtQuery(nullptr, L"Application", L"*[System[Level=2]]",
                                  EvtQueryChannelPath | EvtQueryForwardDirection);
    ASSERT_NE(forward, nullptr);
    EXPECT_EQ(Records(forward, 2), (Ids{1, 3}));
    EXPECT_EQ(Records(forward, 10), (Ids{5, 7, 9})); // a partial batch is a success
    DWORD returned = 5;
    EVT_HANDLE events[4];
    EXPECT_FALSE(EvtNext(forward, 4, events, 0, 0, &returned));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(EvtClose(forward));

    EVT_HANDLE reverse =
        EvtQuery(nullptr, L"Application", nullptr, EvtQueryChannelPath | EvtQueryReverseDirection);
    ASSERT_NE(reverse, nullptr);
    EXPECT_EQ(Records(reverse, 3), (Ids{10, 9, 8}));
    EvtClose(reverse);
}

TEST_F(EventLogApi, StructuredQueriesUnionTheirQueries) {
    EVT_HANDLE rs =
        EvtQuery(nullptr, nullptr,
                 L"<QueryList><Query Id='0' Path='Application'><Select>*[System[Level=4]]</Select>"
                 L"<Suppress>*[System[EventRecordID&gt;6]]</Suppress>"
                 L"<Suppress Path='System'>*</Suppress></Query>"
                 L"<Query Id='1' Path='System'><Select>*</Select></Query></QueryList>",
                 EvtQueryChannelPath);
    ASSERT_NE(rs, nullptr) << Base::Utf8FromWide(ExtendedStatus());
    EXPECT_EQ(Records(rs, 10), (Ids{2, 4, 6, 100, 101}));
    EvtClose(rs);
}

TEST_F(EventLogApi, QueryFailuresSetCodesAndExtendedStatus) {
    EXPECT_EQ(EvtQuery(nullptr, L"Application", L"*[System[Level=]]", EvtQueryChannelPath),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_EVT_INVALID_QUERY);
    EXPECT_FALSE(ExtendedStatus().empty());
    EXPECT_EQ(EvtQuery(nullptr, L"NoSuchChannel", L"*", EvtQueryChannelPath), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_EVT_CHANNEL_NOT_FOUND);
    EXPECT_NE(ExtendedStatus().find(L"NoSuchChannel"), std::wstring::npos);
    // The status is the calling thread's own, sized with its NUL.
    std::wstring other = L"unset";
    std::thread([&] { other = ExtendedStatus(); }).join();
    EXPECT_EQ(other, L"");
    DWORD used = 0;
    EXPECT_EQ(EvtGetExtendedStatus(0, nullptr, &used), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(used, ExtendedStatus().size() + 1);
    EXPECT_EQ(EvtQuery(nullptr, L"Application",
                       L"<QueryList><Query><Select>*[a<b]</Select></Query></QueryList>",
                       EvtQueryChannelPath),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_EVT_MALFORMED_XML_TEXT);
    EVT_HANDLE tolerant = EvtQuery(nullptr, nullptr,
                                   L"<QueryList><Query Id='0'><Select Path='Nope'>*</Select>"
                                   L"<Select Path='System'>*</Select></Query></QueryList>",
                                   EvtQueryChannelPath | EvtQueryTolerateQueryErrors);
    ASSERT_NE(tolerant, nullptr);
    EXPECT_EQ(Records(tolerant, 5), (Ids{100, 101}));
    EvtClose(tolerant);
}

// Each seek, in turn, and the record read after it (records 1, 3, 5, 7, 9): a seek past either
// end clamps to it.
TEST_F(EventLogApi, SeekClampsAndStrictFails) {
    EVT_HANDLE rs = EvtQuery(nullptr, L"Application", L"*[System[Level=2]]", EvtQueryChannelPath);
    const struct {
        int64_t offset;
        DWORD origin;
        Ids read;
    } seeks[] = {{2, EvtSeekRelativeToFirst, {5}},
                 {-1, EvtSeekRelativeToLast, {7}},
                 {-1, EvtSeekRelativeToCurrent, {5}},
                 {100, EvtSeekRelativeToFirst, {}},
                 {-100, EvtSeekRelativeToLast, {1}}};
    for (const auto& seek : seeks) {
        ASSERT_TRUE(EvtSeek(rs, seek.offset, nullptr, 0, seek.origin));
        EXPECT_EQ(Records(rs, 1), seek.read) << seek.offset << " from " << seek.origin;
    }
    EXPECT_FALSE(EvtSeek(rs, 100, nullptr, 0, EvtSeekRelativeToFirst | EvtSeekStrict));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_FALSE(EvtSeek(rs, -1, nullptr, 0, EvtSeekRelativeToFirst));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EvtClose(rs);
}

TEST_F(EventLogApi, SeekRelativeToBookmark) {
    Testing::Closing close;
    EVT_HANDLE all = close(
        EvtQuery(nullptr, L"Application", nullptr, EvtQueryChannelPath | EvtQueryReverseDirection));
    EVT_HANDLE odd = close(EvtQuery(nullptr, L"Application", L"*[System[Level=2]]",
                                    EvtQueryChannelPath | EvtQueryReverseDirection));
    // Bookmark record 6 (not in the odd result set).
    ASSERT_TRUE(EvtSeek(all, 4, nullptr, 0, EvtSeekRelativeToFirst));
    const std::vector<EVT_HANDLE> six = close(Next(all, 1));
    ASSERT_EQ(six.size(), 1u);
    EVT_HANDLE mark = close(EvtCreateBookmark(nullptr));
    ASSERT_TRUE(EvtUpdateBookmark(mark, six[0]));
    // In the result set: offset 0 is the bookmarked event itself.
    ASSERT_TRUE(EvtSeek(all, 0, mark, 0, EvtSeekRelativeToBookmark));
    EXPECT_EQ(Records(all, 1), (Ids{6}));
    ASSERT_TRUE(EvtSeek(all, 2, mark, 0, EvtSeekRelativeToBookmark));
    EXPECT_EQ(Records(all, 1), (Ids{4}));
    // Missing from the result set: 0 and 1 land on the next record in result order, -1 on the
    // one before, 2 on the one after next.
    for (const auto& [offset, record] : {std::pair{0, 5u}, {1, 5u}, {-1, 7u}, {2, 3u}}) {
        ASSERT_TRUE(EvtSeek(odd, offset, mark, 0, EvtSeekRelativeToBookmark));
        EXPECT_EQ(Records(odd, 1), (Ids{record})) << offset;
    }
    EXPECT_FALSE(EvtSeek(odd, 0, mark, 0, EvtSeekRelativeToBookmark | EvtSeekStrict));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
}

// A seek from a bookmark lands where it lands in a fresh result set, whatever was read and sought
// before (the result set walks from its cursor when that is nearer than the bookmark).
TEST_F(EventLogApi, BookmarkSeeksDoNotDependOnWhatCameBefore) {
    for (const wchar_t* query : {L"*", L"*[System[Level=2]]"}) {
        for (const DWORD direction :
             {DWORD{EvtQueryForwardDirection}, DWORD{EvtQueryReverseDirection}}) {
            const DWORD flags = EvtQueryChannelPath | direction;
            Testing::Closing close;
            EVT_HANDLE rs = close(EvtQuery(nullptr, L"Application", query, flags));
            const std::vector<EVT_HANDLE> first = close(Next(rs, 2));
            ASSERT_EQ(first.size(), 2u);
            EVT_HANDLE mark = close(EvtCreateBookmark(nullptr));
            ASSERT_TRUE(EvtUpdateBookmark(mark, first[1]));
            uint32_t random = 7;
            for (int step = 0; step < 200; ++step) {
                random = random * 1103515245u + 12345u;
                const int64_t offset = static_cast<int64_t>((random >> 8) % 14) - 3;
                const DWORD count = (random >> 4) % 4 + 1;
                ASSERT_TRUE(EvtSeek(rs, offset, mark, 0, EvtSeekRelativeToBookmark));
                EVT_HANDLE fresh = close(EvtQuery(nullptr, L"Application", query, flags));
                ASSERT_TRUE(EvtSeek(fresh, offset, mark, 0, EvtSeekRelativeToBookmark));
                EXPECT_EQ(Records(rs, count), Records(fresh, count))
                    << "offset " << offset << " step " << step;
            }
        }
    }
}

TEST_F(EventLogApi, BookmarkXmlIsByteExact) {
    const auto render = [](EVT_HANDLE mark) {
        return Testing::RenderedText(mark, EvtRenderBookmark);
    };
    Testing::Closing close;
    EVT_HANDLE mark = close(EvtCreateBookmark(nullptr));
    EXPECT_EQ(render(mark), L"<BookmarkList>\r\n</BookmarkList>");
    EVT_HANDLE rs = close(EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath));
    auto events = close(Next(rs, 2));
    ASSERT_TRUE(EvtUpdateBookmark(mark, events[1]));
    const std::wstring xml = render(mark);
    EXPECT_EQ(xml, L"<BookmarkList>\r\n  <Bookmark Channel='Application' RecordId='2' "
                   L"IsCurrent='true'/>\r\n</BookmarkList>");
    EVT_HANDLE copy = close(EvtCreateBookmark(
        L"<BookmarkList><Bookmark Channel='Application' RecordId='2' IsCurrent='true'/>"
        L"</BookmarkList>"));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(render(copy), xml);
    EXPECT_EQ(EvtCreateBookmark(L"<BookmarkList><Bookmark"), nullptr);
}

TEST_F(EventLogApi, SystemRenderHasTypedVariantsInTheCallersBuffer) {
    Testing::Closing close;
    EVT_HANDLE rs = close(EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath));
    auto events = close(Next(rs, 2));
    EVT_HANDLE context = close(EvtCreateRenderContext(5, nullptr, EvtRenderContextSystem));
    ASSERT_NE(context, nullptr);
    DWORD used = 0, count = 0;
    EXPECT_FALSE(EvtRender(context, events[0], EvtRenderEventValues, 0, nullptr, &used, &count));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(used, 18 * sizeof(EVT_VARIANT));
    std::vector<EVT_VARIANT> buffer(used / sizeof(EVT_VARIANT) + 1);
    ASSERT_TRUE(
        EvtRender(context, events[0], EvtRenderEventValues, used, buffer.data(), &used, &count));
    EXPECT_EQ(count, 18u);
    const EVT_VARIANT* v = buffer.data();
    const auto* begin = reinterpret_cast<const uint8_t*>(v);
    auto inside = [&](const void* p) {
        return p >= begin && static_cast<const uint8_t*>(p) < begin + used;
    };
    const std::pair<int, EVT_VARIANT_TYPE> types[] = {{EvtSystemProviderName, EvtVarTypeString},
                                                      {EvtSystemProviderGuid, EvtVarTypeNull},
                                                      {EvtSystemEventID, EvtVarTypeUInt16},
                                                      {EvtSystemQualifiers, EvtVarTypeUInt16},
                                                      {EvtSystemLevel, EvtVarTypeByte},
                                                      {EvtSystemKeywords, EvtVarTypeHexInt64},
                                                      {EvtSystemTimeCreated, EvtVarTypeFileTime},
                                                      {EvtSystemEventRecordId, EvtVarTypeUInt64},
                                                      {EvtSystemOpcode, EvtVarTypeNull},
                                                      {EvtSystemVersion, EvtVarTypeNull},
                                                      {EvtSystemUserID, EvtVarTypeSid}};
    for (const auto& [property, type] : types) {
        EXPECT_EQ(v[property].Type, static_cast<DWORD>(type)) << property;
    }
    EXPECT_STREQ(v[EvtSystemProviderName].StringVal, L"Alpha");
    EXPECT_TRUE(inside(v[EvtSystemProviderName].StringVal));
    EXPECT_EQ(v[EvtSystemEventID].UInt16Val, 1001);
    EXPECT_EQ(v[EvtSystemLevel].ByteVal, 2);
    EXPECT_EQ(v[EvtSystemKeywords].UInt64Val, 0x80000000000000ull);
    EXPECT_EQ(v[EvtSystemTimeCreated].FileTimeVal, *ParseSystemTime(L"2024-01-02T00:00:00Z"));
    EXPECT_TRUE(inside(v[EvtSystemUserID].SidVal));
    EXPECT_EQ(static_cast<const uint8_t*>(v[EvtSystemUserID].SidVal)[8], 18); // S-1-5-18
    EXPECT_STREQ(v[EvtSystemChannel].StringVal, L"Application");
    // The second event has no user.
    ASSERT_FALSE(
        EvtRender(context, events[1], EvtRenderEventValues, 16, buffer.data(), &used, &count));
    ASSERT_TRUE(
        EvtRender(context, events[1], EvtRenderEventValues, used, buffer.data(), &used, &count));
    EXPECT_EQ(buffer[EvtSystemUserID].Type, EvtVarTypeNull);
}

TEST_F(EventLogApi, ValuesRenderReturnsEventDataAsOneArray) {
    LPCWSTR paths[] = {L"Event/EventData/Data", L"Event/System/Provider/@Name",
                       L"Event/System/Level", L"Event/EventData/Data[2]"};
    Testing::Closing close;
    EVT_HANDLE context = close(EvtCreateRenderContext(4, paths, EvtRenderContextValues));
    ASSERT_NE(context, nullptr);
    EVT_HANDLE rs = close(EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath));
    auto events = close(Next(rs, 3));
    std::vector<EVT_VARIANT> buffer(64);
    DWORD used = 0, count = 0;
    ASSERT_TRUE(EvtRender(context, events[0], EvtRenderEventValues, 64 * sizeof(EVT_VARIANT),
                          buffer.data(), &used, &count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(buffer[0].Type, EvtVarTypeString | EVT_VARIANT_TYPE_ARRAY);
    ASSERT_EQ(buffer[0].Count, 2u);
    EXPECT_STREQ(buffer[0].StringArr[0], L"first1");
    EXPECT_STREQ(buffer[0].StringArr[1], L"second");
    EXPECT_STREQ(buffer[1].StringVal, L"Alpha");
    EXPECT_EQ(buffer[2].Type, EvtVarTypeByte);
    EXPECT_STREQ(buffer[3].StringVal, L"second");
    // Record 3 has no EventData: Null.
    ASSERT_TRUE(EvtRender(context, events[2], EvtRenderEventValues, 64 * sizeof(EVT_VARIANT),
                          buffer.data(), &used, &count));
    EXPECT_EQ(buffer[0].Type, EvtVarTypeNull);
    EXPECT_EQ(buffer[3].Type, EvtVarTypeNull);
    // The User context has one variant per value.
    EVT_HANDLE user = close(EvtCreateRenderContext(0, nullptr, EvtRenderContextUser));
    ASSERT_TRUE(EvtRender(user, events[1], EvtRenderEventValues, 64 * sizeof(EVT_VARIANT),
                          buffer.data(), &used, &count));
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(buffer[0].StringVal, L"first2");
    LPCWSTR bad[] = {L"Event/System["};
    EXPECT_EQ(EvtCreateRenderContext(1, bad, EvtRenderContextValues), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_EVT_INVALID_QUERY);
}

// Windows 11 renders 16 system properties; Windows batches fail above a byte limit; OpenEventLogW
// opens Application for a log without a classic view: each on request.
TEST_F(EventLogApi, WindowsBehavioursOnRequest) {
    Testing::Closing close;
    EVT_HANDLE rs = close(EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath));
    std::vector<EVT_HANDLE> events = close(Next(rs, 1));
    ASSERT_EQ(events.size(), 1u);
    PalEventLogSetBehaviour(PalSystemRender16, 1);
    EVT_HANDLE context = close(EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem));
    std::vector<EVT_VARIANT> buffer(64);
    DWORD used = 0;
    DWORD count = 0;
    ASSERT_TRUE(EvtRender(context, events[0], EvtRenderEventValues,
                          static_cast<DWORD>(buffer.size() * sizeof(EVT_VARIANT)), buffer.data(),
                          &used, &count));
    EXPECT_EQ(count, 16u);
    EXPECT_STREQ(buffer[EvtSystemComputer].StringVal, L"host1");
    // The strings follow the 16 variants: no room for a user or a version.
    EXPECT_EQ(static_cast<const void*>(buffer[EvtSystemProviderName].StringVal),
              static_cast<const void*>(&buffer[16]));

    // Batches of at most 4 KB of event XML: ten events are more, and the failed batch leaves the
    // result set after them; two, after a seek back, are handed out.
    PalEventLogSetBehaviour(PalNextByteLimit, 4096);
    EVT_HANDLE forward = close(EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath));
    std::vector<EVT_HANDLE> batch(10);
    DWORD returned = 99;
    EXPECT_FALSE(EvtNext(forward, 10, batch.data(), INFINITE, 0, &returned));
    EXPECT_EQ(GetLastError(), RPC_S_INVALID_BOUND);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(Records(forward, 1).empty());
    ASSERT_TRUE(EvtSeek(forward, 0, nullptr, 0, EvtSeekRelativeToFirst));
    EXPECT_EQ(Records(forward, 2), (Ids{1, 2}));

    EXPECT_EQ(OpenEventLogW(nullptr, L"Ops/Operational"), nullptr);
    PalEventLogSetBehaviour(PalOpenFallsBackToApplication, 1);
    const HANDLE application = OpenEventLogW(nullptr, L"Ops/Operational");
    ASSERT_NE(application, nullptr);
    DWORD records = 0;
    EXPECT_TRUE(GetNumberOfEventLogRecords(application, &records));
    EXPECT_EQ(records, 10u);
    PalEventLogClearFaults();
    CloseEventLog(application);
}

// A cleared log: result sets and classic handles opened before fail as Windows says; new ones
// see an empty log; other channels are untouched until they roll over.
TEST_F(EventLogApi, ClearedLogsMakeOpenResultSetsStale) {
    Testing::Closing close;
    EVT_HANDLE rs = close(
        EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath | EvtQueryReverseDirection));
    std::vector<EVT_HANDLE> events = close(Next(rs, 1));
    ASSERT_EQ(events.size(), 1u);
    EVT_HANDLE bookmark = close(EvtCreateBookmark(nullptr));
    ASSERT_TRUE(EvtUpdateBookmark(bookmark, events[0]));
    const HANDLE before = OpenEventLogW(nullptr, L"Application");
    ASSERT_NE(before, nullptr);
    EXPECT_FALSE(PalEventLogClearChannel(L"No/Such"));
    ASSERT_TRUE(PalEventLogClearChannel(L"Application"));

    EXPECT_TRUE(Next(rs, 1).empty());
    EXPECT_EQ(GetLastError(), ERROR_EVT_QUERY_RESULT_STALE);
    EXPECT_FALSE(EvtSeek(rs, 0, bookmark, 0, EvtSeekRelativeToBookmark));
    EXPECT_EQ(GetLastError(), ERROR_EVT_QUERY_RESULT_INVALID_POSITION);
    const DWORD seek = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
    EXPECT_TRUE(Testing::ClassicRead(before, seek, 5).empty());
    EXPECT_EQ(GetLastError(), ERROR_EVENTLOG_FILE_CHANGED);

    const HANDLE after = OpenEventLogW(nullptr, L"Application");
    DWORD records = 99;
    EXPECT_TRUE(GetNumberOfEventLogRecords(after, &records));
    EXPECT_EQ(records, 0u);
    EXPECT_TRUE(Testing::ClassicRead(after, seek, 5).empty());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (DWORD direction : {EvtQueryForwardDirection, EvtQueryReverseDirection}) {
        EXPECT_TRUE(
            Records(close(EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath | direction)),
                    10)
                .empty());
    }
    EVT_HANDLE system = close(EvtQuery(nullptr, L"System", L"*", EvtQueryChannelPath));
    EXPECT_EQ(Records(system, 10), (Ids{100, 101}));

    // A channel at its maximum size overwrites its oldest events: result sets go stale, classic
    // handles stay usable but the overwritten records are gone.
    PalEventLogSetBehaviour(PalChannelMaxEvents, 2);
    ASSERT_TRUE(GlobalStore()->Append(
        Testing::EventXml("System", 102, 9, 4, "Sys", "2024-01-01T00:00:00Z", "")));
    EXPECT_TRUE(Next(system, 1).empty());
    EXPECT_EQ(GetLastError(), ERROR_EVT_QUERY_RESULT_STALE);
    const HANDLE classicSystem = OpenEventLogW(nullptr, L"System");
    EXPECT_TRUE(Testing::ClassicRead(classicSystem, seek, 100).empty());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Testing::ClassicRead(classicSystem, seek, 101), (std::vector<DWORD>{101, 102}));
    EVT_HANDLE rolled = close(EvtQuery(nullptr, L"System", L"*", EvtQueryChannelPath));
    EXPECT_EQ(Records(rolled, 10), (Ids{101, 102}));
    PalEventLogClearFaults();
    CloseEventLog(before);
    CloseEventLog(after);
    CloseEventLog(classicSystem);
}

TEST_F(EventLogApi, FormatMessageFollowsTheBufferProtocol) {
    EVT_HANDLE metadata = EvtOpenPublisherMetadata(nullptr, L"Alpha", nullptr, 0, 0);
    ASSERT_NE(metadata, nullptr);
    EXPECT_EQ(EvtOpenPublisherMetadata(nullptr, L"Unknown", nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    Testing::Closing close;
    close(metadata);
    EVT_HANDLE rs = close(EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath));
    auto events = close(Next(rs, 3));
    DWORD used = 0;
    EXPECT_FALSE(EvtFormatMessage(metadata, events[0], 0, 0, nullptr, EvtFormatMessageEvent, 0,
                                  nullptr, &used));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(used, std::wstring(L"Alpha first1 then second").size() + 1);
    std::wstring text(used, L'\0');
    ASSERT_TRUE(EvtFormatMessage(metadata, events[0], 0, 0, nullptr, EvtFormatMessageEvent, used,
                                 text.data(), &used));
    EXPECT_STREQ(text.c_str(), L"Alpha first1 then second");
    // An unresolved insert: the buffer is filled, the call fails with 15029.
    text.assign(64, L'\0');
    EXPECT_FALSE(EvtFormatMessage(metadata, events[1], 0, 0, nullptr, EvtFormatMessageEvent, 64,
                                  text.data(), &used));
    EXPECT_EQ(GetLastError(), ERROR_EVT_UNRESOLVED_VALUE_INSERT);
    EXPECT_STREQ(text.c_str(), L"Needs %3");
    // As some Windows builds do: a short buffer gets a truncated copy and TRUE, and the insert
    // error in place of the size, the buffer then unwritten.
    PalEventLogSetBehaviour(PalFormatTruncates, 1);
    PalEventLogSetBehaviour(PalFormatSizingInsertError, 1);
    wchar_t shortBuffer[8] = L"unset";
    EXPECT_TRUE(EvtFormatMessage(metadata, events[0], 0, 0, nullptr, EvtFormatMessageEvent, 8,
                                 shortBuffer, &used));
    EXPECT_EQ(used, 25u);
    EXPECT_STREQ(shortBuffer, L"Alpha f");
    wcscpy(shortBuffer, L"unset");
    EXPECT_FALSE(EvtFormatMessage(metadata, events[1], 0, 0, nullptr, EvtFormatMessageEvent, 4,
                                  shortBuffer, &used));
    EXPECT_EQ(GetLastError(), ERROR_EVT_UNRESOLVED_VALUE_INSERT);
    EXPECT_EQ(used, 9u);
    EXPECT_STREQ(shortBuffer, L"unset");
    PalEventLogClearFaults();
    // No message for the event; an unknown message id.
    EXPECT_FALSE(EvtFormatMessage(metadata, events[2], 0, 0, nullptr, EvtFormatMessageEvent, 64,
                                  text.data(), &used));
    EXPECT_EQ(GetLastError(), ERROR_EVT_MESSAGE_NOT_FOUND);
    EXPECT_FALSE(EvtFormatMessage(metadata, nullptr, 77, 0, nullptr, EvtFormatMessageId, 64,
                                  text.data(), &used));
    EXPECT_EQ(GetLastError(), ERROR_EVT_MESSAGE_ID_NOT_FOUND);
    ASSERT_TRUE(EvtFormatMessage(metadata, events[0], 0, 0, nullptr, EvtFormatMessageLevel, 64,
                                 text.data(), &used));
    EXPECT_STREQ(text.c_str(), L"Error");
}

TEST_F(EventLogApi, ChannelConfigListsPublishers) {
    EXPECT_EQ(EvtOpenChannelConfig(nullptr, L"Nope", 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_EVT_CHANNEL_NOT_FOUND);
    EVT_HANDLE config = EvtOpenChannelConfig(nullptr, L"Application", 0);
    ASSERT_NE(config, nullptr);
    DWORD used = 0;
    EXPECT_FALSE(
        EvtGetChannelConfigProperty(config, EvtChannelPublisherList, 0, 0, nullptr, &used));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<EVT_VARIANT> buffer(used / sizeof(EVT_VARIANT) + 1);
    ASSERT_TRUE(EvtGetChannelConfigProperty(config, EvtChannelPublisherList, 0, used, buffer.data(),
                                            &used));
    EXPECT_EQ(buffer[0].Type, EvtVarTypeString | EVT_VARIANT_TYPE_ARRAY);
    ASSERT_EQ(buffer[0].Count, 2u);
    EXPECT_STREQ(buffer[0].StringArr[0], L"Alpha");
    EXPECT_STREQ(buffer[0].StringArr[1], L"Beta");
    ASSERT_TRUE(EvtGetChannelConfigProperty(config, EvtChannelConfigClassicEventlog, 0,
                                            sizeof(EVT_VARIANT), buffer.data(), &used));
    EXPECT_EQ(buffer[0].Type, EvtVarTypeBoolean);
    EXPECT_EQ(buffer[0].BooleanVal, TRUE);
    EvtClose(config);
}

TEST_F(EventLogApi, HandlesAreChecked) {
    EVT_HANDLE rs = EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath);
    auto events = Next(rs, 1);
    EVT_HANDLE bookmark = EvtCreateBookmark(nullptr);
    DWORD used = 0, count = 0, returned = 0;
    EVT_HANDLE out[1];
    // The wrong kind of handle.
    EXPECT_FALSE(EvtNext(bookmark, 1, out, 0, 0, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(EvtUpdateBookmark(rs, events[0]));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // Garbage.
    EVT_HANDLE garbage = reinterpret_cast<EVT_HANDLE>(static_cast<uintptr_t>(0x12345678));
    EXPECT_FALSE(EvtRender(nullptr, garbage, EvtRenderEventXml, 0, nullptr, &used, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(EvtClose(garbage));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // A live handle with any bit of its upper half changed is refused and stays open.
    for (int bit = 32; bit < 64; ++bit) {
        const auto forged = reinterpret_cast<EVT_HANDLE>(reinterpret_cast<uintptr_t>(bookmark) ^
                                                         (uintptr_t{1} << bit));
        EXPECT_FALSE(EvtNext(forged, 1, out, 0, 0, &returned)) << bit;
        EXPECT_FALSE(EvtUpdateBookmark(forged, events[0])) << bit;
        EXPECT_FALSE(EvtClose(forged)) << bit;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << bit;
    }
    EXPECT_TRUE(EvtUpdateBookmark(bookmark, events[0]));
    // A render context and publisher metadata that calls used are refused once closed, here or
    // by another thread, and a context made in a closed one's place is a handle of its own.
    std::vector<uint8_t> values(4096);
    wchar_t message[256];
    const auto render = [&](EVT_HANDLE context) {
        return EvtRender(context, events[0], EvtRenderEventValues,
                         static_cast<DWORD>(values.size()), values.data(), &used, &count);
    };
    const auto format = [&](EVT_HANDLE metadata) {
        return EvtFormatMessage(metadata, events[0], 0, 0, nullptr, EvtFormatMessageEvent,
                                std::size(message), message, &used);
    };
    EVT_HANDLE system = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
    EVT_HANDLE alpha = EvtOpenPublisherMetadata(nullptr, L"Alpha", nullptr, 0, 0);
    ASSERT_TRUE(render(system));
    ASSERT_TRUE(format(alpha));
    EXPECT_EQ(std::wstring(message), L"Alpha first1 then second");
    std::thread([&] { EXPECT_TRUE(EvtClose(alpha)); }).join();
    EXPECT_TRUE(EvtClose(system));
    EVT_HANDLE again = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
    EXPECT_FALSE(render(system));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(format(alpha));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(render(again));
    EXPECT_FALSE(render(system));
    EXPECT_TRUE(EvtClose(again));
    // Calls made after what a thread keeps is gone, from a thread-local destroyed after it (as a
    // static object's destructor at exit is), hold their own references and rooms, and closing an
    // object the thread kept frees it once.
    std::thread([&] {
        struct AtThreadEnd {
            std::function<void()> run;
            ~AtThreadEnd() { run(); }
        };
        thread_local AtThreadEnd last; // made before the thread's first lookup: destroyed after
        EVT_HANDLE context = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
        EVT_HANDLE metadata = EvtOpenPublisherMetadata(nullptr, L"Alpha", nullptr, 0, 0);
        EXPECT_TRUE(render(context));
        EXPECT_TRUE(format(metadata));
        last.run = [&, context, metadata] {
            EXPECT_TRUE(render(context));
            EXPECT_TRUE(format(metadata));
            EXPECT_TRUE(EvtClose(context));
            EXPECT_TRUE(EvtClose(metadata));
            EXPECT_FALSE(render(context)); // a failure, whose status has no room left
            EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        };
    }).join();
    // Closing a result set invalidates its events; closing twice fails.
    EXPECT_TRUE(EvtClose(rs));
    EXPECT_FALSE(EvtRender(nullptr, events[0], EvtRenderEventXml, 0, nullptr, &used, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(EvtClose(rs));
    EXPECT_FALSE(EvtNext(rs, 1, out, 0, 0, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // A successful close keeps the last error.
    SetLastError(ERROR_TIMEOUT);
    EXPECT_TRUE(EvtClose(events[0]));
    EXPECT_TRUE(EvtClose(bookmark));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
}

TEST_F(EventLogApi, InjectedFaultsReachTheErrorPaths) {
    EVT_HANDLE rs = EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath);
    // A time-out that still hands out two events, then normal reading resumes where it stopped.
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 1, 1, 2);
    EXPECT_EQ(Records(rs, 1), (Ids{1}));
    EVT_HANDLE events[5];
    DWORD returned = 0;
    EXPECT_FALSE(EvtNext(rs, 5, events, 100, 0, &returned));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    ASSERT_EQ(returned, 2u);
    EXPECT_EQ(Testing::RecordIdOf(events[0]), 2u);
    EvtClose(events[0]);
    EvtClose(events[1]);
    EXPECT_EQ(Records(rs, 1), (Ids{4}));
    PalEventLogInjectFault("EvtSeek", ERROR_INVALID_OPERATION, 0, 2, 0);
    EXPECT_FALSE(EvtSeek(rs, 0, nullptr, 0, EvtSeekRelativeToFirst));
    EXPECT_FALSE(EvtSeek(rs, 0, nullptr, 0, EvtSeekRelativeToFirst));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_OPERATION);
    EXPECT_TRUE(EvtSeek(rs, 0, nullptr, 0, EvtSeekRelativeToFirst));
    PalEventLogInjectFault("EvtQuery", ERROR_TIMEOUT, 0, 5, 0);
    PalEventLogClearFaults();
    EVT_HANDLE again = EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath);
    EXPECT_NE(again, nullptr);
    EvtClose(again);
    EvtClose(rs);
}

TEST_F(EventLogApi, FilePathsReadLogFiles) {
    const fs::path file = m_folder / "exported.xml";
    std::ofstream(file) << "<Events>"
                        << Testing::EventXml("Remote", 5, 1, 2, "P", "2024-01-01T00:00:00Z", "")
                        << Testing::EventXml("Remote", 6, 2, 4, "P", "2024-01-01T00:00:00Z", "")
                        << "</Events>";
    EVT_HANDLE rs =
        EvtQuery(nullptr, file.wstring().c_str(), L"*[System[Level=4]]", EvtQueryFilePath);
    ASSERT_NE(rs, nullptr) << Base::Utf8FromWide(ExtendedStatus());
    EXPECT_EQ(Records(rs, 5), (Ids{6}));
    EvtClose(rs);
    const std::wstring structured = L"<QueryList><Query Id='0' Path='file://" + file.wstring() +
                                    L"'><Select>*</Select></Query></QueryList>";
    rs = EvtQuery(nullptr, nullptr, structured.c_str(), EvtQueryFilePath);
    ASSERT_NE(rs, nullptr) << Base::Utf8FromWide(ExtendedStatus());
    EXPECT_EQ(Records(rs, 5), (Ids{5, 6}));
    EvtClose(rs);
    EXPECT_EQ(
        EvtQuery(nullptr, (m_folder / "missing.evtx").wstring().c_str(), nullptr, EvtQueryFilePath),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// Readers do not wait for writers, and see each channel as a prefix of its events: while two
// threads write to Application through ReportEventW and one appends to System, a forward result
// set on each channel and a classic reader of Application read on. Each sees every event of its
// channel once, in record order, and whole: a written event carries its writer's text twice and
// its writer's event id.
TEST_F(EventLogApi, ReadersDuringAppendsSeeEveryEventOnceAndWhole) {
    constexpr int kWrites = 150;
    std::atomic<int> writing{3};
    std::vector<std::thread> threads;
    const auto text = [](int writer, int i) {
        return L"writer " + std::to_wstring(writer) + L" event " + std::to_wstring(i);
    };
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            const HANDLE source = RegisterEventSourceW(nullptr, w ? L"Writer B" : L"Writer A");
            for (int i = 0; i < kWrites; ++i) {
                const std::wstring value = text(w, i);
                const wchar_t* strings[] = {value.c_str(), value.c_str()};
                EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 500 + w, nullptr, 2,
                                         0, strings, nullptr));
            }
            DeregisterEventSource(source);
            --writing;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < kWrites; ++i) {
            EXPECT_TRUE(GlobalStore()->Append(
                Testing::EventXml("System", 102 + i, 502, 4, "W", "2024-03-01T00:00:00Z",
                                  "<Data>" + Base::Utf8FromWide(text(2, i)) + "</Data><Data>" +
                                      Base::Utf8FromWide(text(2, i)) + "</Data>")));
        }
        --writing;
    });
    // An event written here: its event id names the writer, which wrote its i-th text twice, i
    // counting up.
    struct Writers {
        std::array<int, 3> next{};
        void Check(uint64_t eventId, const std::vector<std::wstring>& values,
                   const std::function<std::wstring(int, int)>& text) {
            const int w = static_cast<int>(eventId) - 500;
            ASSERT_TRUE(w >= 0 && w < 3) << eventId;
            ASSERT_EQ(values.size(), 2u);
            EXPECT_EQ(values[0], text(w, next[w]));
            EXPECT_EQ(values[1], values[0]);
            ++next[w];
        }
    };
    std::vector<Ids> seen(3);
    auto readForward = [&](const wchar_t* channel, Ids& records) {
        EVT_HANDLE rs = EvtQuery(nullptr, channel, L"*", EvtQueryChannelPath);
        EVT_HANDLE user = EvtCreateRenderContext(0, nullptr, EvtRenderContextUser);
        Writers writers;
        for (bool last = false; !last;) {
            last = writing.load() == 0;
            for (std::vector<EVT_HANDLE> batch; !(batch = Next(rs, 16)).empty();) {
                for (EVT_HANDLE e : batch) {
                    const std::vector<EVT_VARIANT> system = Testing::SystemValues(e);
                    records.push_back(system[EvtSystemEventRecordId].UInt64Val);
                    std::vector<EVT_VARIANT> values(16);
                    DWORD used = 0, count = 0;
                    EXPECT_TRUE(EvtRender(user, e, EvtRenderEventValues,
                                          static_cast<DWORD>(values.size() * sizeof(EVT_VARIANT)),
                                          values.data(), &used, &count));
                    std::vector<std::wstring> texts;
                    for (DWORD v = 0; v < count; ++v) {
                        texts.emplace_back(values[v].StringVal ? values[v].StringVal : L"");
                    }
                    if (records.back() > (channel[0] == L'S' ? 101u : 10u)) {
                        writers.Check(system[EvtSystemEventID].UInt16Val, texts, text);
                    }
                    EvtClose(e);
                }
            }
        }
        EvtClose(user);
        EvtClose(rs);
    };
    threads.emplace_back([&] { readForward(L"Application", seen[0]); });
    threads.emplace_back([&] { readForward(L"System", seen[1]); });
    threads.emplace_back([&] {
        const HANDLE log = OpenEventLogW(nullptr, L"Application");
        std::vector<uint8_t> buffer(1 << 16);
        Writers writers;
        for (bool last = false; !last;) {
            last = writing.load() == 0;
            DWORD read = 0, needed = 0;
            while (ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0,
                                 buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                                 &needed)) {
                for (DWORD at = 0; at < read;) {
                    EVENTLOGRECORD h;
                    std::memcpy(&h, buffer.data() + at, sizeof h);
                    seen[2].push_back(h.RecordNumber);
                    if (h.RecordNumber > 10) {
                        const std::wstring first = Testing::WideAt(buffer, at + h.StringOffset);
                        writers.Check(h.EventID & 0xFFFF,
                                      {first, Testing::WideAt(buffer, at + h.StringOffset +
                                                                          (first.size() + 1) * 2)},
                                      text);
                    }
                    at += h.Length;
                }
            }
            EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
        }
        CloseEventLog(log);
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    Ids application(10 + 2 * kWrites);
    std::iota(application.begin(), application.end(), 1);
    Ids system(2 + kWrites);
    std::iota(system.begin(), system.end(), 100);
    EXPECT_EQ(seen[0], application);
    EXPECT_EQ(seen[1], system);
    EXPECT_EQ(seen[2], application);
}

TEST_F(EventLogApi, UserDataEventsRenderAndFormat) {
    Testing::Closing close;
    EVT_HANDLE rs = close(
        EvtQuery(nullptr, L"Ops/Operational", L"*[UserData/Session[Id=42]]", EvtQueryChannelPath));
    ASSERT_NE(rs, nullptr) << Base::Utf8FromWide(ExtendedStatus());
    auto events = close(Next(rs, 5));
    ASSERT_EQ(events.size(), 1u);
    LPCWSTR paths[] = {L"Event/UserData/*/User", L"Event/EventData/Data", L"Event/System/Keywords"};
    EVT_HANDLE values = close(EvtCreateRenderContext(3, paths, EvtRenderContextValues));
    std::vector<EVT_VARIANT> buffer(32);
    DWORD used = 0, count = 0;
    ASSERT_TRUE(EvtRender(values, events[0], EvtRenderEventValues, 32 * sizeof(EVT_VARIANT),
                          buffer.data(), &used, &count));
    EXPECT_STREQ(buffer[0].StringVal, L"alice");
    EXPECT_EQ(buffer[1].Type, EvtVarTypeNull);
    EXPECT_EQ(buffer[2].Type, EvtVarTypeHexInt64);
    wchar_t text[4096];
    ASSERT_TRUE(EvtFormatMessage(nullptr, events[0], 0, 0, nullptr, EvtFormatMessageEvent, 512,
                                 text, &used));
    EXPECT_STREQ(text, L"Session 42 of alice");
    ASSERT_TRUE(EvtFormatMessage(nullptr, events[0], 0, 0, nullptr, EvtFormatMessageTask, 512, text,
                                 &used));
    EXPECT_STREQ(text, L"Sessions");
    // Keywords: a list of names, each with its NUL, and a final NUL.
    ASSERT_TRUE(EvtFormatMessage(nullptr, events[0], 0, 0, nullptr, EvtFormatMessageKeyword, 512,
                                 text, &used));
    EXPECT_EQ(std::wstring(text, used), std::wstring(L"Classic\0Audit Success\0Lifecycle\0\0", 33));
    ASSERT_TRUE(EvtFormatMessage(nullptr, events[0], 0, 0, nullptr, EvtFormatMessageXml, 4096, text,
                                 &used));
    const std::wstring xml = text;
    EXPECT_NE(xml.find(L"<UserData><Session xmlns='urn:s'><Id>42</Id>"), std::wstring::npos)
        << Base::Utf8FromWide(xml);
    EXPECT_NE(xml.find(L"<RenderingInfo Culture='en-US'><Message>Session 42 of alice</Message>"),
              std::wstring::npos)
        << Base::Utf8FromWide(xml);
}

// timediff() measures against the current time: the fixture's events are from 2024.
TEST_F(EventLogApi, TimediffMeasuresFromNow) {
    Testing::Closing close;
    for (const auto& [query, records] :
         {std::pair{L"*[System[TimeCreated[timediff(@SystemTime) <= 86400000]]]", Ids{}},
          std::pair{L"*[System[TimeCreated[timediff(@SystemTime) > 86400000]]]", Ids{100, 101}}}) {
        EXPECT_EQ(Records(close(EvtQuery(nullptr, L"System", query, EvtQueryChannelPath)), 10),
                  records);
    }
}

} // namespace
