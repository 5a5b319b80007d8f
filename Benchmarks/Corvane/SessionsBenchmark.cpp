// Sessions on the generated channel of BenchStore.h, below the component: the first page of 100
// events of a new session (the session made by the request, as a client's first request makes
// it), next pages, counting by level, the memory of an idle session, and two threads paging two
// sessions.
#include "BenchStore.h"
#include "Halyard/Corvane/SessionsHolder.h"
#include "Helpers/RequestProcessingUtils.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using BenchStore::Mark;
using BenchStore::Node;
using BenchStore::OnePercentFilters;
using BenchStore::PageRequest;
using BenchStore::Served;
using Halyard::SessionsHolder;
using RequestProcessing::NewGuid;

// The holder as a component configures it; the store loads before the first figure.
SessionsHolder& Holder() {
    static const std::unique_ptr<SessionsHolder> holder = [] {
        BenchStore::Choose();
        Halyard::GetEventsCount(BenchStore::ChannelName());
        return std::make_unique<SessionsHolder>(BenchStore::Configuration());
    }();
    return *holder;
}

Served Serve(const EkNodePtr& request) {
    const EkNodePtr response = Node(L"EventViewerResponse");
    Holder().GetSessionEvents(request, response);
    return Served::Of(response);
}

void Release(const GUID& id) {
    Holder().RemoveSession(
        CorvaneRequests::SessionRequest(L"ReleaseSessionRequest", id, BenchStore::PageSize));
}

// A new session's first page, the session made by the page request itself.
void FirstPage(benchmark::State& state, bool filtered) {
    const EkNodePtr filters = filtered ? OnePercentFilters() : EkNodePtr();
    Holder();
    int64_t events = 0;
    for (auto _ : state) {
        const GUID id = NewGuid();
        events = Serve(PageRequest(Mark(id), filters)).events;
        state.PauseTiming();
        Release(id);
        state.ResumeTiming();
    }
    state.counters["events"] = static_cast<double>(events);
}
BENCHMARK_CAPTURE(FirstPage, NoFilter, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FirstPage, OnePercentFilter, true)->Unit(benchmark::kMillisecond);

// The next pages of a session from a depth on (pages of 100 newest first, messages on).
void NextPages(benchmark::State& state) {
    const GUID id = NewGuid();
    EkNodePtr mark = Serve(PageRequest(BenchStore::MarkAtDepth(id, state.range(0)))).mark;
    BenchStore::PageOnward(state, mark, Serve);
    Release(id);
}
BENCHMARK(NextPages)->Arg(0)->Arg(300'000)->Iterations(100)->Unit(benchmark::kMillisecond);

// The channel's events counted by level, as a count request asks.
void CountByLevel(benchmark::State& state) {
    Holder();
    int64_t total = 0;
    for (auto _ : state) {
        const EkNodePtr response = Node(L"EventViewerResponse");
        Holder().GetEventsCount(Node(L"CountEventsRequest"), response);
        total = response.GetInt64(L"TotalEventsCount");
    }
    state.counters["events"] = static_cast<double>(total);
}
BENCHMARK(CountByLevel)->Unit(benchmark::kMillisecond);

size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t size = 0;
    size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// What an idle session holds (its query, bookmark, subscription and renderer), averaged over many
// sessions made by a first page: the heap, and the resident memory with the stand-in's
// subscription thread (a stack of its own per subscription, which Windows does not have).
void IdleSessionMemory(benchmark::State& state) {
    constexpr int Sessions = 200;
    Holder();
    for (auto _ : state) {
        std::vector<GUID> ids;
        const size_t heapBefore = HeapInUse();
        const size_t residentBefore = ResidentBytes();
        for (int i = 0; i < Sessions; ++i) {
            ids.push_back(NewGuid());
            Serve(PageRequest(Mark(ids.back())));
        }
        state.counters["heap_bytes_per_session"] =
            static_cast<double>(HeapInUse() - heapBefore) / Sessions;
        state.counters["resident_bytes_per_session"] =
            static_cast<double>(ResidentBytes() - residentBefore) / Sessions;
        for (const GUID& id : ids) {
            Release(id);
        }
    }
}
BENCHMARK(IdleSessionMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Threads paging a session each (100 pages of 100 events from the second page on), started
// together: events per second over all of them, and the CPU time each event took. On idle cores
// two threads give twice the events of one unless they wait for each other.
void ParallelPaging(benchmark::State& state) {
    const auto threads = static_cast<size_t>(state.range(0));
    constexpr int Pages = 100;
    Holder();
    double seconds = 0;
    double cpuSeconds = 0;
    int64_t events = 0;
    for (auto _ : state) {
        std::latch ready(static_cast<std::ptrdiff_t>(threads) + 1);
        std::latch go(1);
        std::vector<double> cpu(threads);
        std::vector<int64_t> served(threads);
        std::vector<std::thread> pagers;
        for (size_t t = 0; t < threads; ++t) {
            pagers.emplace_back([&, t] {
                const GUID id = NewGuid();
                EkNodePtr mark = Serve(PageRequest(Mark(id))).mark;
                ready.count_down();
                go.wait();
                timespec start{};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
                for (int page = 0; page < Pages; ++page) {
                    const Served next = Serve(PageRequest(mark));
                    mark = next.mark;
                    served[t] += next.events;
                }
                timespec end{};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
                cpu[t] = static_cast<double>(end.tv_sec - start.tv_sec) +
                         static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
                Release(id);
            });
        }
        ready.arrive_and_wait();
        const auto start = std::chrono::steady_clock::now();
        go.count_down();
        for (std::thread& pager : pagers) {
            pager.join();
        }
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        for (size_t t = 0; t < threads; ++t) {
            cpuSeconds += cpu[t];
            events += served[t];
        }
    }
    state.counters["events_per_second"] = static_cast<double>(events) / seconds;
    state.counters["cpu_us_per_event"] = cpuSeconds * 1e6 / static_cast<double>(events);
}
BENCHMARK(ParallelPaging)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
