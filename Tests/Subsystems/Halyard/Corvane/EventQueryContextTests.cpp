#include "Halyard/Corvane/EventQueryContext.h"

#include "SessionTestSupport.h"

#include "Win32/PalEventLogFaults.h"

#include <optional>

using namespace EventLogTesting;
using namespace SessionTesting;
using Halyard::EventQueryContext;

namespace {

// A context and the mark its last page gave, paged as a client pages.
class Client {
public:
    Client(const std::wstring& channel, const EkNodePtr& filters, int64_t count,
           const EkNodePtr& mark = {}, std::vector<std::wstring> manualItems = {},
           DWORD timeoutMs = 0)
        : m_count(count), m_mark(mark ? mark : NewMark(count)),
          m_context(channel, timeoutMs, Serialized(channel, filters), mark,
                    std::move(manualItems)) {}

    Page Next() { return Serve(0); }
    Page Previous() { return Serve(1); }
    Page Serve(uint32_t direction) {
        const EkNodePtr response = Node(L"EventViewerResponse");
        m_context.GetData(PageRequest(m_mark, direction, m_count), response, nullptr);
        Page page(response);
        m_mark = page.mark;
        return page;
    }
    EventQueryContext& Context() { return m_context; }
    const EkNodePtr& Mark() const { return m_mark; }
    void SetMark(const EkNodePtr& mark) { m_mark = mark; }

private:
    int64_t m_count;
    EkNodePtr m_mark;
    EventQueryContext m_context;
};

std::vector<int64_t> PagesOf(const EkNodePtr& mark) {
    std::vector<int64_t> pages;
    mark.GetAttribute(L"Pages", pages);
    return pages;
}

// Pages forward to the end; every page must be the oracle's next slice, "IsBack" only on the last.
void ExpectPagesToTheEnd(Client& client, const std::vector<uint64_t>& oracle, size_t count) {
    size_t served = 0;
    for (int64_t number = 1;; ++number) {
        const Page page = client.Next();
        SCOPED_TRACE(testing::Message() << "page " << number);
        ASSERT_EQ(page.records, Slice(oracle, served, count));
        EXPECT_EQ(page.currentPage, number);
        served += page.records.size();
        EXPECT_EQ(page.isBack, served == oracle.size());
        if (page.isBack || page.records.empty()) {
            break;
        }
    }
    EXPECT_EQ(served, oracle.size());
}

class EventQueryContextTest : public ::testing::Test {
protected:
    void TearDown() override { PalEventLogClearFaults(); }
};

} // namespace

// Pages of 25 (two chunks of 10 and one of 5) newest first, forwards and backwards, with the
// mark's paging state and everything else it carries copied through.
TEST_F(EventQueryContextTest, PagesForwardsAndBackwardsNewestFirst) {
    const std::vector<uint64_t> oracle = NewestFirst(L"Application");
    ASSERT_GT(oracle.size(), 100u);
    EkNodePtr mark = NewMark(25);
    mark.SetAttribute(L"Custom", std::wstring(L"kept"));
    mark.AddChild(Node(L"ClientState"));
    Client client(L"Application", {}, 25, {});
    client.SetMark(mark);

    struct Step {
        uint32_t direction;
        size_t firstIndex;
        int64_t currentPage;
        std::vector<int64_t> pages;
    };
    const std::vector<Step> steps = {
        {0, 0, 1, {0}}, {0, 25, 2, {0, 25}}, {0, 50, 3, {0, 25, 50}}, {1, 25, 2, {0, 25}},
        {1, 0, 1, {0}}, {1, 0, 1, {0}},      {0, 25, 2, {0, 25}},
    };
    for (const Step& step : steps) {
        const Page page = client.Serve(step.direction);
        SCOPED_TRACE(testing::Message() << "page " << step.currentPage);
        EXPECT_EQ(page.records, Slice(oracle, step.firstIndex, 25));
        EXPECT_EQ(page.currentPage, step.currentPage);
        EXPECT_EQ(page.isFront, step.currentPage < 2);
        EXPECT_FALSE(page.isBack);
        EXPECT_EQ(PagesOf(page.mark), step.pages);
        EXPECT_EQ(page.mark.GetInt64(L"Position"), static_cast<int64_t>(step.firstIndex + 25));
        EXPECT_EQ(page.mark.GetInt64(L"Count"), 25);
        EXPECT_EQ(page.mark.GetString(L"Custom"), L"kept");
        EXPECT_EQ(page.mark.GetChildCount(), 1u);
        // No filter: the classic log's record count and its pages.
        const int64_t total = page.events.GetInt64(L"TotalEventsCount");
        EXPECT_EQ(total, static_cast<int64_t>(oracle.size()));
        EXPECT_EQ(page.events.GetInt64(L"TotalPagesCount"), (total + 24) / 25);
    }

    // A mark older than the context's position asks for the previous page; a new page size
    // starts over at the first page.
    const EkNodePtr stale = client.Mark().CloneNode();
    client.Next(); // pages 0, 25, 50
    client.SetMark(stale);
    Page page = client.Next();
    EXPECT_EQ(page.records, Slice(oracle, 25, 25));
    EXPECT_EQ(page.currentPage, 2);
    Client resized(L"Application", {}, 10);
    resized.Next();
    resized.Next();
    resized.SetMark(client.Mark()); // Count 25, asked for 10
    page = resized.Next();
    EXPECT_EQ(page.records, Slice(oracle, 0, 10));
    EXPECT_EQ(page.currentPage, 1);
    EXPECT_EQ(page.mark.GetInt64(L"Count"), 10);
}

// Batches that arrive only after the fetch's time-out are asked for again until they come: the
// pages are those of a log that answers at once.
TEST_F(EventQueryContextTest, BatchesSlowerThanTheTimeOutStillFillThePages) {
    const std::vector<uint64_t> oracle = NewestFirst(L"Application");
    Client client(L"Application", {}, 25, {}, {}, 20);
    PalEventLogSetBehaviour(PalNextLatency, 30);
    EXPECT_EQ(client.Next().records, Slice(oracle, 0, 25));
    EXPECT_EQ(client.Next().records, Slice(oracle, 25, 25));
    EXPECT_EQ(client.Previous().records, Slice(oracle, 0, 25));
}

// A new context from a mark serves what the old one would have served next, in the view of the
// old one's first event time, however many events arrived since.
TEST_F(EventQueryContextTest, ResumesFromTheContinuationMarkInTheSameView) {
    Client first(L"Application", {}, 30);
    first.Next();
    first.Next();
    const EkNodePtr mark = first.Mark();
    const std::wstring viewTime = mark.GetString(L"FirstEventTime");
    EXPECT_EQ(Halyard::FormatUtcTime(Halyard::ParseUtcTime(viewTime)), viewTime);

    // Events of the next second: newer than the view.
    const auto nextSecond =
        std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now());
    std::this_thread::sleep_until(nextSecond + std::chrono::milliseconds(10));
    WriteEvents(L"Orchard Backup", EVENTLOG_INFORMATION_TYPE, 3);

    Client resumed(L"Application", {}, 30, mark);
    EXPECT_EQ(resumed.Context().GetSkippedCount(), 3u);
    const Page expected = first.Next();
    const Page page = resumed.Next();
    EXPECT_EQ(page.records, expected.records);
    EXPECT_EQ(page.currentPage, 3);
    EXPECT_EQ(page.mark.GetString(L"FirstEventTime"), viewTime);
    // Back in the resumed context: the page before the one the mark was given for.
    EXPECT_EQ(resumed.Previous().records, Slice(NewestFirst(L"Application"), 33, 30));

    // A fresh context sees the new events first; the old one never does.
    Client fresh(L"Application", {}, 30);
    EXPECT_EQ(fresh.Context().GetSkippedCount(), 0u);
    EXPECT_EQ(fresh.Next().records, Slice(NewestFirst(L"Application"), 0, 30));
    EXPECT_EQ(first.Previous().records, Slice(NewestFirst(L"Application"), 33, 30));
}

// The search reads on until a page is full, across chunks, and the last page of the log is short
// with "IsBack"; the position counts every event read, also those the search dropped.
TEST_F(EventQueryContextTest, SearchFillsPagesToTheEndOfTheLog) {
    struct Case {
        const wchar_t* channel;
        const wchar_t* search;
        const wchar_t* oracleQuery;
        size_t count;
    };
    // Each text is held by one attribute only: "orchard" by the provider name, "edge-host" by the
    // computer, "svc-backup" by the user; only level 2 is "error" in System (the bad-block message
    // has no "err" of its own); every Security event is level 0, "information".
    const Case cases[] = {
        {L"Application", L"ORCHARD", L"*[System[Provider[@Name='Orchard Backup']]]", 25},
        {L"Application", L"Edge-Host", L"*[System[Computer='edge-host.example']]", 4},
        {L"Application", L"svc-backup",
         L"*[System[Security[@UserID='S-1-5-21-1004336348-1177238915-682003330-1003']]]", 25},
        {L"System", L"err", L"*[System[Level=2]]", 25},
        {L"Security", L"Information", L"*", 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.search);
        const std::vector<uint64_t> oracle = NewestFirst(c.channel, c.oracleQuery);
        ASSERT_GT(oracle.size(), c.count);
        Client client(c.channel, Filters({SearchFilter(c.search)}), static_cast<int64_t>(c.count));
        ExpectPagesToTheEnd(client, oracle, c.count);
    }

    // The event id is searched too: every event 2001 is found (as are others whose message holds
    // "2001").
    Client byId(L"Application", Filters({SearchFilter(L"2001")}), 2000);
    const std::vector<uint64_t> found = byId.Next().records;
    const std::vector<uint64_t> ids = NewestFirst(L"Application", L"*[System[EventID=2001]]");
    EXPECT_TRUE(
        std::includes(found.begin(), found.end(), ids.begin(), ids.end(), std::greater<>()));

    Client client(L"Application", Filters({SearchFilter(L"orchard")}), 25);
    const Page page = client.Next();
    const std::vector<uint64_t> all = NewestFirst(L"Application");
    const auto last = std::find(all.begin(), all.end(), page.records.back());
    EXPECT_EQ(page.mark.GetInt64(L"Position"), last - all.begin() + 1);
    // Not a simple query: no page total.
    EXPECT_EQ(page.events.GetInt64(L"TotalPagesCount"), 0);
}

// Manual items keep the events whose second insertion string is one of them; a query without a
// match gives empty pages at the back.
TEST_F(EventQueryContextTest, ManualItemsAndEmptyViews) {
    std::vector<uint64_t> oracle;
    {
        const QueriedEvents all =
            AllEvents(L"Application", EvtQueryChannelPath | EvtQueryReverseDirection);
        for (const auto& event : all.events) {
            const EventXml xml(*event);
            const auto data = xml.Data();
            if (data.size() > 1 && (data[1] == L"Srv1" || data[1] == L"db-01")) {
                oracle.push_back(static_cast<uint64_t>(xml.Number("EventRecordID")));
            }
        }
    }
    ASSERT_GT(oracle.size(), 20u);
    // Older events that are no items' follow the last match: a last page that the matches fill
    // exactly is still the back.
    ASSERT_NE(oracle.back(), NewestFirst(L"Application").back());
    for (const size_t count : {size_t{20}, oracle.size()}) {
        Client client(L"Application", {}, static_cast<int64_t>(count), {}, {L"Srv1", L"db-01"});
        ExpectPagesToTheEnd(client, oracle, count);
    }

    Client empty(L"Application", Filters({ListFilter(L"EventIdFilter", L"EventIds", {L"31999"})}),
                 20);
    EXPECT_EQ(empty.Context().GetSkippedCount(), 0u);
    for (int i = 1; i <= 2; ++i) {
        const Page page = empty.Next();
        EXPECT_TRUE(page.records.empty());
        EXPECT_TRUE(page.isBack);
        EXPECT_TRUE(page.isFront);
        EXPECT_EQ(page.currentPage, 1);
    }
}

// Real logs written by Windows: paged to the end and back, the pages are the log's events newest
// first.
TEST_F(EventQueryContextTest, PagesRealLogs) {
    const auto files = SharedEvtxFiles();
    if (files.empty()) {
        GTEST_SKIP() << "no shared evtx samples";
    }
    size_t events = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const std::wstring path = L"file://" + file.wstring();
        const std::vector<uint64_t> oracle = NewestFirst(file.wstring(), L"*", EvtQueryFilePath);
        Client client(path, {}, 50);
        ExpectPagesToTheEnd(client, oracle, 50);
        if (oracle.size() > 100) {
            client.Previous();
            EXPECT_EQ(client.Previous().records,
                      Slice(oracle, (oracle.size() - 1) / 50 * 50 - 100, 50));
        }
        events += oracle.size();
    }
    EXPECT_GT(events, 10000u);
}

// A page size of 0 or less is refused; a stopped context fails its fetches; a time-out with
// nothing returned is asked again; a failing read is the page's failure and leaves the paging as
// it was.
TEST_F(EventQueryContextTest, RefusalsAndFailures) {
    const LogCapture log("ERR");
    Client client(L"Application", {}, 10);
    for (const int64_t count : {int64_t{0}, int64_t{-5}}) {
        const EkNodePtr response = Node(L"EventViewerResponse");
        EXPECT_EQ(ThrownCode([&] {
                      client.Context().GetData(PageRequest(NewMark(count), 0, count), response,
                                               nullptr);
                  }),
                  HresultFromWin32(ERROR_INVALID_DATA));
        EXPECT_EQ(response.GetChildCount(), 0u);
    }
    EXPECT_EQ(log.Count(L"Halyard::EventQueryContext::GetData failed:  Count of events can't be 0"),
              1u);

    const std::vector<uint64_t> oracle = NewestFirst(L"Application");
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 0, 3, 0);
    EXPECT_EQ(client.Next().records, Slice(oracle, 0, 10));
    PalEventLogInjectFault("EvtNext", 4317, 0, 1, 0);
    EXPECT_EQ(ThrownCode([&] { client.Next(); }), HresultFromWin32(4317));
    // A failure after some events of the page were read: asked again, the same page comes.
    PalEventLogInjectFault("EvtNext", 4317, 0, 1, 3);
    EXPECT_EQ(ThrownCode([&] { client.Next(); }), HresultFromWin32(4317));
    const auto again = client.Next();
    EXPECT_EQ(again.records, Slice(oracle, 10, 10));
    EXPECT_EQ(again.currentPage, 2);

    client.Context().Stop();
    EXPECT_EQ(ThrownCode([&] { client.Next(); }), HR_QUERY_CONTEXT_STOPPED);
}

// A log cleared under a view: its result set is stale (EvtNext fails with 15011, EvtSeek with
// 15012); the view is queried again and starts over at its first page, with what the log holds
// now. The channel is one that no other test of this program reads.
TEST_F(EventQueryContextTest, ClearedLogStartsTheViewAgain) {
    const wchar_t* channel = L"Corvane/Operational";
    const std::vector<uint64_t> oracle = NewestFirst(channel);
    ASSERT_GT(oracle.size(), 10u);
    Client forwards(channel, {}, 5);
    Client backwards(channel, {}, 5);
    EXPECT_EQ(forwards.Next().records, Slice(oracle, 0, 5));
    EXPECT_EQ(backwards.Next().records, Slice(oracle, 0, 5));
    EXPECT_EQ(backwards.Next().records, Slice(oracle, 5, 5));
    const LogCapture log("ERR");
    ASSERT_TRUE(PalEventLogClearChannel(channel));
    for (const Page& page : {forwards.Next(), backwards.Previous()}) {
        EXPECT_TRUE(page.records.empty());
        EXPECT_EQ(page.currentPage, 1);
        EXPECT_TRUE(page.isFront);
        EXPECT_TRUE(page.isBack);
        EXPECT_EQ(PagesOf(page.mark), std::vector<int64_t>{0});
    }
    for (const wchar_t* code : {L"0x80073AA3 ", L"0x80073AA4 "}) {
        EXPECT_EQ(log.Starting(std::wstring(L"Halyard::EventQueryContext::GetData failed: Query "
                                            L"again due to: ") +
                               code)
                      .size(),
                  1u);
    }
    EXPECT_TRUE(forwards.Next().records.empty());

    // Kept at two events, the channel rolls over with the third written after the clear: the view
    // starts again with the newest two.
    PalEventLogSetBehaviour(PalChannelMaxEvents, 2);
    for (int i = 0; i < 2; ++i) {
        WriteEvent(L"Corvane-Operational-Source", EVENTLOG_INFORMATION_TYPE, 10);
    }
    Client rolling(channel, {}, 5);
    const std::vector<uint64_t> two = NewestFirst(channel);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(rolling.Next().records, two);
    WriteEvent(L"Corvane-Operational-Source", EVENTLOG_INFORMATION_TYPE, 10);
    const Page rolled = rolling.Next();
    EXPECT_EQ(rolled.records, NewestFirst(channel));
    EXPECT_EQ(rolled.records.front(), two.front() + 1);
    EXPECT_EQ(rolled.currentPage, 1);
}

// Messages whose inserts cannot all be resolved keep their text, the failure logged: one with a
// parameter insert the provider has no message for (15030, as ordinary System events have), and
// one longer than the first buffer whose sizing call reports the insert error (as some Windows
// builds do) rather than the size.
TEST_F(EventQueryContextTest, MessagesWithUnresolvedInsertsKeepTheirText) {
    const std::wstring folder = L"D:\\" + std::wstring(150, L'f');
    WriteEvent(L"Orchard Backup", EVENTLOG_INFORMATION_TYPE, 0x40000064, {folder.c_str(), L"3"});
    WriteEvent(L"Orchard Backup", EVENTLOG_INFORMATION_TYPE, 0x40000064,
               {L"D:\\Plan", L"%%4711", L"5"});
    PalEventLogSetBehaviour(PalFormatSizingInsertError, 1);
    PalEventLogSetBehaviour(PalParameterInsertsInStrings, 1);
    const LogCapture log("ERR");
    Client client(L"Application", {}, 2);
    const Page page = client.Next();
    std::vector<std::wstring> messages;
    ForEachChild(page.events,
                 [&](const EkNodePtr& event) { messages.push_back(event.GetString(L"Message")); });
    EXPECT_EQ(messages,
              (std::vector<std::wstring>{L"Backup of D:\\Plan completed: %%4711 files, 5 MB.",
                                         L"Backup of " + folder + L" completed: 3 files, %3 MB."}));
    EXPECT_EQ(log.Starting(L"Halyard::EventMaker::GetEventMessageString failed: Failed getting "
                           L"event message due to: 0x80042001 ")
                  .size(),
              1u);
}
