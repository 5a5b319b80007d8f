// The component end to end as a host sees it: the built module loaded through its one export,
// configured, and sent the seven requests as node trees over the C interfaces. The store is the
// test's own (the sample store, the edge events and, when present, a real log written by Windows);
// the pages are compared with what the Event Log itself answers to the same question.
#include "ModuleEnvironment.h"

#include "Platform.h"
#include "Win32/PalEventLogFaults.h"
#include "Win32/PalWin32Faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace Halyard::Interfaces;
using namespace CorvaneRequests;
using TestHost::Node;
using TestHost::ResultOf;

namespace {

namespace fs = std::filesystem;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
constexpr HRESULT kInvalidFilterSet = static_cast<HRESULT>(0x80042002);
constexpr HRESULT kNotConfigured = static_cast<HRESULT>(0x8007139F);
constexpr const wchar_t* kSysmonChannel = L"Microsoft-Windows-Sysmon/Operational";

// The program's store and module (TestHost::ModuleEnvironment), and a real log written by Windows
// beside the store's files when the shared data is there, with its provider's metadata exported
// (our own texts).
struct Environment : TestHost::ModuleEnvironment {
    bool realLog = false;

    Environment() : ModuleEnvironment("DBG") {
        const char* shared = std::getenv("CORVANE_SHARED_DATA");
        const fs::path sysmon = fs::path(shared != nullptr ? shared : CORVANE_SHARED_DATA) /
                                "evtx/omerbenamram-evtx/sysmon.evtx";
        std::error_code error;
        if (fs::is_regular_file(sysmon, error)) {
            fs::create_symlink(sysmon, store.folder / "sysmon.evtx", error);
            realLog = !error;
            fs::copy_file(fs::path(CORVANE_PROVIDER_EXPORTS) / "sysmon.xml",
                          store.folder / "sysmon-provider.xml", error);
            realLog = realLog && !error;
        }
    }
};

Environment& TheEnvironment() {
    static Environment environment;
    return environment;
}

// One event as the Event Log itself renders it.
struct Expected {
    uint64_t record = 0;
    uint8_t level = 0;
    std::wstring provider;
};

// The events of a query on a channel, newest first, straight from the Event Log.
std::vector<Expected> NewestFirst(const std::wstring& channel, const wchar_t* query = L"*") {
    std::vector<Expected> events;
    const EVT_HANDLE results =
        EvtQuery(nullptr, channel.c_str(), query, EvtQueryChannelPath | EvtQueryReverseDirection);
    EXPECT_NE(results, nullptr) << "EvtQuery failed: " << GetLastError();
    const EVT_HANDLE context = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
    std::vector<uint8_t> buffer(64 * 1024);
    EVT_HANDLE batch[64];
    DWORD returned = 0;
    while (results != nullptr && EvtNext(results, 64, batch, INFINITE, 0, &returned)) {
        for (DWORD i = 0; i < returned; ++i) {
            DWORD used = 0;
            DWORD count = 0;
            EXPECT_TRUE(EvtRender(context, batch[i], EvtRenderEventValues,
                                  static_cast<DWORD>(buffer.size()), buffer.data(), &used, &count));
            const auto* values = reinterpret_cast<const EVT_VARIANT*>(buffer.data());
            events.push_back({values[EvtSystemEventRecordId].UInt64Val,
                              values[EvtSystemLevel].ByteVal,
                              values[EvtSystemProviderName].Type == EvtVarTypeString
                                  ? values[EvtSystemProviderName].StringVal
                                  : L""});
            EvtClose(batch[i]);
        }
    }
    EvtClose(context);
    EvtClose(results);
    return events;
}

std::vector<uint64_t> Records(const std::vector<Expected>& events, size_t start = 0,
                              size_t count = SIZE_MAX) {
    std::vector<uint64_t> records;
    for (size_t i = start; i < events.size() && records.size() < count; ++i) {
        records.push_back(events[i].record);
    }
    return records;
}

// What a page response holds, in the flat form and the child form.
struct Page {
    HRESULT result = E_FAIL;
    EkNodePtr mark;
    std::vector<uint64_t> records;
    std::vector<std::wstring> texts; // every attribute of every event, for the search
    std::vector<EkNodePtr> events;
    std::wstring error; // "ErrorSerialized" of a failure
    int64_t currentPage = 0;
    bool isFront = false;
    bool isBack = false;
    int64_t newEvents = -1;

    explicit Page(const EkNodePtr& response) : result(ResultOf(response)) {
        if (result != S_OK) {
            error = response.GetString(L"ErrorSerialized", L"");
            return;
        }
        mark = response.GetChildByName(L"ContinuationMark");
        const EkNodePtr events = response.GetChildByName(L"Events");
        EXPECT_EQ(response.GetChildByIndex(0).GetNodeName(), L"ContinuationMark");
        EXPECT_EQ(response.GetChildByIndex(1).GetNodeName(), L"Events");
        EXPECT_EQ(events.GetInt64(L"ContinuationMark"), mark.GetInt64(L"Position"));
        EXPECT_EQ(response.GetInt64(L"ContinuationMark"), mark.GetInt64(L"Position"));
        GUID flat{};
        GUID inMark{};
        EXPECT_TRUE(response.GetAttribute(L"SessionId", flat));
        EXPECT_TRUE(mark.GetAttribute(L"SessionId", inMark));
        EXPECT_EQ(std::memcmp(&flat, &inMark, sizeof(GUID)), 0);
        for (uint64_t i = 0; i < events.GetChildCount(); ++i) {
            const EkNodePtr event = events.GetChildByIndex(i);
            records.push_back(static_cast<uint64_t>(event.GetInt64(L"RecordId")));
            std::wstring text;
            for (const std::wstring& name : event.GetAttributeNames()) {
                std::wstring value;
                if (event.GetAttribute(name.c_str(), value)) {
                    text += value + L"\n";
                }
            }
            texts.push_back(std::move(text));
            this->events.push_back(event);
        }
        currentPage = events.GetInt64(L"CurrentPage");
        isFront = events.GetBool(L"IsFront");
        isBack = events.GetBool(L"IsBack");
        newEvents = events.GetInt64(L"NewEventsCount");
    }
};

// A client of one viewing session: it sends the continuation mark it last received.
class Client {
public:
    Client(TestHost::Component& component, int64_t count, const EkNodePtr& filters = {})
        : m_component(component), m_count(count), m_filters(filters) {}

    // Opens the session with the flat paging attributes, as a client starts.
    void Create() {
        const EkNodePtr request = MarkRequest(L"CreateSessionRequest", {}, m_filters);
        request.SetAttribute(L"EventsCount", static_cast<int32_t>(m_count));
        const EkNodePtr response = m_component.Send(request);
        ASSERT_EQ(ResultOf(response), S_OK) << response.GetString(L"ErrorSerialized", L"");
        m_mark = response.GetChildByName(L"ContinuationMark");
        ASSERT_TRUE(m_mark.GetAttribute(L"SessionId", m_id));
    }
    Page Next() { return Data(0); }
    Page Previous() { return Data(1); }
    Page Data(uint32_t direction) {
        Page page(m_component.Send(PageRequest(m_mark, direction, m_count, m_filters)));
        if (page.result == S_OK) {
            m_mark = page.mark;
        }
        return page;
    }
    EkNodePtr Send(const wchar_t* name) {
        return m_component.Send(MarkRequest(name, m_mark, m_filters));
    }
    HRESULT Release() { return ResultOf(Send(L"ReleaseSessionRequest")); }
    // The new-events count once it is above 0 (events are delivered on the service's thread).
    int64_t PollNewEvents() {
        int64_t polled = 0;
        for (int attempt = 0; attempt < 500 && polled == 0; ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            polled = Send(L"GetNewEventsCountRequest").GetInt64(L"NewEventsCount");
        }
        return polled;
    }
    const EkNodePtr& Mark() const { return m_mark; }
    void SetFilters(const EkNodePtr& filters) { m_filters = filters; }

private:
    TestHost::Component& m_component;
    int64_t m_count;
    EkNodePtr m_filters;
    EkNodePtr m_mark;
    GUID m_id{};
};

// Pages a new session to its end: the pages are the oracle's slices, the last one is the back.
void ExpectPagesToTheEnd(Client& client, const std::vector<uint64_t>& oracle, size_t count) {
    client.Create();
    const size_t pages = std::max<size_t>(1, (oracle.size() + count - 1) / count);
    for (size_t i = 0; i < pages; ++i) {
        const Page page = client.Next();
        ASSERT_EQ(page.result, S_OK);
        const std::vector<uint64_t> slice(
            oracle.begin() + static_cast<std::ptrdiff_t>(std::min(i * count, oracle.size())),
            oracle.begin() + static_cast<std::ptrdiff_t>(std::min((i + 1) * count, oracle.size())));
        ASSERT_EQ(page.records, slice) << "page " << i + 1;
        EXPECT_EQ(page.isBack, i + 1 == pages) << "page " << i + 1;
    }
}

class ComponentEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(TheEnvironment().module, nullptr);
        m_component.Create(TheEnvironment().module);
        ASSERT_EQ(m_component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);
    }
    void TearDown() override { PalEventLogClearFaults(); }

    TestHost::Component m_component;
};

std::map<std::wstring, int64_t> CountsOf(const EkNodePtr& response) {
    std::map<std::wstring, int64_t> counts;
    for (const wchar_t* name : {L"CriticalEventsCount", L"ErrorEventsCount", L"WarningEventsCount",
                                L"InformationalEventsCount", L"TotalEventsCount"}) {
        uint16_t type = 0;
        EXPECT_TRUE(response.HasAttribute(name, &type)) << name;
        EXPECT_EQ(type, EKN_TYPE_INT64) << name;
        counts[name] = response.GetInt64(name);
    }
    return counts;
}

// The channel's histogram as the counts request names it.
std::map<std::wstring, int64_t> Histogram(const std::vector<Expected>& events) {
    std::map<std::wstring, int64_t> counts{{L"CriticalEventsCount", 0},
                                           {L"ErrorEventsCount", 0},
                                           {L"WarningEventsCount", 0},
                                           {L"InformationalEventsCount", 0},
                                           {L"TotalEventsCount", 0}};
    for (const Expected& event : events) {
        const wchar_t* name = event.level == 1   ? L"CriticalEventsCount"
                              : event.level == 2 ? L"ErrorEventsCount"
                              : event.level == 3 ? L"WarningEventsCount"
                              : event.level == 4 || event.level == 5 || event.level == 0
                                  ? L"InformationalEventsCount"
                                  : nullptr;
        if (name != nullptr) {
            ++counts[name];
            ++counts[L"TotalEventsCount"];
        }
    }
    return counts;
}

// The publishers request lists every provider the events name (an event may name none), each
// once, as a string list.
void ExpectPublishersOf(TestHost::Component& component, const std::vector<Expected>& events) {
    const EkNodePtr publishers = component.Send(Node(L"GetPublishersRequest"));
    ASSERT_EQ(ResultOf(publishers), S_OK);
    uint16_t type = 0;
    ASSERT_TRUE(publishers.HasAttribute(L"Publishers", &type));
    EXPECT_EQ(type, EKN_TYPE_STRING_LIST);
    std::vector<std::wstring> names;
    publishers.GetAttribute(L"Publishers", names);
    const std::set<std::wstring> listed(names.begin(), names.end());
    EXPECT_EQ(listed.size(), names.size()) << "a publisher listed twice";
    for (const Expected& event : events) {
        EXPECT_TRUE(event.provider.empty() || listed.contains(event.provider)) << event.provider;
    }
}

// Writes one event of the sample's backup source (an Application source).
void WriteBackupEvent(WORD type, std::initializer_list<LPCWSTR> strings) {
    const HANDLE source = RegisterEventSourceW(nullptr, L"Orchard Backup");
    ASSERT_NE(source, nullptr);
    std::vector<LPCWSTR> texts(strings);
    EXPECT_TRUE(ReportEventW(source, type, 0, 0x40000064, nullptr, static_cast<WORD>(texts.size()),
                             0, texts.data(), nullptr));
    DeregisterEventSource(source);
}

} // namespace

// A viewing session as a person has one: the channel's publishers and counts, a session paged to
// the end and back, resumed by a new session from the mark after its release, a poll that sees a
// written event, and the release (a second one finds nothing).
TEST_F(ComponentEndToEnd, ViewingSessionOnTheSampleStore) {
    const std::vector<Expected> all = NewestFirst(L"Application");
    ASSERT_GT(all.size(), 1000u);

    ExpectPublishersOf(m_component, all);
    const EkNodePtr counts = m_component.Send(Node(L"CountEventsRequest"));
    ASSERT_EQ(ResultOf(counts), S_OK);
    EXPECT_EQ(CountsOf(counts), Histogram(all));
    // Security's events are all of level 0: informational.
    TestHost::Component security;
    security.Create(TheEnvironment().module);
    ASSERT_EQ(security.configure->Configure(TestHost::Config(L"Security").Get()), S_OK);
    EXPECT_EQ(CountsOf(security.Send(Node(L"CountEventsRequest"))),
              Histogram(NewestFirst(L"Security")));

    Client client(m_component, 100);
    ExpectPagesToTheEnd(client, Records(all), 100);
    // Back two pages: the pages before the last.
    const size_t lastStart = (all.size() - 1) / 100 * 100;
    EXPECT_EQ(client.Previous().records, Records(all, lastStart - 100, 100));
    const Page back = client.Previous();
    EXPECT_EQ(back.records, Records(all, lastStart - 200, 100));
    EXPECT_FALSE(back.isBack);

    // Released, then resumed from the mark the client holds: a new session with the same id
    // serves the next page.
    EXPECT_EQ(client.Release(), S_OK);
    EXPECT_EQ(client.Release(), kNotFound);
    EXPECT_EQ(client.Next().records, Records(all, lastStart - 100, 100));

    // An event written now is counted, not shown: the view stays where it was.
    Client watcher(m_component, 50);
    watcher.Create();
    const std::vector<uint64_t> firstPage = watcher.Next().records;
    const EkNodePtr poll = watcher.Send(L"GetNewEventsCountRequest");
    ASSERT_EQ(ResultOf(poll), S_OK);
    uint16_t countType = 0;
    ASSERT_TRUE(poll.HasAttribute(L"NewEventsCount", &countType));
    EXPECT_EQ(countType, EKN_TYPE_INT64);
    WriteBackupEvent(EVENTLOG_WARNING_TYPE, {L"written by the test", L"second"});
    EXPECT_EQ(watcher.PollNewEvents(), 1);
    const Page again = watcher.Data(1);
    EXPECT_EQ(again.records, firstPage);
    EXPECT_EQ(again.newEvents, 1);
    EXPECT_EQ(watcher.Release(), S_OK);
    EXPECT_EQ(client.Release(), S_OK);
}

// Filters sent with the requests give the events the Event Log selects for the same condition: a
// query condition (levels; event ids with a range and a denied id), items (read by the page's
// manual filter) and a date range; a session whose filters change is replaced; an invalid filter
// set is refused with its cause. What each kind's query selects is checked kind by kind by
// SerrializerQueries.SelectTheEventsTheFiltersDescribe.
TEST_F(ComponentEndToEnd, EveryFilterKind) {
    struct Case {
        const wchar_t* type;
        const wchar_t* attribute;
        std::vector<std::wstring> values;
        const wchar_t* query;
    };
    const Case cases[] = {
        {L"LevelFilter", L"Levels", {L"2", L"3"}, L"*[System[(Level=2 or Level=3)]]"},
        {L"EventIdFilter",
         L"EventIds",
         {L"1001", L"2000-2002", L"-2002"},
         L"*[System[(EventID=1001 or (EventID >= 2000 and EventID <= 2001))]]"},
        {L"ItemFilter", L"Items", {L"db-01"}, L"*[EventData[Data[2]='db-01']]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const EkNodePtr filters = Filters({ListFilter(c.type, c.attribute, c.values)});
        const std::vector<uint64_t> oracle = Records(NewestFirst(L"Application", c.query));
        ASSERT_FALSE(oracle.empty());
        Client client(m_component, 40, filters);
        ExpectPagesToTheEnd(client, oracle, 40);
        EXPECT_EQ(ResultOf(client.Send(L"CheckFiltersRequest")), S_OK);
        EXPECT_EQ(client.Release(), S_OK);
    }

    // A date range: twenty minutes of the sample, paged and counted.
    const EkNodePtr date = Node(L"DateFilter", L"DateFilter");
    date.SetAttribute(L"Since", L"2024-01-01T00:20:00.000Z");
    date.SetAttribute(L"To", L"2024-01-01T00:40:00.000Z");
    const EkNodePtr dated = Filters({date});
    const std::vector<Expected> inRange =
        NewestFirst(L"Application", L"*[System[TimeCreated[@SystemTime >= "
                                    L"'2024-01-01T00:20:00.000Z' and @SystemTime <= "
                                    L"'2024-01-01T00:40:00.000Z']]]");
    ASSERT_GT(inRange.size(), 10u);
    Client byDate(m_component, 500, dated);
    ExpectPagesToTheEnd(byDate, Records(inRange), 500);
    const EkNodePtr count = Node(L"CountEventsRequest");
    count.AddChild(date.CloneNode(EKN_DEPTH_ALL));
    EXPECT_EQ(CountsOf(m_component.Send(count)), Histogram(inRange));

    // The free-text search: every event shown holds the text, and a change of filters replaces
    // the session (same id, paging on from the client's mark: the page after the date range's).
    byDate.SetFilters(Filters({SearchFilter(L"db-01")}));
    const Page found = byDate.Next();
    ASSERT_EQ(found.result, S_OK);
    EXPECT_EQ(found.currentPage, 2);
    ASSERT_FALSE(found.texts.empty());
    for (const std::wstring& text : found.texts) {
        EXPECT_NE(text.find(L"db-01"), std::wstring::npos) << text;
    }

    Client refused(m_component, 10, Filters({ListFilter(L"LevelFilter", L"Levels", {L"x y"})}));
    const EkNodePtr check = refused.Send(L"CheckFiltersRequest");
    EXPECT_EQ(ResultOf(check), kInvalidFilterSet);
    const std::wstring cause = check.GetString(L"ErrorSerialized");
    EXPECT_NE(cause.find(L"0x80042002"), std::wstring::npos) << cause;
    EXPECT_NE(cause.find(L"0x80073A99"), std::wstring::npos)
        << "the query's own failure: " << cause;
}

// A real log written by Windows, as a channel of the store: counts, publishers and messages.
TEST_F(ComponentEndToEnd, RealLogChannel) {
    if (!TheEnvironment().realLog) {
        GTEST_SKIP() << "no shared evtx samples";
    }
    TestHost::Component component;
    component.Create(TheEnvironment().module);
    ASSERT_EQ(component.configure->Configure(TestHost::Config(kSysmonChannel).Get()), S_OK);
    const std::vector<Expected> all = NewestFirst(kSysmonChannel);
    ASSERT_GT(all.size(), 100u);
    EXPECT_EQ(CountsOf(component.Send(Node(L"CountEventsRequest"))), Histogram(all));
    ExpectPublishersOf(component, all);
    // The first thousand events (every page of the log is checked by
    // EventQueryContextTest.PagesRealLogs). The process starts (version 5) read with the export's
    // text of that version (its values in their places are checked by ProviderExportTests); the
    // events the export does not define keep the failure text.
    Client whole(component, 1000);
    whole.Create();
    const Page page = whole.Next();
    EXPECT_EQ(page.records, Records(all, 0, 1000));
    size_t starts = 0;
    for (const EkNodePtr& event : page.events) {
        const std::wstring message = event.GetString(L"Message");
        if (event.GetInt64(L"EventId") != 1) {
            EXPECT_NE(message.find(L"0x80042001"), std::wstring::npos);
            continue;
        }
        ++starts;
        EXPECT_EQ(message.rfind(L"Started C:\\", 0), 0u) << Base::Utf8FromWide(message);
    }
    EXPECT_EQ(starts, 227u);
    EXPECT_EQ(whole.Release(), S_OK);
}

// Before Configure every request fails in the envelope with a clear text; a Configure that fails
// reports why and leaves the working configuration in place.
TEST_F(ComponentEndToEnd, UnconfiguredAndFailedConfigurations) {
    TestHost::Component fresh;
    fresh.Create(TheEnvironment().module);
    for (const wchar_t* name :
         {L"CreateSessionRequest", L"GetDataRequest", L"GetNewEventsCountRequest",
          L"CheckFiltersRequest", L"CountEventsRequest", L"ReleaseSessionRequest",
          L"GetPublishersRequest"}) {
        const EkNodePtr response = fresh.Send(Node(name));
        EXPECT_EQ(ResultOf(response), kNotConfigured) << name;
        EXPECT_NE(response.GetString(L"ErrorSerialized").find(L"not configured"),
                  std::wstring::npos)
            << response.GetString(L"ErrorSerialized");
    }

    Client client(m_component, 30);
    client.Create();
    const std::vector<Expected> all = NewestFirst(L"Application");
    EXPECT_EQ(client.Next().records, Records(all, 0, 30));
    for (const wchar_t* missing : {L"SessionTimeLiveInMin", L"SessionCheckIntervalInSec",
                                   L"TimeOutIntervalInSec", L"InsertionalStringsResolver"}) {
        EXPECT_EQ(m_component.configure->Configure(TestHost::Config(L"Application", missing).Get()),
                  kNotFound)
            << missing;
    }
    EXPECT_NE(TheEnvironment().Log().find(L"Configure failed due to: "), std::wstring::npos);
    // The session lives on in the holder that stayed; released, it is served again from the mark
    // the client holds.
    EXPECT_EQ(client.Release(), S_OK);
    const Page second = client.Next();
    EXPECT_EQ(second.currentPage, 2);
    EXPECT_EQ(second.records, Records(all, 30, 30));
    EXPECT_EQ(client.Release(), S_OK);
}

// Many host threads at once, each with sessions of its own, while the host configures the
// component again and again: every request is served or fails with a code the situation gives,
// and a request keeps the configuration it started with.
TEST_F(ComponentEndToEnd, ManyHostThreadsWhileReconfigured) {
    const std::vector<uint64_t> oracle = Records(NewestFirst(L"Application"));
    std::atomic<bool> stop{false};
    std::atomic<int> pages{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            while (!stop) {
                Client client(m_component, 20 + t);
                client.Create();
                for (int i = 0; i < 3; ++i) {
                    const Page page = client.Next();
                    // The holder replaced under the session: the page comes from a new session.
                    if (page.result != S_OK || page.records.empty() ||
                        page.records.front() > oracle.front()) {
                        ++unexpected;
                    }
                    ++pages;
                }
                if (ResultOf(client.Send(t % 2 == 0 ? L"CountEventsRequest"
                                                    : L"GetNewEventsCountRequest")) != S_OK) {
                    ++unexpected;
                }
                const HRESULT released = client.Release();
                // A new configuration's holder does not know the session.
                if (released != S_OK && released != kNotFound) {
                    ++unexpected;
                }
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        EXPECT_EQ(m_component.configure->Configure(TestHost::Config(L"Application").Get()), S_OK);
    }
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(pages.load(), 18);
}

namespace {

// The values of one attribute over a page's events ("" where an event has none).
std::vector<std::wstring> ValuesOf(const Page& page, const wchar_t* attribute) {
    std::vector<std::wstring> values;
    for (const EkNodePtr& event : page.events) {
        values.push_back(event.GetString(attribute, L""));
    }
    return values;
}

size_t CountIf(const std::vector<std::wstring>& values, bool (*test)(const std::wstring&)) {
    return static_cast<size_t>(std::count_if(values.begin(), values.end(), test));
}

bool IsMessageFailure(const std::wstring& message) {
    return message.starts_with(L"0x80042001 ");
}

bool NamesMessageNotFound(const std::wstring& message) {
    return IsMessageFailure(message) && message.find(L"0x80073AB3") != std::wstring::npos;
}

bool IsEmpty(const std::wstring& text) {
    return text.empty();
}

bool IsAccountName(const std::wstring& user) {
    return user != L"N/A" && !user.starts_with(L"S-1-");
}

bool HasPlanName(const EkNodePtr& event) {
    return event.HasAttribute(L"MonitoringPlanName");
}

} // namespace

// Faults of the Event Log, each for a while: the request it hits reports a clear code or text,
// and the next request is served as if nothing had happened.
TEST_F(ComponentEndToEnd, EventLogFaultsLeaveTheComponentServing) {
    const std::vector<Expected> all = NewestFirst(L"Application");

    // Publisher metadata that cannot be opened (from the start: a session opens the metadata of
    // its newest event as it begins), then message texts that cannot be found (a publisher's
    // message module missing): every event comes with the failure's text as its message; once
    // the fault is gone, the next page has the messages.
    PalEventLogInjectFault("EvtOpenPublisherMetadata", ERROR_FILE_NOT_FOUND, 0, 1000, 0);
    Client client(m_component, 40);
    client.Create();
    Page page = client.Next();
    ASSERT_EQ(page.result, S_OK);
    EXPECT_EQ(page.records, Records(all, 0, 40));
    EXPECT_EQ(CountIf(ValuesOf(page, L"Message"), IsMessageFailure),
              page.events.size() - CountIf(ValuesOf(page, L"Message"), IsEmpty));
    PalEventLogClearFaults();
    PalEventLogInjectFault("EvtFormatMessage", ERROR_EVT_MESSAGE_NOT_FOUND, 0, 1000, 0);
    page = client.Next();
    EXPECT_EQ(page.records, Records(all, 40, 40));
    EXPECT_EQ(CountIf(ValuesOf(page, L"Message"), IsMessageFailure),
              page.events.size() - CountIf(ValuesOf(page, L"Message"), IsEmpty));
    EXPECT_GT(CountIf(ValuesOf(page, L"Message"), NamesMessageNotFound), 0u);
    PalEventLogClearFaults();
    page = client.Next();
    EXPECT_EQ(page.records, Records(all, 80, 40));
    EXPECT_LT(CountIf(ValuesOf(page, L"Message"), IsMessageFailure), page.events.size() / 2);

    // EvtNext failing mid-page, after handing out some events: the page fails with its code
    // and, asked again, comes whole. A time-out mid-page costs nothing: the page is read on.
    PalEventLogInjectFault("EvtNext", RPC_S_INVALID_BOUND, 1, 1, 3);
    page = client.Next();
    EXPECT_EQ(page.result, HresultFromWin32(RPC_S_INVALID_BOUND));
    EXPECT_NE(page.error.find(L"0x800706C6"), std::wstring::npos) << Base::Utf8FromWide(page.error);
    EXPECT_EQ(client.Next().records, Records(all, 120, 40));
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 1, 2, 3);
    EXPECT_EQ(client.Next().records, Records(all, 160, 40));
    EXPECT_EQ(client.Release(), S_OK);

    // Account lookups that fail (the domain controller unreachable): the users of a new session
    // show as their SIDs; its next page shows their names again.
    PalEventLogInjectFault("LookupAccountSidW", RPC_S_SERVER_UNAVAILABLE, 0, 1000, 0);
    Client accounts(m_component, 40);
    accounts.Create();
    page = accounts.Next();
    EXPECT_EQ(page.records, Records(all, 0, 40));
    EXPECT_EQ(CountIf(ValuesOf(page, L"User"), IsAccountName), 0u);
    PalEventLogClearFaults();
    page = accounts.Next();
    EXPECT_EQ(page.records, Records(all, 40, 40));
    EXPECT_GT(CountIf(ValuesOf(page, L"User"), IsAccountName), 0u);
    EXPECT_EQ(accounts.Release(), S_OK);

    // A subscription that reports an error: it is logged with its code, and the event after it
    // still counts as new.
    Client watcher(m_component, 10);
    watcher.Create();
    ASSERT_EQ(watcher.Next().result, S_OK);
    PalEventLogInjectFault("EvtSubscribeDeliver", RPC_S_INVALID_BOUND, 0, 1, 0);
    WriteBackupEvent(EVENTLOG_INFORMATION_TYPE, {L"after the error", L"1", L"2"});
    EXPECT_EQ(watcher.PollNewEvents(), 1);
    EXPECT_NE(TheEnvironment().Log().find(L"Halyard::Session::EvtSubscribeCallback failed: "
                                          L"0x800706C6"),
              std::wstring::npos);
    EXPECT_EQ(watcher.Release(), S_OK);

    // The classic log unavailable: the monitor's events come without their plan and item names
    // (read from the classic records) and the log says why; once it is back, a new session has
    // them.
    const EkNodePtr monitor =
        Filters({ListFilter(L"ProviderFilter", L"Providers", {L"Halyard-Monitor"})});
    PalEventLogInjectFault("OpenEventLogW", ERROR_ACCESS_DENIED, 0, 1000, 0);
    Client planned(m_component, 100, monitor);
    planned.Create();
    page = planned.Next();
    ASSERT_EQ(page.result, S_OK);
    ASSERT_FALSE(page.events.empty());
    EXPECT_TRUE(std::none_of(page.events.begin(), page.events.end(), HasPlanName));
    EXPECT_NE(TheEnvironment().Log().find(L"Open event log fieled due to: 0x80070005"),
              std::wstring::npos);
    EXPECT_EQ(planned.Release(), S_OK);
    PalEventLogClearFaults();
    Client again(m_component, 100, monitor);
    again.Create();
    page = again.Next();
    EXPECT_TRUE(std::any_of(page.events.begin(), page.events.end(), HasPlanName));
    EXPECT_EQ(again.Release(), S_OK);
}

// The store's file truncated and then removed while a session reads it, and a full disk under
// the module's log: the session goes on with the events the store holds, the component's counts
// stay, and the log takes up again once there is room.
TEST_F(ComponentEndToEnd, StoreAndFileSystemFaultsLeaveTheComponentServing) {
    TestHost::Component component;
    component.Create(TheEnvironment().module);
    ASSERT_EQ(component.configure->Configure(TestHost::Config(L"System").Get()), S_OK);
    const std::vector<Expected> all = NewestFirst(L"System");
    ASSERT_GT(all.size(), 400u);
    Client client(component, 100);
    client.Create();
    EXPECT_EQ(client.Next().records, Records(all, 0, 100));
    const fs::path file = TheEnvironment().store.folder / "System.xml";
    fs::resize_file(file, fs::file_size(file) / 2);
    PalEventLogRescan();
    EXPECT_EQ(client.Next().records, Records(all, 100, 100));
    fs::remove(file);
    PalEventLogRescan();
    EXPECT_EQ(client.Next().records, Records(all, 200, 100));
    EXPECT_EQ(CountsOf(component.Send(Node(L"CountEventsRequest"))), Histogram(all));

    const DebugOutputCapture debug;
    const size_t logged = TheEnvironment().Log().size();
    PalWin32InjectFault("WriteFile", ERROR_DISK_FULL, 0, 100000);
    EXPECT_EQ(client.Next().records, Records(all, 300, 100));
    PalWin32ClearFaults();
    EXPECT_NE(debug.Text().find("FileLogger: cannot write (error: 0x80070070)"), std::string::npos)
        << debug.Text();
    EXPECT_EQ(ResultOf(component.Send(Node(L"NoSuchRequest"))), static_cast<HRESULT>(0x80040513));
    EXPECT_NE(TheEnvironment().Log().find(L"Unknown request: ", logged), std::wstring::npos);
    EXPECT_EQ(client.Release(), S_OK);
}
