// The generated channel of the session and request benchmarks: Application with 1,000,000 events
// (CORVANE_BENCH_EVENTS changes the size) and the sample store's publishers, so that messages are
// formatted. Written once to $TMPDIR/corvane-sessions-bench-<count> and reused; the folder
// watcher is off. Or the real logs of the shared data (RealLogs below). Also the component
// configuration and the filter set both benchmarks use.
#pragma once

#include "SampleEvents.h"
#include "Support/CorvaneRequests.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace BenchStore {

constexpr int64_t PageSize = 100;

inline uint64_t EventCount() {
    const char* text = std::getenv("CORVANE_BENCH_EVENTS");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 1'000'000;
}

// CORVANE_BENCH_REAL=1: the channel is Security of the real logs of the shared data
// (CORVANE_SHARED_DATA, default ../shared/data) with the tests' provider exports,
// so that every message is formatted from real providers' metadata.
inline bool RealLogs() {
    const char* text = std::getenv("CORVANE_BENCH_REAL");
    return text != nullptr && std::string(text) == "1";
}

inline const wchar_t* ChannelName() {
    return RealLogs() ? L"Security" : L"Application";
}

// The folder of the real logs: links to the Security logs and copies of the exports.
inline void ChooseRealLogs() {
    namespace fs = std::filesystem;
    const char* shared = std::getenv("CORVANE_SHARED_DATA");
    const fs::path evtx =
        (shared != nullptr ? fs::path(shared) : fs::path(CORVANE_SOURCE_DIR) / "../shared/data") /
        "evtx";
    const fs::path folder = fs::temp_directory_path() / "corvane-real-bench";
    fs::create_directories(folder);
    for (const char* log :
         {"omerbenamram-evtx/security.evtx", "DeepBlueCLI/smb-password-guessing-security.evtx"}) {
        const fs::path link = folder / fs::path(log).filename();
        std::error_code ec;
        if (!fs::exists(link, ec)) {
            fs::create_symlink(evtx / log, link);
        }
    }
    for (const auto& entry : fs::directory_iterator(
             fs::path(CORVANE_SOURCE_DIR) / "Tests/Platform/EventLog/Store/ProviderExports")) {
        fs::copy_file(entry.path(), folder / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
    }
    ::setenv("PAL_EVENTLOG_DIR", folder.c_str(), 1);
    ::setenv("PAL_EVENTLOG_POLL_MS", "0", 1);
}

// Chooses the store before the first Event Log call; writes it the first time.
inline void Choose() {
    namespace fs = std::filesystem;
    if (RealLogs()) {
        ChooseRealLogs();
        return;
    }
    const fs::path folder =
        fs::temp_directory_path() / ("corvane-sessions-bench-" + std::to_string(EventCount()));
    if (!fs::exists(folder / "Application.xml")) {
        fs::create_directories(folder);
        std::ofstream out(folder / "Application.xml.part", std::ios::binary);
        EventLogTool::WriteSampleEvents(out, "Application", EventCount());
        out.close();
        fs::rename(folder / "Application.xml.part", folder / "Application.xml");
    }
    for (const char* name : {"publishers.xml", "accounts.xml"}) {
        fs::copy_file(fs::path(CORVANE_SAMPLE_PUBLISHERS) / name, folder / name,
                      fs::copy_options::overwrite_existing);
    }
    ::setenv("PAL_EVENTLOG_DIR", folder.c_str(), 1);
    ::setenv("PAL_EVENTLOG_POLL_MS", "0", 1);
}

using CorvaneRequests::Node;

// The component configuration: Halyard-Monitor 2001 events carry a plan and an item, 2002 events
// a plan; Imported-Provider is skipped; no sweep.
inline EkNodePtr Configuration() {
    const EkNodePtr configuration = Node(L"Configuration");
    configuration.SetAttribute(L"LogChannelName", std::wstring(ChannelName()));
    configuration.SetAttribute(L"SessionTimeLiveInMin", int64_t{60});
    configuration.SetAttribute(L"SessionCheckIntervalInSec", int64_t{0});
    configuration.SetAttribute(L"TimeOutIntervalInSec", int32_t{30});
    const EkNodePtr resolver = Node(L"InsertionalStringsResolver");
    resolver.SetAttribute(L"EventsProvidersToSkip",
                          std::vector<std::wstring>{L"Imported-Provider"});
    const EkNodePtr plansOnly = Node(L"MonitoringPlansOnly");
    plansOnly.SetAttribute(L"CommonEvents", std::vector<int32_t>{2002});
    const EkNodePtr plansAndItem = Node(L"MonitoringPlansAndItem");
    plansAndItem.SetAttribute(L"CommonEvents", std::vector<int32_t>{2001});
    resolver.AddChild(plansOnly);
    resolver.AddChild(plansAndItem);
    configuration.AddChild(resolver);
    return configuration;
}

// Backup failures of the mail folder: event 101 with "E:\Mail" as the first value, 1.6 % of the
// generated Application events, spread evenly.
inline EkNodePtr OnePercentFilters() {
    using CorvaneRequests::ListFilter;
    return CorvaneRequests::Filters(
        {ListFilter(L"EventIdFilter", L"EventIds", {L"101"}),
         ListFilter(L"MonitoringPlanFilter", L"MonitoringPlans", {L"E:\\Mail"})});
}

// A free-text search for a text that no generated event holds: a page reads the whole channel.
inline EkNodePtr SearchWithoutMatch() {
    const EkNodePtr filters = Node(L"Filters");
    const EkNodePtr search = Node(nullptr, L"SearchFilter");
    search.SetAttribute(L"SearchString", std::wstring(L"no generated event holds this"));
    filters.AddChild(search);
    return filters;
}

// A continuation mark as a client first sends it.
inline EkNodePtr Mark(const GUID& id) {
    return CorvaneRequests::NewMark(PageSize, &id);
}

// A mark that resumes a session at `depth` events, as a client's would after paging there from
// the first page: its page stack holds the start of every page served.
inline EkNodePtr MarkAtDepth(const GUID& id, int64_t depth) {
    const EkNodePtr mark = Mark(id);
    if (depth > 0) {
        std::vector<int64_t> pages;
        for (int64_t start = 0; start < depth; start += PageSize) {
            pages.push_back(start);
        }
        mark.SetAttribute(L"Position", depth);
        mark.SetAttribute(L"Pages", pages);
    }
    return mark;
}

// A request for the next page of the mark's session.
inline EkNodePtr PageRequest(const EkNodePtr& mark, const EkNodePtr& filters = {}) {
    return CorvaneRequests::PageRequest(mark, 0, PageSize, filters);
}

// One page: its continuation mark (for the next request) and whether it was the last.
struct Served {
    EkNodePtr mark;
    bool isBack = false;
    int64_t events = 0;

    static Served Of(const EkNodePtr& response) {
        const EkNodePtr events = response.GetChildByName(L"Events");
        return {response.GetChildByName(L"ContinuationMark"), events.GetBool(L"IsBack"),
                static_cast<int64_t>(events.GetChildCount())};
    }
};

// Pages on from `mark` once per iteration with `serve` (a page request in, the page out); the
// events served, counted as the benchmark's items. `mark` ends as the last page's.
template <typename Serve>
void PageOnward(benchmark::State& state, EkNodePtr& mark, Serve serve) {
    int64_t events = 0;
    for (auto _ : state) {
        const Served page = serve(PageRequest(mark));
        mark = page.mark;
        events += page.events;
        if (page.isBack) {
            state.SkipWithError("the channel ended");
            break;
        }
    }
    state.SetItemsProcessed(events);
}

} // namespace BenchStore
