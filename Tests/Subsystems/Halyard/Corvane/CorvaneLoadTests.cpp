// The component under load, as a busy host drives it: 64 threads for a bounded time against one
// configured component, loaded as a host loads it. Each thread opens sessions with filters of its
// choice, pages forwards and back, polls, counts and checks filters in between, and releases its
// sessions or leaves some to the dead-session sweep, while another thread writes events with
// ReportEventW all the while. Passes when no request fails except with the code its situation
// gives, every page of a session holds strictly older events than the page before it, no event
// appears twice in one walk, the sessions left behind are swept, and nothing is alive after the
// last release (the live-object report here, ASan's leak check when the program ends).
#include "ModuleEnvironment.h"

#include "Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace Halyard::Interfaces;
using namespace CorvaneRequests;
using TestHost::ResultOf;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 64;
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
constexpr HRESULT kInvalidFilterSet = static_cast<HRESULT>(0x80042002);
constexpr HRESULT kQueryContextStopped = static_cast<HRESULT>(0x80047F03);
// The sweep runs every minute and removes sessions idle for a whole minute (the configuration
// below): a session left behind in the first 45 s is gone after the sweep at two minutes. A
// session whose last request began a minute or more ago may be swept too, and a page read that
// the sweep meets ends with 0x80047F03 (a slow page under ThreadSanitizer can take that long).
constexpr auto kIdleLimit = std::chrono::minutes(1);
constexpr auto kLeaveWindow = std::chrono::seconds(45);
constexpr auto kDuration = std::chrono::seconds(135);

TestHost::ModuleEnvironment& TheEnvironment() {
    static TestHost::ModuleEnvironment environment("WARN", true);
    return environment;
}

// What the threads did, and what went wrong (the first few problems, as text).
struct Tally {
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> pages{0};
    std::atomic<uint64_t> events{0};
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> sweptInUse{0};
    std::vector<double> writeMs; // the time of each ReportEventW, by the writing thread only
    std::atomic<uint64_t> problemCount{0};
    std::mutex lock;
    std::vector<std::string> problems;

    void Problem(const std::string& text) {
        ++problemCount;
        const std::lock_guard guard(lock);
        if (problems.size() < 20) {
            problems.push_back(text);
        }
    }
};

// The filter sets the threads choose from; one that the Event Log refuses is only checked.
EkNodePtr LoadFilters(int kind) {
    switch (kind) {
    case 1:
        return Filters({ListFilter(L"LevelFilter", L"Levels", {L"2", L"3", L"4"})});
    case 2:
        return Filters(
            {ListFilter(L"ProviderFilter", L"Providers", {L"Halyard-Monitor", L"Orchard Backup"})});
    case 3:
        return Filters({SearchFilter(L"db-01")});
    case 4:
        return Filters(
            {ListFilter(L"EventIdFilter", L"EventIds", {L"1000-1003", L"2001", L"-1002"})});
    case 5:
        return Filters({ListFilter(L"LevelFilter", L"Levels", {L"x y"})}); // refused
    default:
        return Filters({});
    }
}

// One thread's client: sends requests and checks what comes back.
class LoadClient {
public:
    LoadClient(IProcessRequest* component, Tally& tally, unsigned stream)
        : m_component(component), m_tally(tally), m_random(stream) {}

    // Sessions until `end`; the ids of those left to the sweep go to `left`.
    void Run(Clock::time_point start, Clock::time_point end, std::vector<GUID>& left) {
        int64_t lastTotal = 0;
        while (Clock::now() < end) {
            const int kind = static_cast<int>(m_random() % 5);
            const int64_t count = std::array<int64_t, 4>{7, 20, 50, 150}[m_random() % 4];
            EkNodePtr mark = Create(kind, count);
            if (!mark) {
                continue;
            }
            Walk(mark, kind, count);
            if (m_random() % 3 == 0) {
                // A poll makes the session again when the sweep took it.
                m_lastUse = Clock::now();
                Expect(Send(WithMark(L"GetNewEventsCountRequest", mark, kind)), S_OK, "poll");
            }
            if (m_random() % 4 == 0) {
                const EkNodePtr counts = Send(Node(L"CountEventsRequest"));
                if (Expect(counts, S_OK, "count")) {
                    // Events are only added: the channel's total never goes down.
                    const int64_t total = counts.GetInt64(L"TotalEventsCount");
                    if (total < lastTotal) {
                        m_tally.Problem("the total went down from " + std::to_string(lastTotal) +
                                        " to " + std::to_string(total));
                    }
                    lastTotal = total;
                }
            }
            if (m_random() % 4 == 0) {
                const int checked = static_cast<int>(m_random() % 6);
                Expect(Send(MarkRequest(L"CheckFiltersRequest", {}, LoadFilters(checked))),
                       checked == 5 ? kInvalidFilterSet : S_OK, "filter check");
            }
            GUID id{};
            mark.GetAttribute(L"SessionId", id);
            if (Clock::now() - start < kLeaveWindow && m_random() % 5 == 0) {
                left.push_back(id);
            } else {
                const EkNodePtr released = Send(WithMark(L"ReleaseSessionRequest", mark, kind));
                Expect(released, MaySwept() && ResultOf(released) == kNotFound ? kNotFound : S_OK,
                       "release");
            }
        }
    }

    // Sends a request; the response, counted.
    EkNodePtr Send(const EkNodePtr& request) {
        void* response = nullptr;
        ++m_tally.requests;
        if (m_component->ProcessRequest(request.Get(), &response) != S_OK) {
            m_tally.Problem("ProcessRequest failed");
            return EkNodePtr();
        }
        return EkNodePtr(response, true);
    }

    // Whether the response came with the code expected; a problem when not.
    bool Expect(const EkNodePtr& response, HRESULT expected, const char* what) {
        if (!response) {
            return false;
        }
        const HRESULT result = ResultOf(response);
        if (result != expected) {
            m_tally.Problem(std::string(what) + ": " +
                            Base::Utf8FromWide(response.GetString(L"ErrorSerialized", L"")));
        }
        return result == expected && result == S_OK;
    }

private:
    static EkNodePtr WithMark(const wchar_t* name, const EkNodePtr& mark, int kind) {
        return MarkRequest(name, mark, kind != 0 ? LoadFilters(kind) : EkNodePtr());
    }

    // Whether the sweep may have taken the session: its last request began a minute ago or more.
    bool MaySwept() const { return Clock::now() - m_lastUse >= kIdleLimit; }

    EkNodePtr Create(int kind, int64_t count) {
        m_lastUse = Clock::now();
        const EkNodePtr request = WithMark(L"CreateSessionRequest", {}, kind);
        request.SetAttribute(L"EventsCount", static_cast<int32_t>(count));
        const EkNodePtr response = Send(request);
        return Expect(response, S_OK, "create") ? response.GetChildByName(L"ContinuationMark")
                                                : EkNodePtr();
    }

    // Pages forwards a few pages (not past the last) and sometimes back one: each page strictly
    // older than the one before, no event twice, and the page served again when the walk steps
    // back.
    void Walk(EkNodePtr& mark, int kind, int64_t count) {
        std::set<int64_t> seen;
        std::vector<std::vector<int64_t>> pages;
        int64_t oldest = INT64_MAX;
        const int wanted = 1 + static_cast<int>(m_random() % 6);
        bool back = false;
        for (int i = 0; i < wanted && !back; ++i) {
            const std::vector<int64_t> page = Page(mark, kind, count, 0, &back);
            if (page.empty()) {
                break;
            }
            for (const int64_t record : page) {
                if (record >= oldest || !seen.insert(record).second) {
                    m_tally.Problem("record " + std::to_string(record) + " after " +
                                    std::to_string(oldest) + " on page " + std::to_string(i + 1));
                }
                oldest = record;
            }
            pages.push_back(page);
        }
        if (pages.size() >= 2 && m_random() % 2 == 0) {
            const std::vector<int64_t> back = Page(mark, kind, count, 1);
            const std::vector<int64_t>& before = pages[pages.size() - 2];
            if (!m_sweptUnderPage && back != before) {
                m_tally.Problem(
                    "the page before is not served again: filters " + std::to_string(kind) + ", " +
                    std::to_string(count) + " a page, page " + std::to_string(pages.size() - 1) +
                    " of " + std::to_string(pages.size()) + " gives " +
                    std::to_string(back.size()) + " events from " +
                    (back.empty() ? "-" : std::to_string(back.front())) + " instead of " +
                    std::to_string(before.size()) + " from " + std::to_string(before.front()));
            }
        }
    }

    // One page's records; `isBack` (when given) tells whether it is the last page.
    std::vector<int64_t> Page(EkNodePtr& mark, int kind, int64_t count, int32_t direction,
                              bool* isBack = nullptr) {
        const EkNodePtr request = PageRequest(mark, static_cast<uint32_t>(direction), count,
                                              kind != 0 ? LoadFilters(kind) : EkNodePtr());
        const Clock::time_point previousUse = std::exchange(m_lastUse, Clock::now());
        const EkNodePtr response = Send(request);
        std::vector<int64_t> records;
        m_sweptUnderPage = response && ResultOf(response) == kQueryContextStopped &&
                           Clock::now() - previousUse >= kIdleLimit;
        if (m_sweptUnderPage) {
            ++m_tally.sweptInUse;
            return records;
        }
        if (!Expect(response, S_OK, "page")) {
            return records;
        }
        mark = response.GetChildByName(L"ContinuationMark");
        const EkNodePtr events = response.GetChildByName(L"Events");
        ForEachChild(events, [&](const EkNodePtr& event) {
            records.push_back(event.GetInt64(L"RecordId"));
        });
        if (isBack != nullptr) {
            *isBack = events.GetBool(L"IsBack");
        }
        ++m_tally.pages;
        m_tally.events += records.size();
        return records;
    }

    IProcessRequest* m_component;
    Tally& m_tally;
    std::minstd_rand m_random;
    Clock::time_point m_lastUse;   // when the last request of the current session was sent
    bool m_sweptUnderPage = false; // the last page read ended because the sweep took its session
};

// Writes events of the sample's classic source until `end`.
void WriteEvents(Clock::time_point end, Tally& tally) {
    const HANDLE source = RegisterEventSourceW(nullptr, L"Orchard Backup");
    if (source == nullptr) {
        tally.Problem("no event source");
        return;
    }
    const WORD types[] = {EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE};
    for (uint64_t i = 0; Clock::now() < end; ++i) {
        const std::wstring number = std::to_wstring(i);
        LPCWSTR strings[] = {L"D:\\Load", number.c_str(), L"1"};
        const Clock::time_point before = Clock::now();
        if (!ReportEventW(source, types[i % 3], 0, 0x40000064, nullptr, 3, 0, strings, nullptr)) {
            tally.Problem("ReportEventW failed: " + std::to_string(GetLastError()));
        }
        tally.writeMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        ++tally.written;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    DeregisterEventSource(source);
}

} // namespace

TEST(ComponentUnderLoad, SixtyFourThreadsAgainstOneComponent) {
    ASSERT_NE(TheEnvironment().module, nullptr);
    Tally tally;
    std::vector<std::vector<GUID>> left(kThreads);
    {
        TestHost::Component component;
        component.Create(TheEnvironment().module);
        // Sessions idle for a whole minute are swept every minute.
        const EkNodePtr config = TestHost::Config(L"Application");
        config.SetAttribute(L"SessionTimeLiveInMin", int64_t{0});
        config.SetAttribute(L"SessionCheckIntervalInSec", int64_t{1});
        // The sessions left to the sweep for up to two minutes outnumber what viewers open.
        config.SetAttribute(L"MaxSessionsCount", int32_t{1'000'000});
        ASSERT_EQ(component.configure->Configure(config.Get()), S_OK);
        const Clock::time_point start = Clock::now();
        const Clock::time_point end = start + kDuration;

        std::vector<std::thread> threads;
        threads.emplace_back([&] { WriteEvents(end, tally); });
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                LoadClient(component.process, tally, static_cast<unsigned>(t + 1))
                    .Run(start, end, left[static_cast<size_t>(t)]);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }

        // The sessions left behind were swept.
        LoadClient client(component.process, tally, 0);
        size_t swept = 0;
        for (const std::vector<GUID>& ids : left) {
            for (const GUID& id : ids) {
                const EkNodePtr release = Node(L"ReleaseSessionRequest");
                release.SetAttribute(L"SessionId", id);
                client.Expect(client.Send(release), kNotFound, "release after the sweep");
                ++swept;
            }
        }
        std::printf("%llu requests served, %llu pages checked (%llu events), %llu events written, "
                    "%zu sessions left to the sweep, %llu swept while a page was read\n",
                    static_cast<unsigned long long>(tally.requests.load()),
                    static_cast<unsigned long long>(tally.pages.load()),
                    static_cast<unsigned long long>(tally.events.load()),
                    static_cast<unsigned long long>(tally.written.load()), swept,
                    static_cast<unsigned long long>(tally.sweptInUse.load()));
        std::vector<double>& writes = tally.writeMs;
        std::sort(writes.begin(), writes.end());
        if (!writes.empty()) {
            std::printf("ReportEventW: median %.1f ms, 99th percentile %.1f ms, longest %.1f ms\n",
                        writes[writes.size() / 2], writes[writes.size() * 99 / 100], writes.back());
        }
        EXPECT_GT(swept, 0u);
        EXPECT_GT(tally.pages.load(), static_cast<uint64_t>(kThreads));
        // The component is alive now, and the report says so.
        EXPECT_EQ(TheEnvironment().module->DumpAliveObjects(), S_OK);
        EXPECT_NE(TheEnvironment().Log().find(L"Alive component objects: 1"), std::wstring::npos);
    }
    // After the last release nothing is alive: the report writes nothing more.
    const size_t before = TheEnvironment().Log().size();
    EXPECT_EQ(TheEnvironment().module->DumpAliveObjects(), S_OK);
    EXPECT_EQ(TheEnvironment().Log().find(L"Alive component objects", before), std::wstring::npos);
    EXPECT_EQ(tally.problemCount.load(), 0u);
    for (const std::string& problem : tally.problems) {
        ADD_FAILURE() << problem;
    }
}
