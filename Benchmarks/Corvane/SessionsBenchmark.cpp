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

// One writer while 64 threads page: the threads each page a session of their own (as
// ParallelPaging does) while one thread reports an event to the same channel every millisecond
// through ReportEventW, for 5 s. Prints the latency of ReportEventW (p50, p99, max), the pages per
// second of the readers and whether the channel gained exactly the events written. The writes go
// to a folder of its own ($TMPDIR/corvane-writer-bench-<count>, the generated events linked in, its
// written events removed before each run), so the process must load that folder first: run it
// alone (--benchmark_filter=WriterWhilePaging).
void WriterWhilePaging(benchmark::State& state) {
    namespace fs = std::filesystem;
    constexpr size_t Readers = 64;
    constexpr auto Duration = std::chrono::seconds(5);
    static const bool ownFolder = [] {
        if (std::getenv("PAL_EVENTLOG_DIR") != nullptr) {
            return false; // another benchmark (or the caller) chose the store already
        }
        BenchStore::Choose();
        const fs::path shared = std::getenv("PAL_EVENTLOG_DIR");
        const fs::path folder =
            fs::temp_directory_path() /
            ("corvane-writer-bench-" + std::to_string(BenchStore::EventCount()));
        fs::create_directories(folder);
        for (const char* name : {"Application.xml", "publishers.xml", "accounts.xml"}) {
            std::error_code ec;
            if (!fs::exists(folder / name, ec)) {
                fs::create_symlink(shared / name, folder / name);
            }
        }
        fs::remove(folder / "Application.written.xml");
        fs::remove(folder / ".cache" / "Application.written.xml.palcache");
        ::setenv("PAL_EVENTLOG_DIR", folder.c_str(), 1);
        Halyard::GetEventsCount(BenchStore::ChannelName()); // the store loads from the folder
        return true;
    }();
    if (!ownFolder) {
        state.SkipWithError("run alone (--benchmark_filter=WriterWhilePaging): its writes go to a "
                            "folder of its own");
        return;
    }
    Holder();
    const HANDLE source = RegisterEventSourceW(nullptr, L"Writer Benchmark");
    for (auto _ : state) {
        const uint32_t before = Halyard::GetEventsCount(BenchStore::ChannelName());
        std::atomic<bool> stop{false};
        std::atomic<int64_t> pages{0};
        std::latch ready(static_cast<std::ptrdiff_t>(Readers) + 1);
        std::vector<std::thread> pagers;
        for (size_t t = 0; t < Readers; ++t) {
            pagers.emplace_back([&] {
                const GUID id = NewGuid();
                EkNodePtr mark = Serve(PageRequest(Mark(id))).mark;
                ready.arrive_and_wait();
                while (!stop.load()) {
                    mark = Serve(PageRequest(mark)).mark;
                    pages.fetch_add(1);
                }
                Release(id);
            });
        }
        ready.arrive_and_wait();
        const auto start = std::chrono::steady_clock::now();
        std::vector<double> latencies;
        const wchar_t* strings[] = {L"written while readers page"};
        auto next = start;
        while (std::chrono::steady_clock::now() - start < Duration) {
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
            const auto called = std::chrono::steady_clock::now();
            ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1000, nullptr, 1, 0, strings,
                         nullptr);
            latencies.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - called)
                    .count());
            next = std::max(next, std::chrono::steady_clock::now());
        }
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const int64_t paged = pages.load();
        stop.store(true);
        for (std::thread& pager : pagers) {
            pager.join();
        }
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&](double quantile) {
            return latencies[static_cast<size_t>(quantile *
                                                 static_cast<double>(latencies.size() - 1))];
        };
        const uint32_t after = Halyard::GetEventsCount(BenchStore::ChannelName());
        state.counters["writes"] = static_cast<double>(latencies.size());
        state.counters["write_p50_ms"] = at(0.5);
        state.counters["write_p99_ms"] = at(0.99);
        state.counters["write_max_ms"] = latencies.back();
        state.counters["pages_per_second"] = static_cast<double>(paged) / elapsed;
        state.counters["events_gained_minus_written"] =
            static_cast<double>(after) - before - static_cast<double>(latencies.size());
    }
    DeregisterEventSource(source);
}
BENCHMARK(WriterWhilePaging)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
