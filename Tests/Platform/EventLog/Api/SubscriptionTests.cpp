#include "PalEventLog/Store/Store.h"
#include "Platform/EventLog/TestStore.h"

#include "Win32/PalEventLogFaults.h"

#include "Win32/SynchApi.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

using namespace PalEventLog;
using Testing::RecordIdOf;
using namespace std::chrono_literals;

namespace {

std::string AppEvent(uint64_t record, int eventId, const std::string& channel = "Application") {
    return Testing::EventXml(channel, record, eventId, 4, "Alpha", "2024-01-01T00:00:00Z",
                             "<Data>v" + std::to_string(record) + "</Data>");
}

// What a subscription's callback saw.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint64_t> records;
    std::vector<DWORD> errors;
    std::vector<EVT_HANDLE> handles;
    std::thread::id thread;
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::function<void()> during; // runs inside the callback

    bool WaitFor(size_t m_records, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return records.size() >= m_records; });
    }

    static DWORD WINAPI Callback(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID context,
                                 EVT_HANDLE event) {
        auto* self = static_cast<Received*>(context);
        const int now = ++self->inside;
        int seen = self->maxInside.load();
        while (now > seen && !self->maxInside.compare_exchange_weak(seen, now)) {
        }
        if (self->during) {
            self->during();
        }
        {
            std::lock_guard lock(self->mutex);
            self->thread = std::this_thread::get_id();
            if (action == EvtSubscribeActionDeliver) {
                self->records.push_back(RecordIdOf(event));
                self->handles.push_back(event);
            } else {
                self->errors.push_back(static_cast<DWORD>(reinterpret_cast<uintptr_t>(event)));
            }
        }
        --self->inside;
        self->changed.notify_all();
        return 0;
    }
};

class Subscriptions : public ::testing::Test {
protected:
    void SetUp() override {
        std::string xml;
        for (uint64_t r = 1; r <= 3; ++r) {
            xml += AppEvent(r, 7);
        }
        m_store = Testing::StoreOf(xml);
        SetGlobalStore(m_store);
    }
    void TearDown() override {
        PalEventLogClearFaults();
        SetGlobalStore(nullptr);
    }
    void Append(uint64_t record, int eventId, const std::string& channel = "Application") {
        ASSERT_TRUE(m_store->Append(AppEvent(record, eventId, channel)));
    }
    EVT_HANDLE Subscribe(Received& received, const wchar_t* query, DWORD flags,
                         EVT_HANDLE bookmark = nullptr) {
        return EvtSubscribe(nullptr, nullptr, L"Application", query, bookmark, &received,
                            &Received::Callback, flags);
    }

    std::shared_ptr<Store> m_store;
};

TEST_F(Subscriptions, FutureEventsArriveInOrderOnAnotherThreadMatchingTheQuery) {
    Received received;
    EVT_HANDLE sub = Subscribe(received, L"*[System[EventID=7]]", EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr);
    Append(4, 7);
    Append(5, 8); // does not match
    Append(6, 7);
    Append(0, 7); // no record id: the next one
    ASSERT_TRUE(received.WaitFor(3));
    EXPECT_TRUE(EvtClose(sub));
    EXPECT_EQ(received.records, (std::vector<uint64_t>{4, 6, 7}));
    EXPECT_NE(received.thread, std::this_thread::get_id());
    EXPECT_EQ(received.maxInside.load(), 1);
    // The delivered handles were valid during the callbacks only.
    DWORD used = 0;
    DWORD count = 0;
    EXPECT_FALSE(
        EvtRender(nullptr, received.handles.front(), EvtRenderEventXml, 0, nullptr, &used, &count));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Every subscription is served by one delivering thread, as the service does: many idle ones cost
// no thread each, and each still gets its own events.
TEST_F(Subscriptions, ManySubscriptionsShareOneDeliveringThread) {
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator());
    };
    std::vector<Received> received(64);
    std::vector<EVT_HANDLE> subs;
    const auto before = threads();
    for (Received& each : received) {
        subs.push_back(Subscribe(each, L"*[System[EventID=7]]", EvtSubscribeToFutureEvents));
        ASSERT_NE(subs.back(), nullptr);
    }
    EXPECT_LE(threads() - before, 1);
    Append(4, 7);
    std::set<std::thread::id> deliverers;
    for (Received& each : received) {
        ASSERT_TRUE(each.WaitFor(1));
        EXPECT_EQ(each.records, std::vector<uint64_t>{4});
        deliverers.insert(each.thread);
    }
    EXPECT_EQ(deliverers.size(), 1u);
    for (const EVT_HANDLE sub : subs) {
        EXPECT_TRUE(EvtClose(sub));
    }
}

// A structured query as the module builds them: Selects of several channels, a Suppress that
// removes only what the Selects of its own Query and path matched, and the union of the Query
// elements. The channel path argument is ignored.
TEST_F(Subscriptions, StructuredQueryFollowsItsChannelsAndSuppressions) {
    const wchar_t* query =
        L"<QueryList>"
        L"<Query Id='0' Path='Application'>"
        L"<Select>*[System[EventID=7]]</Select>"
        L"<Select>*[System[EventID=8]]</Select>"
        L"<Select Path='System'>*[System[EventID=7]]</Select>"
        L"<Suppress>*[EventData[Data='v5' or Data='v6']]</Suppress>"
        L"</Query>"
        L"<Query Id='1'><Select Path='Application'>*[EventData[Data='v6']]</Select></Query>"
        L"</QueryList>";
    Received received;
    EVT_HANDLE sub = EvtSubscribe(nullptr, nullptr, L"Security", query, nullptr, &received,
                                  &Received::Callback, EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr) << GetLastError();
    Append(4, 7);
    Append(5, 7); // suppressed
    Append(6, 7); // suppressed in Query 0, selected by Query 1
    Append(7, 3); // no Select
    Append(8, 8);
    // The Suppress of Application does not reach System.
    ASSERT_TRUE(m_store->Append(Testing::EventXml("System", 105, 7, 4, "Alpha",
                                                  "2024-01-01T00:00:00Z", "<Data>v5</Data>")));
    Append(106, 8, "System"); // no Select of System
    Append(107, 7, "Security");
    Append(10, 7); // the last: every event before it has been looked at when it arrives
    ASSERT_TRUE(received.WaitFor(5));
    EvtClose(sub);
    std::vector<uint64_t> records = received.records;
    std::sort(records.begin(), records.end());
    EXPECT_EQ(records, (std::vector<uint64_t>{4, 6, 8, 10, 105}));
}

TEST_F(Subscriptions, OldestRecordAndBookmarkOriginsStartWhereTheySay) {
    Received oldest;
    EVT_HANDLE a = Subscribe(oldest, nullptr, EvtSubscribeStartAtOldestRecord);
    ASSERT_NE(a, nullptr);
    ASSERT_TRUE(oldest.WaitFor(3));

    EVT_HANDLE mark = EvtCreateBookmark(
        L"<BookmarkList><Bookmark Channel='Application' RecordId='2'/></BookmarkList>");
    Received after;
    EVT_HANDLE b = Subscribe(after, nullptr, EvtSubscribeStartAfterBookmark, mark);
    ASSERT_NE(b, nullptr);
    Append(4, 7);
    ASSERT_TRUE(after.WaitFor(2));
    ASSERT_TRUE(oldest.WaitFor(4));
    EvtClose(a);
    EvtClose(b);
    EXPECT_EQ(oldest.records, (std::vector<uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(after.records, (std::vector<uint64_t>{3, 4}));
    EXPECT_TRUE(after.errors.empty());
    EvtClose(mark);
}

// A strict bookmark of a missing record reports a stale result, an injected delivery fault its
// code; each reaches the callback as an error, and every event is still delivered.
TEST_F(Subscriptions, ErrorsReachTheCallbackAndLoseNoEvent) {
    Testing::Closing close;
    EVT_HANDLE mark = close(EvtCreateBookmark(
        L"<BookmarkList><Bookmark Channel='Application' RecordId='0'/></BookmarkList>"));
    for (const bool strict : {true, false}) {
        Received received;
        if (!strict) {
            PalEventLogInjectFault("EvtSubscribeDeliver", RPC_S_INVALID_BOUND, 1, 1, 0);
        }
        EVT_HANDLE sub = strict
                             ? Subscribe(received, nullptr,
                                         EvtSubscribeStartAfterBookmark | EvtSubscribeStrict, mark)
                             : Subscribe(received, nullptr, EvtSubscribeStartAtOldestRecord);
        ASSERT_NE(sub, nullptr);
        ASSERT_TRUE(received.WaitFor(3));
        EvtClose(sub);
        EXPECT_EQ(received.errors, (std::vector<DWORD>{strict ? DWORD{ERROR_EVT_QUERY_RESULT_STALE}
                                                              : DWORD{RPC_S_INVALID_BOUND}}));
        EXPECT_EQ(received.records, (std::vector<uint64_t>{1, 2, 3}));
    }
}

TEST_F(Subscriptions, BadArgumentsFailWithTheirCodes) {
    Received received;
    HANDLE signal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const auto fails = [&](HANDLE withSignal, const wchar_t* channel, const wchar_t* query,
                           bool withCallback, DWORD flags) {
        EXPECT_EQ(EvtSubscribe(nullptr, withSignal, channel, query, nullptr,
                               withCallback ? &received : nullptr,
                               withCallback ? &Received::Callback : nullptr, flags),
                  nullptr);
        return GetLastError();
    };
    // Both a signal and a callback, neither, no origin, a bookmark without its origin.
    const DWORD future = EvtSubscribeToFutureEvents;
    EXPECT_EQ(fails(signal, L"Application", nullptr, true, future), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fails(nullptr, L"Application", nullptr, false, future), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fails(nullptr, L"Application", nullptr, true, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fails(nullptr, L"Application", nullptr, true, EvtSubscribeStartAfterBookmark),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fails(nullptr, L"NoSuchChannel", nullptr, true, future), ERROR_EVT_CHANNEL_NOT_FOUND);
    EXPECT_EQ(fails(nullptr, L"Application", L"*[System[", true, future), ERROR_EVT_INVALID_QUERY);
    PalEventLogInjectFault("EvtSubscribe", ERROR_TIMEOUT, 0, 1, 0);
    EXPECT_EQ(fails(nullptr, L"Application", nullptr, true, future), ERROR_TIMEOUT);
    CloseHandle(signal);
}

TEST_F(Subscriptions, CloseWaitsForARunningCallbackAndStopsDeliveries) {
    Received received;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    received.during = [&] {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    };
    EVT_HANDLE sub = Subscribe(received, nullptr, EvtSubscribeStartAtOldestRecord);
    entered.get_future().wait();
    auto closing = std::async(std::launch::async, [&] { return EvtClose(sub); });
    EXPECT_EQ(closing.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    EXPECT_TRUE(closing.get());
    // The close may begin only after the blocked callback returns (on a busy machine its thread
    // starts late), so records 2 and 3 may still come; nothing comes once it has returned.
    const size_t delivered = received.records.size();
    EXPECT_GE(delivered, 1u);
    EXPECT_LE(delivered, 3u);
    Append(4, 7);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(received.records.size(), delivered);
}

TEST_F(Subscriptions, CloseFromInsideTheCallbackDoesNotDeadlock) {
    Received received;
    EVT_HANDLE sub = nullptr;
    std::atomic<int> calls{0};
    received.during = [&] {
        if (++calls == 1) {
            EXPECT_TRUE(EvtClose(sub));
        }
    };
    sub = Subscribe(received, nullptr, EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr);
    Append(4, 7);
    ASSERT_TRUE(received.WaitFor(1));
    Append(5, 7);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(EvtClose(sub));
}

TEST_F(Subscriptions, ABlockedCallbackDoesNotBlockWriters) {
    Received received;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    received.during = [&] { released.wait(); };
    EVT_HANDLE sub = Subscribe(received, nullptr, EvtSubscribeToFutureEvents);
    auto writer = std::async(std::launch::async, [&] {
        for (uint64_t r = 4; r < 104; ++r) {
            m_store->Append(AppEvent(r, 7));
        }
    });
    EXPECT_EQ(writer.wait_for(5s), std::future_status::ready);
    release.set_value();
    ASSERT_TRUE(received.WaitFor(100));
    EvtClose(sub);
    EXPECT_EQ(received.records.front(), 4u);
    EXPECT_EQ(received.records.back(), 103u);
}

TEST_F(Subscriptions, SignalFormSignalsNewMatchesAndEvtNextTakesThem) {
    HANDLE signal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(signal, nullptr);
    EVT_HANDLE sub = EvtSubscribe(nullptr, signal, L"Application", L"*[System[EventID=9]]", nullptr,
                                  nullptr, nullptr, EvtSubscribeToFutureEvents);
    ASSERT_NE(sub, nullptr);
    EVT_HANDLE events[4] = {};
    DWORD returned = 7;
    EXPECT_FALSE(EvtNext(sub, 4, events, 0, 0, &returned));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(returned, 0u);
    Append(4, 8);
    EXPECT_EQ(WaitForSingleObject(signal, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    Append(5, 9);
    Append(6, 9);
    ASSERT_EQ(WaitForSingleObject(signal, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(signal));
    ASSERT_TRUE(EvtNext(sub, 4, events, 0, 0, &returned));
    ASSERT_EQ(returned, 2u);
    EXPECT_EQ(RecordIdOf(events[0]), 5u);
    EXPECT_EQ(RecordIdOf(events[1]), 6u);
    EXPECT_FALSE(EvtNext(sub, 4, events, 0, 0, &returned));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EvtClose(sub);
    EXPECT_EQ(RecordIdOf(events[0]), 0u); // closing the subscription ends its events
    EvtClose(events[0]);
    EvtClose(events[1]);
    CloseHandle(signal);
}

// Concurrent writers against subscriptions of both forms, each to see every event once and in
// order. Readers of result sets and classic handles during writes are checked event by event in
// EventLogApi.ReadersDuringAppendsSeeEveryEventOnceAndWhole.
TEST(EventLogStress, ConcurrentWritersAndSubscribersLoseAndDuplicateNothing) {
    SetGlobalStore(std::make_shared<Store>());
    constexpr int kWriters = 4;
    constexpr int kPerWriter = 250;
    constexpr size_t kTotal = kWriters * kPerWriter;
    Received all;
    Received filtered;
    EVT_HANDLE subAll = EvtSubscribe(nullptr, nullptr, L"Application", nullptr, nullptr, &all,
                                     &Received::Callback, EvtSubscribeToFutureEvents);
    EVT_HANDLE subFiltered =
        EvtSubscribe(nullptr, nullptr, L"Application", L"*[System[Provider[@Name='Stress']]]",
                     nullptr, &filtered, &Received::Callback, EvtSubscribeToFutureEvents);
    HANDLE signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EVT_HANDLE pull = EvtSubscribe(nullptr, signal, L"Application", nullptr, nullptr, nullptr,
                                   nullptr, EvtSubscribeToFutureEvents);
    ASSERT_NE(subAll, nullptr);
    ASSERT_NE(subFiltered, nullptr);
    ASSERT_NE(pull, nullptr);

    std::vector<uint64_t> pulled;
    std::thread puller([&] {
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (pulled.size() < kTotal && std::chrono::steady_clock::now() < end) {
            EVT_HANDLE events[16];
            DWORD returned = 0;
            while (EvtNext(pull, 16, events, 0, 0, &returned)) {
                for (DWORD i = 0; i < returned; ++i) {
                    pulled.push_back(RecordIdOf(events[i]));
                    EvtClose(events[i]);
                }
            }
            WaitForSingleObject(signal, 20);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w] {
            HANDLE source = RegisterEventSourceW(nullptr, L"Stress");
            for (int n = 0; n < kPerWriter; ++n) {
                const std::wstring text = std::to_wstring(w) + L"-" + std::to_wstring(n);
                LPCWSTR strings[] = {text.c_str()};
                ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings,
                             nullptr);
            }
            DeregisterEventSource(source);
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_TRUE(all.WaitFor(kTotal, 30s));
    EXPECT_TRUE(filtered.WaitFor(kTotal, 30s));
    puller.join();
    EvtClose(subAll);
    EvtClose(subFiltered);
    EvtClose(pull);
    CloseHandle(signal);
    SetGlobalStore(nullptr);

    std::vector<uint64_t> expected(kTotal);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(all.records, expected);
    EXPECT_EQ(filtered.records, expected);
    EXPECT_EQ(pulled, expected);
}

TEST(EventObjects, ManualResetStaysSignalledAutomaticResetReleasesOneWait) {
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 10), static_cast<DWORD>(WAIT_TIMEOUT));

    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        SetEvent(automatic);
    });
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_FALSE(SetEvent(manual));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Named"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    CloseHandle(automatic);
}

} // namespace
