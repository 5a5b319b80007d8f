#include "Halyard/Corvane/EventLogApiUtils.h"

#include "EventLogTestSupport.h"
#include "Trellis/Trellis.h"
#include "Win32/PalEventLogFaults.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace EventLogTesting;
using namespace EventsApiUtils;

namespace {

// Codes Windows gives in some situations of EvtNext and EvtSeek.
constexpr DWORD RpcInvalidBound = 1734;
constexpr DWORD InvalidOperation = 4317;

// The record number of an event.
uint64_t RecordOf(EVT_HANDLE event) {
    const SmartHandle context = CreateRenderContext(EvtRenderContextSystem, nullptr, 0);
    const ByteBuffer values = RenderEvent(*context, event);
    return reinterpret_cast<const EVT_VARIANT*>(values.data())[EvtSystemEventRecordId].UInt64Val;
}

std::vector<uint64_t> RecordsOf(const SmartEvtVector& events) {
    std::vector<uint64_t> records;
    for (const SmartHandle& event : events) {
        records.push_back(RecordOf(*event));
    }
    return records;
}

class EventLogApiUtils : public ::testing::Test {
protected:
    void TearDown() override { PalEventLogClearFaults(); }
};

} // namespace

TEST_F(EventLogApiUtils, QueriesRunInTheDirectionAsked) {
    const SmartHandle newestFirst =
        MakeQuery(L"Security", L"*[System[EventID=4625]]", EvtQueryReverseDirection);
    const SmartHandle oldestFirst =
        MakeQuery(L"Security", L"*[System[EventID=4625]]", EvtQueryForwardDirection);
    SmartEvtVector newest;
    SmartEvtVector oldest;
    ASSERT_TRUE(GetNextData(*newestFirst, 1000, 0, newest).Succeeded());
    ASSERT_TRUE(GetNextData(*oldestFirst, 1000, 0, oldest).Succeeded());
    std::vector<uint64_t> reversed = RecordsOf(newest);
    std::reverse(reversed.begin(), reversed.end());
    ASSERT_GT(reversed.size(), 10u);
    EXPECT_EQ(reversed, RecordsOf(oldest));
    EXPECT_TRUE(std::is_sorted(reversed.begin(), reversed.end()));
}

// A query the service refuses is logged with its extended status and thrown.
TEST_F(EventLogApiUtils, RefusedQueriesAndSubscriptionsAreLoggedWithTheExtendedStatus) {
    const LogCapture log("ERR");
    EXPECT_EQ(ThrownCode([] { MakeQuery(L"Application", L"*[System[", 0x200); }),
              HresultFromWin32(ERROR_EVT_INVALID_QUERY));
    EXPECT_EQ(ThrownCode([] { MakeQuery(L"No/Such/Channel", L"*", 0x200); }),
              HresultFromWin32(ERROR_EVT_CHANNEL_NOT_FOUND));
    EXPECT_EQ(ThrownCode([] {
                  Subscribe(
                      [](EVT_SUBSCRIBE_NOTIFY_ACTION, PVOID, EVT_HANDLE) -> DWORD { return 0; },
                      nullptr, L"Application", L"*[System[", EvtSubscribeToFutureEvents);
              }),
              HresultFromWin32(ERROR_EVT_INVALID_QUERY));
    const auto lines = log.Texts();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& [line, prefix] :
         {std::pair{lines[0], L"Event Query failed due to: [0x80073A99 "},
          std::pair{lines[1], L"Event Query failed due to: [0x80073A9F "},
          std::pair{lines[2], L"Event subscribe failed due to: [0x80073A99 "}}) {
        EXPECT_TRUE(line.starts_with(prefix)) << line;
        const size_t status = line.find(L"] Extended status info: [");
        ASSERT_NE(status, std::wstring::npos) << line;
        // The status names the problem: it is not empty.
        EXPECT_GT(line.size(), status + 26) << line;
        EXPECT_TRUE(line.ends_with(L"]")) << line;
    }
}

// A batch that times out hands back what it got with the time-out code; the end of the result
// set leaves the caller's events alone; the single form throws there.
TEST_F(EventLogApiUtils, BatchesHandBackTimeOutsAndStopAtTheEnd) {
    const SmartHandle resultSet =
        MakeQuery(L"Application", L"*[System[EventRecordID>=100001]]", EvtQueryForwardDirection);
    SmartEvtVector events;
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 0, 1, 2);
    EXPECT_EQ(GetNextData(*resultSet, 10, 50, events).Code(), HR_TIMEOUT);
    EXPECT_EQ(RecordsOf(events), (std::vector<uint64_t>{100001, 100002}));
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 0, 1, 0);
    EXPECT_EQ(GetNextData(*resultSet, 10, 50, events).Code(), HR_TIMEOUT);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(RecordOf(*GetNextData(*resultSet, 0)), 100003u);
    ASSERT_TRUE(GetNextData(*resultSet, 10, 0, events).Succeeded());
    EXPECT_EQ(RecordsOf(events), (std::vector<uint64_t>{100004, 100005, 100006}));
    const EVT_HANDLE kept = *events[0];
    EXPECT_EQ(GetNextData(*resultSet, 10, 0, events).Code(), HR_NO_MORE_ITEMS);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(*events[0], kept);
    EXPECT_EQ(ThrownCode([&] { (void)GetNextData(*resultSet, 0); }), HR_NO_MORE_ITEMS);
    // Another failure hands nothing out; the handles the service gave with it are closed.
    PalEventLogInjectFault("EvtNext", RpcInvalidBound, 0, 1, 0);
    EXPECT_EQ(GetNextData(*resultSet, 10, 0, events).Code(), HresultFromWin32(RpcInvalidBound));
    EXPECT_EQ(*events[0], kept);
}

// In a cancelled request the batch form answers RPC_S_CALL_CANCELLED without reading; the result
// set goes on where it was once the request is over. Cancelling works from any thread, and a
// cancellation kept from before it (as a fetch keeps one) sees it.
TEST_F(EventLogApiUtils, CancelledRequestsReadNothing) {
    const SmartHandle resultSet =
        MakeQuery(L"Application", L"*[System[EventRecordID>=100001]]", EvtQueryForwardDirection);
    SmartEvtVector events;
    EXPECT_FALSE(RequestCancellation().IsCancelled());
    {
        const Request request;
        RequestCancellation kept;
        EXPECT_FALSE(kept.IsCancelled());
        std::thread([&] { EXPECT_EQ(TrCancelRequest(request.Get()), S_OK); }).join();
        EXPECT_TRUE(kept.IsCancelled());
        EXPECT_TRUE(RequestCancellation().IsCancelled());
        EXPECT_EQ(GetNextData(*resultSet, 2, 0, events, kept).Code(), HR_CALL_CANCELLED);
        EXPECT_EQ(GetNextData(*resultSet, 2, 0, events).Code(), HR_CALL_CANCELLED);
        EXPECT_TRUE(events.empty());
        // Another thread's request is its own.
        std::thread([] { EXPECT_FALSE(RequestCancellation().IsCancelled()); }).join();
    }
    EXPECT_FALSE(RequestCancellation().IsCancelled());
    ASSERT_TRUE(GetNextData(*resultSet, 2, 0, events).Succeeded());
    EXPECT_EQ(RecordsOf(events), (std::vector<uint64_t>{100001, 100002}));
}

// The bookmark pins an event; seeks count from it in the result set's order.
TEST_F(EventLogApiUtils, SeeksCountFromTheBookmark) {
    const SmartHandle resultSet = MakeQuery(L"Application", L"*", EvtQueryReverseDirection);
    const SmartHandle bookmark = CreateBookMark();
    SmartEvtVector events;
    ASSERT_TRUE(GetNextData(*resultSet, 3, 0, events).Succeeded());
    ASSERT_TRUE(UpdateBookMark(*bookmark, *events[1]).Succeeded());
    const uint64_t pinned = RecordOf(*events[1]);
    ASSERT_TRUE(GetNextData(*resultSet, 10, 0, events).Succeeded());
    for (const int64_t offset : {0, 2, 1}) {
        ASSERT_TRUE(Seek(*resultSet, *bookmark, offset).Succeeded());
        EXPECT_EQ(RecordOf(*GetNextData(*resultSet, 0)), pinned - offset) << offset;
    }
    EXPECT_EQ(UpdateBookMark(*bookmark, *resultSet).Code(), HresultFromWin32(ERROR_INVALID_HANDLE));
    PalEventLogInjectFault("EvtSeek", InvalidOperation, 0, 1, 0);
    EXPECT_EQ(Seek(*resultSet, *bookmark, 0).Code(), HresultFromWin32(InvalidOperation));
}

TEST_F(EventLogApiUtils, MessagesComeWithTheirInsertsOrTheFailure) {
    const QueriedEvents unresolved = ApplicationRecord(UnresolvedInsertRecord);
    const QueriedEvents resolved = ApplicationRecord(UnmappedUserRecord);
    SmartHandle backup;
    SmartHandle demo;
    ASSERT_TRUE(OpenPublisherMetadata(L"Orchard Backup", backup).Succeeded());
    ASSERT_TRUE(OpenPublisherMetadata(L"Corvane-Demo-Service", demo).Succeeded());
    std::wstring message = L"untouched";
    EXPECT_EQ(FormatEventMessage(*backup, *unresolved.events[0], message).Code(),
              HR_UNRESOLVED_VALUE_INSERT);
    EXPECT_EQ(message, L"Backup of D:\\Edge completed: %2 files, %3 MB.");
    EXPECT_TRUE(FormatEventMessage(*demo, *resolved.events[0], message).Succeeded());
    EXPECT_EQ(message, L"The demo service started in 12 ms.");
    // Longer than the first buffer: the second call gets the whole text.
    const QueriedEvents longer = ApplicationRecord(LongMessageRecord);
    std::wstring longMessage;
    EXPECT_TRUE(FormatEventMessage(*demo, *longer.events[0], longMessage).Succeeded());
    EXPECT_GT(longMessage.size(), 128u);
    EXPECT_TRUE(longMessage.starts_with(L"The demo service stopped. Reason: the host asked"));
    EXPECT_TRUE(longMessage.ends_with(L"while the service was still watching it."));
    // The demo service has no message for the classic backup event: nothing is stored.
    EXPECT_EQ(FormatEventMessage(*demo, *unresolved.events[0], message).Code(),
              HresultFromWin32(ERROR_EVT_MESSAGE_NOT_FOUND));
    EXPECT_EQ(message, L"The demo service started in 12 ms.");
    // A provider that is not installed: its failure comes back, and no handle.
    SmartHandle imported;
    EXPECT_EQ(OpenPublisherMetadata(L"Imported-Provider", imported).Code(),
              HresultFromWin32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(imported);
}

TEST_F(EventLogApiUtils, ChannelPublishersInTheServicesOrder) {
    const std::vector<std::wstring> publishers = GetChannelsPublishers(L"Application");
    ASSERT_GE(publishers.size(), 4u);
    EXPECT_EQ(std::vector<std::wstring>(publishers.begin(), publishers.begin() + 3),
              (std::vector<std::wstring>{L"Corvane-Demo-Service", L"Halyard-Monitor",
                                         L"Orchard Backup"}));
    EXPECT_NE(std::find(publishers.begin(), publishers.end(), L"Imported-Provider"),
              publishers.end());
    EXPECT_EQ(ThrownCode([] { GetChannelsPublishers(L"No/Such/Channel"); }),
              HresultFromWin32(ERROR_EVT_CHANNEL_NOT_FOUND));

    // The list cannot be read: both the reading call and the list are logged, the list is empty.
    const LogCapture log("ERR");
    PalEventLogInjectFault("EvtGetChannelConfigProperty", ERROR_ACCESS_DENIED, 1, 1, 0);
    EXPECT_TRUE(GetChannelsPublishers(L"Application").empty());
    const auto lines = log.Texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(L"EventsApiUtils::GetChannelProperty failed: "
                                     L"GetChannelProperty failed due to: 0x80070005 "));
    EXPECT_TRUE(lines[1].starts_with(L"EventsApiUtils::GetChannelsPublishers failed: "
                                     L"GetChannelsPublishers failed due to: 0x80070005 "));
}

TEST_F(EventLogApiUtils, SubscriptionsCallBackWithTheirContext) {
    std::atomic<int> deliveries{0};
    const auto callback = [](EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context,
                             EVT_HANDLE) -> DWORD {
        if (action == EvtSubscribeActionDeliver) {
            static_cast<std::atomic<int>*>(context)->fetch_add(1);
        }
        return 0;
    };
    {
        const SmartHandle subscription =
            Subscribe(callback, &deliveries, L"Application", L"*[System[EventRecordID>=100001]]",
                      EvtSubscribeStartAtOldestRecord);
        for (int wait = 0; wait < 1000 && deliveries.load() < 6; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(deliveries.load(), 6); // the events of Data/EdgeEvents.xml

    const SmartHandle signal = MakeSignalEvent();
    EXPECT_EQ(WaitForSingleObject(*signal, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(*signal));
    EXPECT_EQ(WaitForSingleObject(*signal, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(*signal, 0), WAIT_OBJECT_0); // manual reset
}

// Classic records by number, counted; a channel without a classic view is logged and counts 0.
TEST_F(EventLogApiUtils, ClassicLogsReadRecordsByNumber) {
    const SmartHandle log = OpenEventLogFile(L"Application");
    EXPECT_EQ(GetEventLogRecordsNumber(*log), 1506u);
    EXPECT_EQ(Halyard::GetEventsCount(L"Application"), 1506u);
    const ByteBuffer record = ReadEventFromLog(*log, UnmappedUserRecord);
    ASSERT_GE(record.size(), sizeof(EVENTLOGRECORD));
    EVENTLOGRECORD header{};
    std::memcpy(&header, record.data(), sizeof(header));
    EXPECT_EQ(header.RecordNumber, UnmappedUserRecord);
    EXPECT_EQ(header.Length, record.size());
    EXPECT_EQ(header.NumStrings, 1);
    // With one buffer for many reads, backwards with room to spare, each read starts with the
    // record asked for, whole, whatever the reads before it left there.
    ByteBuffer reused;
    for (const uint32_t number : {LongMessageRecord, UnmappedUserRecord, UnresolvedInsertRecord,
                                  LongMessageRecord, PlansOnlyRecord}) {
        const ByteBuffer alone = ReadEventFromLog(*log, number);
        ReadEventFromLog(*log, number, EVENTLOG_BACKWARDS_READ, reused.capacity(), reused);
        ASSERT_GE(reused.size(), alone.size()) << number;
        EXPECT_TRUE(std::equal(alone.begin(), alone.end(), reused.begin())) << number;
    }
    EXPECT_EQ(
        ThrownCode([&] { ReadEventFromLog(*log, 99999, EVENTLOG_BACKWARDS_READ, 0, reused); }),
        HresultFromWin32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ThrownCode([&] { ReadEventFromLog(*log, 99999); }),
              HresultFromWin32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ThrownCode([] { ReadEventFromLog(nullptr, 1); }),
              HresultFromWin32(ERROR_INVALID_DATA));

    // Also where OpenEventLogW would open Application in its place, as Windows does.
    for (const DWORD fallsBack : {0u, 1u}) {
        PalEventLogSetBehaviour(PalOpenFallsBackToApplication, fallsBack);
        const LogCapture capture("ERR");
        EXPECT_EQ(Halyard::GetEventsCount(L"Corvane/Operational"), 0u);
        EXPECT_FALSE(Halyard::GetEventLog(L"Corvane/Operational"));
        const auto lines = capture.Texts();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_TRUE(lines[0].starts_with(L"Halyard::`anonymous-namespace'::GetEventsCount failed: "
                                         L"0x80070002 "))
            << lines[0];
        EXPECT_TRUE(lines[1].starts_with(L"Halyard::`anonymous-namespace'::GetEventLog failed: "
                                         L"Open event log fieled due to: 0x80070002 "))
            << lines[1];
    }
}
