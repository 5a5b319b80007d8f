// The component as a host drives it, on the generated channel of BenchStore.h: the built module
// loaded and configured by the host's own ModuleHost (the C interfaces only), every figure a
// request node handed to ProcessRequest and its response node back. The same figures as the
// sessions benchmark below the component: a new session's first page of 100 events, next pages,
// counting by level.
#include "BenchStore.h"
#include "Helpers/RequestProcessingUtils.h"
#include "ModuleHost.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using BenchStore::Node;
using BenchStore::PageRequest;
using BenchStore::Served;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "RequestsBenchmark: %s\n", what.c_str());
    std::exit(1);
}

// The configured component; the module stays loaded for the program.
const HalyardHost::ModuleHost& Component() {
    static const std::unique_ptr<HalyardHost::ModuleHost> host = [] {
        BenchStore::Choose();
        std::string error;
        auto loaded = HalyardHost::ModuleHost::Load(HalyardHost::ModuleBesideProgram(), error);
        if (!loaded) {
            Fail(error);
        }
        if (loaded->Configure(BenchStore::Configuration()) != S_OK) {
            Fail("the component could not be configured");
        }
        return loaded;
    }();
    return *host;
}

// One request and its response; a failure in the envelope ends the run.
EkNodePtr Send(const EkNodePtr& request) {
    EkNodePtr response;
    if (Component().ProcessRequest(request, response) != S_OK) {
        Fail("ProcessRequest failed");
    }
    if (response.GetInt64(L"ResultCode") != 0) {
        std::fprintf(stderr, "%ls\n", response.GetString(L"ErrorSerialized").c_str());
        Fail("a request failed");
    }
    return response;
}

Served Serve(const EkNodePtr& request) {
    return Served::Of(Send(request));
}

void Release(const EkNodePtr& mark) {
    Send(CorvaneRequests::MarkRequest(L"ReleaseSessionRequest", mark));
}

// The store loads here, not in the first figure.
void Warm() {
    Send(Node(L"CountEventsRequest"));
}

void FirstPage(benchmark::State& state, EkNodePtr (*makeFilters)()) {
    const EkNodePtr filters = makeFilters != nullptr ? makeFilters() : EkNodePtr();
    Warm();
    int64_t events = 0;
    for (auto _ : state) {
        // A client's first request: flat paging attributes and a new session id.
        const Served page =
            Serve(CorvaneRequests::PageRequest({}, 0, BenchStore::PageSize, filters));
        events = page.events;
        state.PauseTiming();
        Release(page.mark);
        state.ResumeTiming();
    }
    state.counters["events"] = static_cast<double>(events);
}
BENCHMARK_CAPTURE(FirstPage, NoFilter, nullptr)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FirstPage, OnePercentFilter, BenchStore::OnePercentFilters)
    ->Unit(benchmark::kMillisecond);
// A search that finds nothing reads every event of the channel.
BENCHMARK_CAPTURE(FirstPage, SearchWithoutMatch, BenchStore::SearchWithoutMatch)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// The next pages of a session from a depth on (0, or 300,000 events: page 3,001 on, the mark's page
// stack 3,000 starts long), the client sending back the mark it received.
void NextPages(benchmark::State& state) {
    Warm();
    const GUID id = RequestProcessing::NewGuid();
    EkNodePtr mark = Serve(PageRequest(BenchStore::MarkAtDepth(id, state.range(0)))).mark;
    BenchStore::PageOnward(state, mark, Serve);
    Release(mark);
}
BENCHMARK(NextPages)->Arg(0)->Arg(300'000)->Iterations(100)->Unit(benchmark::kMillisecond);

// The next pages of the real logs (CORVANE_BENCH_REAL=1): 50 pages from the first on,
// every message formatted from real providers' metadata.
void NextPagesRealProviders(benchmark::State& state) {
    if (!BenchStore::RealLogs()) {
        state.SkipWithError("set CORVANE_BENCH_REAL=1");
        return;
    }
    NextPages(state);
}
BENCHMARK(NextPagesRealProviders)->Arg(0)->Iterations(50)->Unit(benchmark::kMillisecond);

void CountByLevel(benchmark::State& state) {
    Warm();
    int64_t total = 0;
    for (auto _ : state) {
        total = Send(Node(L"CountEventsRequest")).GetInt64(L"TotalEventsCount");
    }
    state.counters["events"] = static_cast<double>(total);
}
BENCHMARK(CountByLevel)->Unit(benchmark::kMillisecond);

} // namespace
