#include "Halyard/Corvane/SessionsHolder.h"

#include "SessionTestSupport.h"

#include "ErrorHandling/ErrorDescription.h"
#include "Helpers/RequestProcessingUtils.h"
#include "NodeTree/QuarryText.h"
#include "Trellis/Trellis.h"
#include "Win32/PalEventLogFaults.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

using namespace EventLogTesting;
using namespace SessionTesting;
using Halyard::Session;
using Halyard::SessionsHolder;
using RequestProcessing::NewGuid;

namespace {

constexpr int64_t Minute = 60LL * 10'000'000;

// The holders' clock in these tests.
std::atomic<int64_t> g_now{0};
int64_t TestClock() {
    return g_now.load();
}

// A holder's configuration: the resolver selects Halyard-Monitor 2001 as plan-and-item events
// and skips Orchard Backup; no sweep thread unless asked for.
EkNodePtr Configuration(int64_t checkInterval = 0,
                        const std::vector<std::wstring>& skipped = {L"Orchard Backup"}) {
    const EkNodePtr configuration = ResolverConfiguration(skipped, false);
    configuration.SetAttribute(L"LogChannelName", std::wstring(L"Application"));
    configuration.SetAttribute(L"SessionTimeLiveInMin", int64_t{10});
    configuration.SetAttribute(L"SessionCheckIntervalInSec", checkInterval);
    configuration.SetAttribute(L"TimeOutIntervalInSec", int32_t{5});
    return configuration;
}

GUID SessionIdOf(const EkNodePtr& mark) {
    return mark.GetGuid(L"SessionId");
}

// Serves a page through the holder; the page and its "NewEventsCount".
Page ServePage(SessionsHolder& holder, const EkNodePtr& request) {
    const EkNodePtr response = Node(L"EventViewerResponse");
    holder.GetSessionEvents(request, response);
    Page page(response);
    EXPECT_TRUE(page.events.HasAttribute(L"NewEventsCount"));
    return page;
}

class SessionsHolderTest : public ::testing::Test {
protected:
    void SetUp() override { g_now = Halyard::SystemWallClock(); }
    void TearDown() override { PalEventLogClearFaults(); }
};

// A request-context manager that holds the next thread asking for its request's context (a page
// read asks before each batch) until it is let go: a page read stopped midway.
class HoldingContextManager final : public Halyard::Interfaces::IRequestContextMgr {
public:
    HoldingContextManager() {
        TrGetNamedInstance(Name().Get(), 0, &Halyard::Interfaces::IID_RequestContextMgr,
                           reinterpret_cast<void**>(&m_original));
        TrRegisterNamedInstance(Name().Get(), &Halyard::Interfaces::IID_RequestContextMgr, this);
    }
    ~HoldingContextManager() {
        TrRegisterNamedInstance(Name().Get(), &Halyard::Interfaces::IID_RequestContextMgr,
                                m_original);
        m_original->Release();
    }
    HoldingContextManager(const HoldingContextManager&) = delete;
    HoldingContextManager& operator=(const HoldingContextManager&) = delete;

    uint32_t HALYARD_CALL AddRef() noexcept override { return 2; }
    uint32_t HALYARD_CALL Release() noexcept override { return 1; }
    HRESULT HALYARD_CALL QueryInterface(const GUID* iid, void** object) noexcept override {
        *object = nullptr;
        if (!IsEqualGUID(*iid, Halyard::Interfaces::IID_Base) &&
            !IsEqualGUID(*iid, Halyard::Interfaces::IID_RequestContextMgr)) {
            return E_NOINTERFACE;
        }
        *object = this;
        return S_OK;
    }
    HRESULT HALYARD_CALL
    GetCurrentContext(uint32_t, Halyard::Interfaces::IRequestContext** context) noexcept override {
        *context = nullptr;
        std::unique_lock lock(m_mutex);
        if (m_armed) {
            m_armed = false;
            m_holding = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return !m_holding; });
        }
        return S_OK;
    }

    // The next caller is held.
    void HoldNext() {
        std::lock_guard lock(m_mutex);
        m_armed = true;
    }
    void WaitUntilHolding() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_holding; });
    }
    void LetGo() {
        std::lock_guard lock(m_mutex);
        m_holding = false;
        m_changed.notify_all();
    }

private:
    static const NodeTree::Utf16Arg& Name() {
        static const NodeTree::Utf16Arg name(L"Core.RequestContextMgr");
        return name;
    }

    Halyard::Interfaces::IRequestContextMgr* m_original = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_armed = false;
    bool m_holding = false;
};

} // namespace

// A session is found by its id and reused while the filters agree (a request without filters
// agrees with any); other filters make a new session under the same id.
TEST_F(SessionsHolderTest, SessionsAreReusedByIdUntilTheFiltersChange) {
    const LogCapture log("DBG");
    SessionsHolder holder(Configuration(), &TestClock);
    const GUID id = NewGuid();
    const EkNodePtr infoOnly = Filters({ListFilter(L"LevelFilter", L"Levels", {L"4"})});
    const std::vector<uint64_t> info = NewestFirst(L"Application", L"*[System[Level=4]]");

    Page page = ServePage(holder, PageRequest(NewMark(20, &id), 0, 20, infoOnly));
    EXPECT_EQ(page.records, Slice(info, 0, 20));
    EXPECT_EQ(SessionIdOf(page.mark), id);
    EXPECT_EQ(page.events.GetInt64(L"NewEventsCount"), 0);
    EXPECT_EQ(log.Count(L"Session not found. Need to create." + Halyard::GuidText(id)), 1u);

    page = ServePage(holder, PageRequest(page.mark, 0, 20, infoOnly));
    EXPECT_EQ(page.records, Slice(info, 20, 20));
    page = ServePage(holder, PageRequest(page.mark, 0, 20));
    EXPECT_EQ(page.records, Slice(info, 40, 20));
    EXPECT_EQ(page.currentPage, 3);
    EXPECT_EQ(log.Starting(L"Session not found.").size(), 1u);
    EXPECT_TRUE(log.Starting(L"Filters was changed.").empty());

    // One level more: a new session from the request's mark, the same id.
    const EkNodePtr infoAndErrors = Filters({ListFilter(L"LevelFilter", L"Levels", {L"4", L"2"})});
    page = ServePage(holder, PageRequest(page.mark, 0, 20, infoAndErrors));
    EXPECT_EQ(log.Count(L"Filters was changed. Need to create."), 1u);
    EXPECT_EQ(SessionIdOf(page.mark), id);
    EXPECT_EQ(page.records,
              Slice(NewestFirst(L"Application", L"*[System[Level=4 or Level=2]]"), 60, 20));
    EXPECT_EQ(holder.GetNewEventsCount(MarkRequest(L"R", NewMark(20, &id), infoAndErrors)), 0u);
    EXPECT_EQ(log.Starting(L"Session not found.").size(), 1u);
    EXPECT_TRUE(holder.IsSessionExist(id));
}

// A second session under an id replaces (and stops) the first; removal takes the id's session,
// and a missing or unnamed one is not found.
TEST_F(SessionsHolderTest, AddingReplacesAndRemovingTakesTheSession) {
    SessionsHolder holder(Configuration(), &TestClock);
    const GUID id = NewGuid();
    const EkNodePtr request = SessionRequest(L"CreateSessionRequest", id);
    EkNodePtr mark;
    const std::shared_ptr<Session> first = holder.IntAddSession(request, mark, nullptr);
    const EkNodePtr response = Node(L"EventViewerResponse");
    holder.AddSession(request, response);
    ASSERT_EQ(response.GetChildCount(), 1u);
    EXPECT_EQ(SessionIdOf(response.GetChildByName(L"ContinuationMark")), id);
    EXPECT_EQ(ThrownCode([&] {
                  first->GetData(PageRequest(mark, 0, 20), Node(L"EventViewerResponse"), nullptr);
              }),
              HR_QUERY_CONTEXT_STOPPED);
    EXPECT_EQ(ServePage(holder, PageRequest(mark, 0, 20)).records,
              Slice(NewestFirst(L"Application"), 0, 20));

    const EkNodePtr release = SessionRequest(L"ReleaseSessionRequest", id);
    holder.RemoveSession(release);
    EXPECT_FALSE(holder.IsSessionExist(id));
    EXPECT_EQ(ThrownCode([&] { holder.RemoveSession(release); }), HR_NOT_FOUND);
    const EkNodePtr unnamed = Node(L"ReleaseSessionRequest");
    unnamed.AddChild(NewMark(20));
    EXPECT_EQ(ThrownCode([&] { holder.RemoveSession(unnamed); }), HR_NOT_FOUND);
    EXPECT_EQ(ThrownCode([&] { holder.RemoveSession(Node(L"ReleaseSessionRequest")); }),
              HR_NOT_FOUND);
}

// Beyond its most sessions the holder refuses new ids, whichever request would make one, and
// takes them again once a session is gone; a known id is still served and replaced.
TEST_F(SessionsHolderTest, NewSessionsBeyondTheMaximumAreRefused) {
    EkNodePtr configuration = Configuration();
    configuration.SetAttribute(L"MaxSessionsCount", int32_t{2});
    SessionsHolder holder(configuration, &TestClock);
    const GUID first = NewGuid();
    const GUID second = NewGuid();
    holder.AddSession(SessionRequest(L"CreateSessionRequest", first), Node(L"Response"));
    ServePage(holder, PageRequest(NewMark(20, &second), 0, 20));

    const GUID thirdId = NewGuid();
    const EkNodePtr third = NewMark(20, &thirdId);
    EXPECT_EQ(ThrownCode([&] {
                  holder.AddSession(SessionRequest(L"CreateSessionRequest", NewGuid()),
                                    Node(L"Response"));
              }),
              HR_TOO_MANY_SESSIONS);
    EXPECT_EQ(ThrownCode([&] { holder.GetSessionEvents(PageRequest(third, 0, 20), Node(L"R")); }),
              HR_TOO_MANY_SESSIONS);
    EXPECT_EQ(ThrownCode([&] { holder.GetNewEventsCount(PageRequest(third, 0, 20)); }),
              HR_TOO_MANY_SESSIONS);
    EXPECT_FALSE(holder.IsSessionExist(thirdId));
    EXPECT_NO_THROW(
        holder.AddSession(SessionRequest(L"CreateSessionRequest", first), Node(L"Response")));
    EXPECT_EQ(ServePage(holder, PageRequest(NewMark(20, &second), 0, 20)).records.size(), 20u);

    holder.RemoveSession(SessionRequest(L"ReleaseSessionRequest", first));
    ServePage(holder, PageRequest(third, 0, 20));
    EXPECT_TRUE(holder.IsSessionExist(thirdId));
}

// Item names that are also plan names leave the query for the page's manual filter; a plan filter
// brings the suppression of the providers to skip. Pages then hold what both ask for.
TEST_F(SessionsHolderTest, ItemFiltersMoveToManualItemsWhenTheQueryCannotHoldThem) {
    SessionsHolder holder(Configuration(), &TestClock);
    const auto prepared = [&](std::initializer_list<EkNodePtr> filters) {
        const EkNodePtr request = Node(L"CheckFiltersRequest");
        request.AddChild(Filters(filters));
        holder.CheckFilters(request);
        return request.GetChildByName(L"Filters");
    };
    const auto types = [](const EkNodePtr& filters) {
        std::vector<std::wstring> found;
        ForEachChild(filters,
                     [&](const EkNodePtr& child) { found.push_back(child.GetNodeType()); });
        return found;
    };
    const auto manualItems = [](const EkNodePtr& filters) {
        std::vector<std::wstring> items;
        filters.GetAttribute(L"ManualItems", items);
        return items;
    };
    using Names = std::vector<std::wstring>;

    EkNodePtr filters =
        prepared({ListFilter(L"ItemFilter", L"Items", {L"A"}),
                  ListFilter(L"MonitoringPlanFilter", L"MonitoringPlans", {L"A", L"B"})});
    EXPECT_EQ(types(filters), (Names{L"MonitoringPlanFilter", L"SuppressProviderFilter"}));
    EXPECT_EQ(manualItems(filters), Names{L"A"});
    std::vector<std::wstring> providers;
    filters.GetChildByIndex(1).GetAttribute(L"Providers", providers);
    EXPECT_EQ(providers, Names{L"Orchard Backup"});

    filters = prepared({ListFilter(L"ItemFilter", L"Items", {L"A"}),
                        ListFilter(L"MonitoringPlanFilter", L"MonitoringPlans", {L"B"})});
    EXPECT_EQ(types(filters),
              (Names{L"ItemFilter", L"MonitoringPlanFilter", L"SuppressProviderFilter"}));
    EXPECT_TRUE(manualItems(filters).empty());
    filters = prepared({ListFilter(L"ItemFilter", L"Items", {L"A"})});
    EXPECT_TRUE(types(filters).empty());
    EXPECT_EQ(manualItems(filters), Names{L"A"});
    // Without providers to skip nothing is suppressed, and the plan filter stays valid.
    SessionsHolder skipsNone(Configuration(0, {}), &TestClock);
    const EkNodePtr check = Node(L"CheckFiltersRequest");
    check.AddChild(Filters({ListFilter(L"MonitoringPlanFilter", L"MonitoringPlans", {L"A"})}));
    skipsNone.CheckFilters(check);
    EXPECT_EQ(types(check.GetChildByName(L"Filters")), Names{L"MonitoringPlanFilter"});

    // Pages: items by the manual filter, and plans and items in the query (which also lets the
    // plans' events without an item through).
    const Names plans = {L"Plan A", L"Servers"};
    const Names items = {L"Srv1", L"Srv2"};
    for (const bool withPlans : {false, true}) {
        const EkNodePtr set =
            withPlans ? Filters({ListFilter(L"MonitoringPlanFilter", L"MonitoringPlans", plans),
                                 ListFilter(L"ItemFilter", L"Items", items)})
                      : Filters({ListFilter(L"ItemFilter", L"Items", items)});
        const Page page = ServePage(holder, PageRequest(NewMark(20), 0, 20, set));
        EXPECT_EQ(page.records.size(), 20u);
        ForEachChild(page.events, [&](const EkNodePtr& event) {
            const std::wstring item = event.GetString(L"ItemName", std::wstring());
            EXPECT_TRUE(std::find(items.begin(), items.end(), item) != items.end() ||
                        (withPlans && item.empty()))
                << item;
            if (withPlans) {
                EXPECT_NE(
                    std::find(plans.begin(), plans.end(), event.GetString(L"MonitoringPlanName")),
                    plans.end());
            }
        });
    }
}

// The sweep removes the sessions idle for more than the configured whole minutes, and those used
// a minute or more in the future, and no other; a request for a removed session makes it again.
TEST_F(SessionsHolderTest, SweepRemovesIdleSessionsOnly) {
    const LogCapture log("DBG");
    SessionsHolder holder(Configuration(), &TestClock);
    const int64_t start = g_now;
    constexpr int64_t Second = 10'000'000;
    const GUID used = NewGuid();
    const GUID idle = NewGuid();
    const GUID ahead = NewGuid();
    const GUID slightlyAhead = NewGuid();
    const EkNodePtr response = Node(L"R");
    holder.AddSession(SessionRequest(L"CreateSessionRequest", used), response);
    holder.AddSession(SessionRequest(L"CreateSessionRequest", idle), response);
    // Used while the clock was ahead: a minute, and thirty seconds.
    g_now = start + Minute;
    holder.AddSession(SessionRequest(L"CreateSessionRequest", ahead), response);
    g_now = start + 30 * Second;
    holder.AddSession(SessionRequest(L"CreateSessionRequest", slightlyAhead), response);

    g_now = start;
    holder.CheckDeadSessions();
    EXPECT_FALSE(holder.IsSessionExist(ahead));
    EXPECT_TRUE(holder.IsSessionExist(slightlyAhead));
    EXPECT_TRUE(holder.IsSessionExist(used));
    EXPECT_EQ(log.Count(L"Delete session with id: " + Halyard::GuidText(ahead)), 1u);

    g_now = start + Minute;
    EXPECT_EQ(holder.GetNewEventsCount(SessionRequest(L"R", used)), 0u);
    g_now = start + 10 * Minute + 59 * Second;
    holder.CheckDeadSessions();
    EXPECT_TRUE(holder.IsSessionExist(idle));
    // Idle 11 minutes, 10 minutes 30 seconds, and 10 minutes.
    g_now = start + 11 * Minute;
    holder.CheckDeadSessions();
    EXPECT_FALSE(holder.IsSessionExist(idle));
    EXPECT_TRUE(holder.IsSessionExist(slightlyAhead));
    EXPECT_TRUE(holder.IsSessionExist(used));
    EXPECT_EQ(log.Starting(L"Delete session with id: {").size(), 2u);

    EXPECT_EQ(holder.GetNewEventsCount(SessionRequest(L"R", idle)), 0u);
    EXPECT_TRUE(holder.IsSessionExist(idle));
    EXPECT_EQ(log.Count(L"Session not found. Need to create." + Halyard::GuidText(idle)), 1u);
    // A holder with a sweep thread (every two minutes here) still goes at once.
    SessionsHolder sweeping(Configuration(2));
}

// A page read runs outside the holder's lock: other sessions are served and made meanwhile, a
// second read of the same session waits, and a removal or a sweep ends the read with 0x80047F03
// while the session lives until the read returns; the read is a use from its start.
TEST_F(SessionsHolderTest, PageReadsRunOutsideTheLockAndEndWhenTheSessionGoes) {
    SessionsHolder holder(Configuration(), &TestClock);
    HoldingContextManager contexts;
    const std::vector<uint64_t> all = NewestFirst(L"Application");
    const GUID first = NewGuid();
    const GUID other = NewGuid();
    EkNodePtr mark;
    holder.IntAddSession(SessionRequest(L"CreateSessionRequest", first), mark, nullptr);
    const EkNodePtr otherResponse = Node(L"R");
    holder.AddSession(SessionRequest(L"CreateSessionRequest", other), otherResponse);

    contexts.HoldNext();
    std::vector<uint64_t> held;
    std::thread reader([&] { held = ServePage(holder, PageRequest(mark, 0, 20)).records; });
    contexts.WaitUntilHolding();
    EXPECT_TRUE(holder.IsSessionExist(first));
    EXPECT_EQ(ServePage(holder, PageRequest(otherResponse.GetChildByIndex(0), 0, 20)).records,
              Slice(all, 0, 20));
    holder.AddSession(SessionRequest(L"CreateSessionRequest", NewGuid()), Node(L"R"));
    std::atomic<bool> secondDone{false};
    std::thread second([&] {
        ServePage(holder, PageRequest(mark, 0, 20));
        secondDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(secondDone);
    contexts.LetGo();
    reader.join();
    second.join();
    EXPECT_EQ(held, Slice(all, 0, 20));

    // While a read is held: a removal, a sweep long into the read, and a sweep of a session idle
    // until the read began, which the read's start keeps (a page read is a use).
    struct Case {
        const char* what;
        bool sweep;
        int64_t idleBefore; // minutes the session idles before the read
        int64_t idleDuring; // and during it, before the sweep
        bool kept;
    };
    for (const Case& c :
         {Case{"removal", false, 0, 0, false}, Case{"sweep long into the read", true, 0, 20, false},
          Case{"sweep of a session idle until the read", true, 11, 0, true}}) {
        SCOPED_TRACE(c.what);
        const GUID id = NewGuid();
        std::weak_ptr<Session> session =
            holder.IntAddSession(SessionRequest(L"CreateSessionRequest", id), mark, nullptr);
        g_now += c.idleBefore * Minute;
        contexts.HoldNext();
        HRESULT code = S_OK;
        std::thread read([&] {
            code =
                ThrownCode([&] { holder.GetSessionEvents(PageRequest(mark, 0, 20), Node(L"R")); });
        });
        contexts.WaitUntilHolding();
        if (c.sweep) {
            g_now += c.idleDuring * Minute;
            holder.CheckDeadSessions();
        } else {
            holder.RemoveSession(SessionRequest(L"ReleaseSessionRequest", id));
        }
        EXPECT_EQ(holder.IsSessionExist(id), c.kept);
        EXPECT_FALSE(session.expired());
        contexts.LetGo();
        read.join();
        EXPECT_EQ(code, c.kept ? S_OK : HR_QUERY_CONTEXT_STOPPED);
        EXPECT_EQ(session.expired(), !c.kept);
    }
}

// Many sessions made, paged, polled, counted and released on several threads while the sweep
// removes idle ones and events are written: every page is the view's, every failure a removal's.
TEST_F(SessionsHolderTest, ManySessionsUnderSweepAndWrites) {
    SessionsHolder holder(Configuration(), &TestClock);
    // A view before every written event: pages do not move while events arrive.
    const std::wstring view = ViewTime(-std::chrono::hours(1));
    const std::wstring before = L"TimeCreated[@SystemTime<='" + view + L"']";
    const std::vector<uint64_t> oracle =
        NewestFirst(L"Application", (L"*[System[" + before + L"]]").c_str());
    // Only the demo service's events hold "demo" (in its name and its messages).
    const std::vector<uint64_t> searchOracle = NewestFirst(
        L"Application",
        (L"*[System[Provider[@Name='Corvane-Demo-Service'] and " + before + L"]]").c_str());
    ASSERT_GT(searchOracle.size(), 30u);
    std::atomic<bool> running{true};
    std::atomic<int> retries{0};

    // Serves the request again while its session is removed under it, a bounded number of times.
    const auto serve = [&](const EkNodePtr& request) -> std::optional<Page> {
        for (int attempt = 0; attempt < 100; ++attempt) {
            try {
                return ServePage(holder, request);
            } catch (const HRX& failure) {
                EXPECT_EQ(failure.Code(), HR_QUERY_CONTEXT_STOPPED);
                ++retries;
            }
        }
        ADD_FAILURE() << "the session was removed under 100 reads in a row";
        return std::nullopt;
    };
    const auto worker = [&](int index) {
        for (int iteration = 0; iteration < 6; ++iteration) {
            const GUID id = NewGuid();
            const bool searched = index % 2 != 0;
            const EkNodePtr filters = searched ? Filters({SearchFilter(L"demo")}) : EkNodePtr();
            const std::vector<uint64_t>& expected = searched ? searchOracle : oracle;
            const auto first = serve(PageRequest(NewMark(15, &id, view), 0, 15, filters));
            ASSERT_TRUE(first);
            const auto second = serve(PageRequest(first->mark, 0, 15, filters));
            ASSERT_TRUE(second);
            const auto back = serve(PageRequest(second->mark, 1, 15, filters));
            ASSERT_TRUE(back);
            EXPECT_EQ(first->records, Slice(expected, 0, 15));
            EXPECT_EQ(second->records, Slice(expected, 15, 15));
            EXPECT_EQ(back->records, first->records);
            holder.GetNewEventsCount(SessionRequest(L"R", id));
            const EkNodePtr counts = Node(L"R");
            holder.GetEventsCount(Node(L"CountEventsRequest"), counts);
            EXPECT_GE(counts.GetInt64(L"TotalEventsCount"), static_cast<int64_t>(oracle.size()));
            const HRESULT removed =
                ThrownCode([&] { holder.RemoveSession(SessionRequest(L"R", id)); });
            EXPECT_TRUE(removed == S_OK || removed == HR_NOT_FOUND) << HexCode(removed);
        }
    };
    std::thread sweeper([&] {
        while (running) {
            g_now += Minute;
            holder.CheckDeadSessions();
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    // A few dozen events: every session made later passes over all of them to its view.
    std::thread writer([&] {
        for (int written = 0; running && written < 40; ++written) {
            WriteEvents(L"Orchard Backup", EVENTLOG_INFORMATION_TYPE, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back(worker, i);
    }
    for (std::thread& thread : workers) {
        thread.join();
    }
    running = false;
    sweeper.join();
    writer.join();
    RecordProperty("retries", retries.load());
}
