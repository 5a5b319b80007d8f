// The component as a host drives it, on the generated channel of BenchStore.h: the built module
// loaded through its one export and configured, every figure a request node handed to
// ProcessRequest and its response node back. The same figures as the sessions benchmark below the
// component: a new session's first page of 100 events, next pages, counting by level.
#include "BenchStore.h"
#include "Components/ComponentInterfaces.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace Halyard::Interfaces;
using BenchStore::Mark;
using BenchStore::Node;
using BenchStore::PageRequest;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "RequestsBenchmark: %s\n", what);
    std::exit(1);
}

// The configured component's request interface; the module stays loaded.
IProcessRequest& Component() {
    static IProcessRequest* const component = [] {
        BenchStore::Choose();
        char self[4096] = {};
        const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
        std::string path(self, length > 0 ? static_cast<size_t>(length) : 0);
        path = path.substr(0, path.rfind('/') + 1) + "Corvane.so";
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            Fail(dlerror());
        }
        const auto get = reinterpret_cast<PFN_GetComponentsModuleObject>(
            dlsym(library, "GetComponentsModuleObject"));
        IModule* module = nullptr;
        IConfigure* configure = nullptr;
        IProcessRequest* process = nullptr;
        if (get == nullptr || get(&module) != S_OK ||
            module->CreateInstance(&CLSID_Corvane, &IID_Configure,
                                   reinterpret_cast<void**>(&configure)) != S_OK ||
            configure->Configure(BenchStore::Configuration().Get()) != S_OK ||
            configure->QueryInterface(&IID_ProcessRequest, reinterpret_cast<void**>(&process)) !=
                S_OK) {
            Fail("the component could not be created and configured");
        }
        configure->Release();
        return process;
    }();
    return *component;
}

// One request and its response; a failure in the envelope ends the run.
EkNodePtr Send(const EkNodePtr& request) {
    void* handle = nullptr;
    if (Component().ProcessRequest(request.Get(), &handle) != S_OK) {
        Fail("ProcessRequest failed");
    }
    EkNodePtr response(handle, true);
    if (response.GetInt64(L"ResultCode") != 0) {
        std::fprintf(stderr, "%ls\n", response.GetString(L"ErrorSerialized").c_str());
        Fail("a request failed");
    }
    return response;
}

struct Served {
    EkNodePtr mark;
    bool isBack = false;
    int64_t events = 0;
};

Served Serve(const EkNodePtr& request) {
    const EkNodePtr response = Send(request);
    const EkNodePtr events = response.GetChildByName(L"Events");
    return {response.GetChildByName(L"ContinuationMark"), events.GetBool(L"IsBack"),
            static_cast<int64_t>(events.GetChildCount())};
}

void Release(const EkNodePtr& mark) {
    const EkNodePtr request = Node(L"ReleaseSessionRequest");
    request.AddChild(mark.CloneNode());
    Send(request);
}

// The store loads here, not in the first figure.
void Warm() {
    Send(Node(L"CountEventsRequest"));
}

void FirstPage(benchmark::State& state, bool filtered) {
    const EkNodePtr filters = filtered ? BenchStore::OnePercentFilters() : EkNodePtr();
    Warm();
    int64_t events = 0;
    for (auto _ : state) {
        // A client's first request: flat paging attributes and a new session id.
        const EkNodePtr request = Node(L"GetDataRequest");
        request.SetAttribute(L"Direction", int32_t{0});
        request.SetAttribute(L"EventsCount", int32_t{BenchStore::PageSize});
        if (filters) {
            request.AddChild(filters.CloneNode());
        }
        const Served page = Serve(request);
        events = page.events;
        state.PauseTiming();
        Release(page.mark);
        state.ResumeTiming();
    }
    state.counters["events"] = static_cast<double>(events);
}
BENCHMARK_CAPTURE(FirstPage, NoFilter, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FirstPage, OnePercentFilter, true)->Unit(benchmark::kMillisecond);

// The next pages of a session from a depth on, the client sending back the mark it received.
void NextPages(benchmark::State& state) {
    const int64_t depth = state.range(0);
    Warm();
    GUID id{};
    for (size_t i = 0; i < sizeof(id); ++i) {
        reinterpret_cast<unsigned char*>(&id)[i] = static_cast<unsigned char>(i * 37 + depth);
    }
    EkNodePtr mark = Mark(id);
    if (depth > 0) {
        mark.SetAttribute(L"Position", depth);
        mark.SetAttribute(L"Pages", std::vector<int64_t>{depth - BenchStore::PageSize});
    }
    mark = Serve(PageRequest(mark)).mark;
    int64_t events = 0;
    for (auto _ : state) {
        const Served page = Serve(PageRequest(mark));
        mark = page.mark;
        events += page.events;
        if (page.isBack) {
            state.SkipWithError("the channel ended");
            break;
        }
    }
    Release(mark);
    state.SetItemsProcessed(events);
}
BENCHMARK(NextPages)->Arg(0)->Arg(500'000)->Iterations(100)->Unit(benchmark::kMillisecond);

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
