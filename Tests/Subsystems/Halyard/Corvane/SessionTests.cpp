#include "Halyard/Corvane/Session.h"

#include "SessionTestSupport.h"

#include "ErrorHandling/ErrorDescription.h"
#include "Trellis/Trellis.h"
#include "Win32/PalEventLogFaults.h"

#include <thread>

using namespace EventLogTesting;
using namespace SessionTesting;
using Halyard::Session;

namespace {

class SessionTest : public ::testing::Test {
protected:
    void TearDown() override { PalEventLogClearFaults(); }
};

// Polls until the count moves past `previous` (new events are delivered on the service's
// thread); gives up after ten seconds.
uint64_t PollUntilAbove(Session& session, uint64_t previous) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    uint64_t count = session.GetNewEventsCount();
    while (count <= previous && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        count = session.GetNewEventsCount();
    }
    return count;
}

// The count once the deliveries of what was written have all arrived: polled until it rises above
// `previous`, then until it stays the same for 200 ms.
uint64_t PollUntilSettled(Session& session, uint64_t previous) {
    uint64_t count = PollUntilAbove(session, previous);
    for (int quiet = 0; quiet < 10;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint64_t now = session.GetNewEventsCount();
        quiet = now == count ? quiet + 1 : 0;
        count = now;
    }
    return count;
}

} // namespace

// The count starts at the events newer than the mark's view that the bookmark passed over and rises
// by one per poll that finds new events; the new events stay out of the session's pages. Events
// written together may reach the session in one delivery or in several (as on Windows, delivery
// runs beside the writer), so three of them raise the count by one to three; one raises it by one.
TEST_F(SessionTest, NewEventsAreCountedOncePerPollAndStayOutOfThePages) {
    // A view of the present; then events of the next second, newer than it.
    const std::vector<uint64_t> before = NewestFirst(L"Application");
    const std::wstring view = ViewTime(std::chrono::seconds(0));
    std::this_thread::sleep_until(
        std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()) +
        std::chrono::milliseconds(10));
    WriteEvents(L"Orchard Backup", EVENTLOG_WARNING_TYPE, 2);
    Session session(L"Application", {}, NewMark(20, nullptr, view), EvtSubscribeToFutureEvents,
                    1000);
    EXPECT_EQ(session.GetNewEventsCount(), 2u);
    EXPECT_EQ(session.GetNewEventsCount(), 2u);

    WriteEvents(L"Orchard Backup", EVENTLOG_WARNING_TYPE, 3);
    const uint64_t afterThree = PollUntilSettled(session, 2);
    EXPECT_GE(afterThree, 3u);
    EXPECT_LE(afterThree, 5u);
    EXPECT_EQ(session.GetNewEventsCount(), afterThree);
    WriteEvents(L"Orchard Backup", EVENTLOG_WARNING_TYPE, 1);
    EXPECT_EQ(PollUntilAbove(session, afterThree), afterThree + 1);

    const EkNodePtr response = Node(L"EventViewerResponse");
    session.GetData(PageRequest(NewMark(20), 0, 20), response, nullptr);
    EXPECT_EQ(Page(response).records, Slice(before, 0, 20));
    EXPECT_EQ(NewestFirst(L"Application").size(), before.size() + 6);
}

// The subscription's callback sets the signal event; what it cannot do, and errors the service
// reports, are logged, and it returns 0 whatever happens.
TEST_F(SessionTest, SubscriptionCallbackSignalsAndLogs) {
    const LogCapture log("ERR");
    const EventsApiUtils::SmartHandle signal = EventsApiUtils::MakeSignalEvent();
    EXPECT_EQ(Session::EvtSubscribeCallback(EvtSubscribeActionDeliver, nullptr, nullptr), 0u);
    EXPECT_EQ(WaitForSingleObject(*signal, 0), WAIT_TIMEOUT);
    EXPECT_EQ(Session::EvtSubscribeCallback(EvtSubscribeActionDeliver, *signal, nullptr), 0u);
    EXPECT_EQ(WaitForSingleObject(*signal, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(log.Texts().empty());

    // A handle that is no event.
    EXPECT_EQ(Session::EvtSubscribeCallback(EvtSubscribeActionDeliver,
                                            reinterpret_cast<PVOID>(uintptr_t{0x7777}), nullptr),
              0u);
    EXPECT_EQ(
        log.Starting(L"Halyard::Session::EvtSubscribeCallback failed: Can't set new event signal "
                     L"due to: 0x80070006 ")
            .size(),
        1u);
    EXPECT_EQ(Session::EvtSubscribeCallback(EvtSubscribeActionError, nullptr,
                                            reinterpret_cast<EVT_HANDLE>(uintptr_t{5})),
              0u);
    EXPECT_EQ(log.Starting(L"Halyard::Session::EvtSubscribeCallback failed: 0x80070005 ").size(),
              1u);
}

// An invalid query or a time-out becomes 0x80042002 around the failure; another failure stays as
// it is; either is logged, and a session is not made.
TEST_F(SessionTest, FilterCheckWrapsInvalidQueriesAndTimeOuts) {
    const LogCapture log("ERR");
    const EkNodePtr filters = Filters({ListFilter(L"LevelFilter", L"Levels", {L"2"})});
    EXPECT_EQ(Session::SerializeAndCheckFilters(L"Application", filters).GetString(L"QueryString"),
              Serialized(L"Application", filters).GetString(L"QueryString"));

    for (const DWORD error : {DWORD{ERROR_EVT_INVALID_QUERY}, DWORD{ERROR_TIMEOUT}}) {
        PalEventLogInjectFault("EvtQuery", error, 0, 1, 0);
        try {
            Session::SerializeAndCheckFilters(L"Application", filters);
            ADD_FAILURE() << "no failure";
        } catch (const HRX& failure) {
            EXPECT_EQ(failure.Code(), HR_INVALID_FILTER_SET);
            const std::wstring text = ErrorText(failure);
            EXPECT_NE(text.find(L" (" + HexCode(HresultFromWin32(error)) + L" "),
                      std::wstring::npos)
                << text;
        }
    }
    // The builder does not check values: the Event Log API does.
    const EkNodePtr invalid = Filters({ListFilter(L"LevelFilter", L"Levels", {L"x y"})});
    EXPECT_EQ(ThrownCode([&] {
                  Session(L"Application", invalid, NewMark(10), EvtSubscribeToFutureEvents, 1000);
              }),
              HR_INVALID_FILTER_SET);
    EXPECT_EQ(ThrownCode([&] { Session::SerializeAndCheckFilters(L"No/Such/Channel", {}); }),
              HresultFromWin32(ERROR_EVT_CHANNEL_NOT_FOUND));
    EXPECT_EQ(log.Starting(L"Halyard::Session::SerializeAndCheckFilters failed: Create filter "
                           L"failed due to: ")
                  .size(),
              4u);
}

// Time-outs with events are counted; a cancelled request, or a read that fails, gives no count
// rather than a short one.
TEST_F(SessionTest, CountingThroughTimeOutsCancellationAndFailures) {
    const int64_t total = static_cast<int64_t>(NewestFirst(L"System").size());
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 0, 2, 5);
    EXPECT_EQ(Session::CountEventsOfLevels(L"System", {}, {0, 1, 2, 3, 4, 5}, 1000),
              static_cast<uint64_t>(total));
    // Batches that take longer than the time-out to arrive are waited for.
    PalEventLogSetBehaviour(PalNextLatency, 30);
    EXPECT_EQ(Session::CountEventsOfLevels(L"System", {}, {0, 1, 2, 3, 4, 5}, 20),
              static_cast<uint64_t>(total));
    PalEventLogSetBehaviour(PalNextLatency, 0);

    PalEventLogInjectFault("EvtNext", 4317, 1, 1, 0);
    EXPECT_EQ(ThrownCode([] { Session::CountEventsOfLevels(L"System", {}, {4}, 1000); }),
              HresultFromWin32(4317));

    // Batches whose events are too large together fail with RPC_S_INVALID_BOUND (and leave the
    // result set past them): smaller batches count every event once.
    PalEventLogSetBehaviour(PalNextByteLimit, 64 * 1024);
    EXPECT_EQ(Session::CountEventsOfLevels(L"System", {}, {0, 1, 2, 3, 4, 5}, 1000),
              static_cast<uint64_t>(total));
    PalEventLogClearFaults();

    const Request request;
    EXPECT_EQ(TrCancelRequest(request.Get()), S_OK);
    const EkNodePtr response = Node(L"EventViewerResponse");
    EXPECT_EQ(ThrownCode([&] { Session::CountEventsByLevel(L"System", {}, 1000, response); }),
              HresultFromWin32(RPC_S_CALL_CANCELLED));
    EXPECT_FALSE(response.HasAttribute(L"CriticalEventsCount"));
}
