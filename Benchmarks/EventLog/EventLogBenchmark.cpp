// Figures of the Event Log stand-in on a generated channel of 1,000,000 events. The events are
// written once to $TMPDIR/corvane-evtlog-bench-<count> (reused by later runs, with the store's
// cache of them). Environment:
// EVTLOG_BENCH_EVENTS changes the channel size (also: EvtFormatMessage from provider metadata);
// CORVANE_SHARED_DATA names the folder of real .evtx logs for the import figures (default
// ../shared/data beside the source tree).
#include "PalEventLog/Evtx/EvtxFile.h"
#include "PalEventLog/Query/Query.h"
#include "PalEventLog/Store/Store.h"
#include "SampleEvents.h"

#include "Win32/WinEventLog.h"
#include "Win32/WinEvt.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace PalEventLog;

namespace {

uint64_t EventCount() {
    const char* text = std::getenv("EVTLOG_BENCH_EVENTS");
    return text ? std::strtoull(text, nullptr, 10) : 1'000'000;
}

fs::path BenchFolder() {
    const fs::path folder =
        fs::temp_directory_path() / ("corvane-evtlog-bench-" + std::to_string(EventCount()));
    const fs::path file = folder / "Application.xml";
    if (!fs::exists(file)) {
        fs::create_directories(folder);
        std::ofstream out(folder / "Application.xml.part", std::ios::binary);
        EventLogTool::WriteSampleEvents(out, "Application", EventCount());
        out.close();
        fs::rename(folder / "Application.xml.part", file);
    }
    return folder;
}

// Heap in use, small blocks and mapped large ones.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The store every benchmark after the load reads; loaded once.
std::shared_ptr<Store>& BenchStore() {
    static std::shared_ptr<Store> store = [] {
        auto s = Store::Open(BenchFolder(), nullptr);
        SetGlobalStore(s);
        return s;
    }();
    return store;
}

void BM_LoadXml(benchmark::State& state) {
    const fs::path folder = BenchFolder();
    size_t events = 0;
    ::setenv("PAL_EVENTLOG_CACHE", "0", 1); // parse the XML, neither read nor write the cache
    for (auto _ : state) {
        const size_t before = HeapInUse();
        LoadReport report;
        auto store = Store::Open(folder, &report);
        const size_t after = HeapInUse();
        Store::ReadLock lock(*store);
        const Channel& channel = *store->FindChannel(L"Application");
        events = channel.events.size();
        const double n = static_cast<double>(events);
        state.counters["events"] = n;
        state.counters["heap_bytes_per_event"] = static_cast<double>(after - before) / n;
        state.counters["fixed_bytes_per_event"] =
            static_cast<double>(channel.events.size() * sizeof(Event) +
                                channel.items.size() * sizeof(Item)) /
            n;
        state.counters["string_bytes_per_event"] =
            static_cast<double>(channel.text.size() * sizeof(wchar_t)) / n;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * events));
}
BENCHMARK(BM_LoadXml)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same channel from the store's cache of parsed files (written by an untimed first load).
void BM_LoadCache(benchmark::State& state) {
    const fs::path folder = BenchFolder();
    ::unsetenv("PAL_EVENTLOG_CACHE");
    Store::Open(folder, nullptr);
    size_t events = 0;
    for (auto _ : state) {
        auto store = Store::Open(folder, nullptr);
        Store::ReadLock lock(*store);
        events = store->FindChannel(L"Application")->events.size();
    }
    state.counters["events"] = static_cast<double>(events);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * events));
}
BENCHMARK(BM_LoadCache)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ScanLevel2(benchmark::State& state) {
    Store& store = *BenchStore();
    Store::ReadLock lock(store);
    const Channel& channel = *store.FindChannel(L"Application");
    Expression e;
    QueryError error;
    Expression::CompileFilter(L"*[System[(Level=2)]]", e, error);
    size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        for (const Event& event : channel.events) {
            matched += e.Matches(store, channel, event, 0) ? 1 : 0;
        }
        benchmark::DoNotOptimize(matched);
    }
    state.counters["matched"] = static_cast<double>(matched);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * channel.events.size()));
}
BENCHMARK(BM_ScanLevel2)->Unit(benchmark::kMillisecond);

// The same scan through EvtQuery/EvtNext, with every match handed out and closed.
void BM_QueryLevel2(benchmark::State& state) {
    BenchStore();
    size_t matched = 0;
    for (auto _ : state) {
        matched = 0;
        EVT_HANDLE rs =
            EvtQuery(nullptr, L"Application", L"*[System[(Level=2)]]", EvtQueryChannelPath);
        EVT_HANDLE batch[256];
        DWORD returned = 0;
        while (EvtNext(rs, 256, batch, INFINITE, 0, &returned)) {
            for (DWORD i = 0; i < returned; ++i) {
                EvtClose(batch[i]);
            }
            matched += returned;
        }
        EvtClose(rs);
    }
    state.counters["matched"] = static_cast<double>(matched);
    Store::ReadLock lock(*BenchStore());
    state.SetItemsProcessed(static_cast<int64_t>(
        state.iterations() * BenchStore()->FindChannel(L"Application")->events.size()));
}
BENCHMARK(BM_QueryLevel2)->Unit(benchmark::kMillisecond);

// EvtNext of one event, its System render, and its close: the per-event cost of a reader.
void BM_NextAndRenderSystem(benchmark::State& state) {
    BenchStore();
    EVT_HANDLE context = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
    alignas(8) unsigned char buffer[4096];
    EVT_HANDLE rs = EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath);
    for (auto _ : state) {
        EVT_HANDLE event = nullptr;
        DWORD returned = 0;
        if (!EvtNext(rs, 1, &event, INFINITE, 0, &returned)) {
            state.PauseTiming();
            EvtClose(rs);
            rs = EvtQuery(nullptr, L"Application", L"*", EvtQueryChannelPath);
            state.ResumeTiming();
            EvtNext(rs, 1, &event, INFINITE, 0, &returned);
        }
        DWORD used = 0, count = 0;
        EvtRender(context, event, EvtRenderEventValues, sizeof buffer, buffer, &used, &count);
        benchmark::DoNotOptimize(buffer);
        EvtClose(event);
    }
    EvtClose(rs);
    EvtClose(context);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextAndRenderSystem);

// Heap held by an open result set: the average over many (so that freed blocks the allocator
// keeps at hand do not hide it), before and after some of them are read to their last event.
void BM_ResultSetMemory(benchmark::State& state) {
    BenchStore();
    constexpr int kSets = 1000;
    constexpr int kRead = 5;
    for (auto _ : state) {
        std::vector<EVT_HANDLE> sets;
        const size_t before = HeapInUse();
        for (int i = 0; i < kSets; ++i) {
            sets.push_back(
                EvtQuery(nullptr, L"Application", L"*[System[(Level=2)]]", EvtQueryChannelPath));
        }
        const size_t opened = HeapInUse();
        for (int i = 0; i < kRead; ++i) {
            EvtSeek(sets[i], 1LL << 40, nullptr, 0, EvtSeekRelativeToFirst); // walks every event
        }
        const size_t read = HeapInUse();
        state.counters["bytes_per_open_set"] = static_cast<double>(opened - before) / kSets;
        state.counters["bytes_after_reading_5_to_the_end"] = static_cast<double>(read - opened);
        for (EVT_HANDLE h : sets) {
            EvtClose(h);
        }
    }
}
BENCHMARK(BM_ResultSetMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

fs::path SharedEvtx() {
    const char* shared = std::getenv("CORVANE_SHARED_DATA");
    return (shared ? fs::path(shared) : fs::path(CORVANE_SOURCE_DIR) / ".." / "shared" / "data") /
           "evtx";
}

std::vector<fs::path> EvtxFiles() {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(SharedEvtx(), ec)) {
        if (entry.path().extension() == ".evtx" &&
            entry.path().parent_path().filename() != "damaged") {
            files.push_back(entry.path());
        }
    }
    return files;
}

// libevtx alone: open each file, read every record's XML (as the import does).
void BM_EvtxLibevtxOnly(benchmark::State& state) {
    const auto files = EvtxFiles();
    if (files.empty()) {
        state.SkipWithError("no shared .evtx files");
        return;
    }
    size_t records = 0;
    std::string xml;
    for (auto _ : state) {
        for (const fs::path& file : files) {
            EvtxFile log;
            std::wstring error;
            if (!log.Open(file, error)) {
                continue;
            }
            const int count = log.RecordCount(error);
            for (int i = 0; i < count; ++i) {
                EvtxRecord record;
                if (log.Record(i, record, error) && record.Xml(xml, error)) {
                    ++records;
                }
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(records));
}
BENCHMARK(BM_EvtxLibevtxOnly)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The store's import: libevtx plus our XML parsing into compact events.
void BM_EvtxImport(benchmark::State& state) {
    const auto files = EvtxFiles();
    if (files.empty()) {
        state.SkipWithError("no shared .evtx files");
        return;
    }
    size_t records = 0;
    for (auto _ : state) {
        Store store;
        Store::WriteLock lock(store);
        LoadReport report;
        for (const fs::path& file : files) {
            store.LoadEvtxFile(file, report);
        }
        records += report.events;
    }
    state.SetItemsProcessed(static_cast<int64_t>(records));
}
BENCHMARK(BM_EvtxImport)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Writing with one subscriber: ReportEventW calls per second into a store in memory (range 0) or
// a store folder that persists every event (range 1); the time includes the subscriber's catching
// up with the last event.
std::atomic<uint64_t> g_delivered{0};
std::atomic<int64_t> g_deliveredAt{0}; // steady-clock nanoseconds of the last delivery

DWORD WINAPI CountDelivery(EVT_SUBSCRIBE_NOTIFY_ACTION action, PVOID, EVT_HANDLE) {
    if (action == EvtSubscribeActionDeliver) {
        g_deliveredAt.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                            std::memory_order_relaxed);
        g_delivered.fetch_add(1, std::memory_order_release);
    }
    return 0;
}

struct WritingStore {
    std::shared_ptr<Store> previous = GlobalStore();
    fs::path folder;
    HANDLE source = nullptr;
    EVT_HANDLE subscription = nullptr;

    explicit WritingStore(bool persisted) {
        if (persisted) {
            folder =
                fs::temp_directory_path() / ("corvane-evtlog-write-" + std::to_string(getpid()));
            fs::remove_all(folder);
            fs::create_directories(folder);
            SetGlobalStore(Store::Open(folder, nullptr));
        } else {
            SetGlobalStore(std::make_shared<Store>());
        }
        g_delivered = 0;
        subscription = EvtSubscribe(nullptr, nullptr, L"Application", nullptr, nullptr, nullptr,
                                    &CountDelivery, EvtSubscribeToFutureEvents);
        source = RegisterEventSourceW(nullptr, L"Bench");
    }
    ~WritingStore() {
        DeregisterEventSource(source);
        EvtClose(subscription);
        SetGlobalStore(previous);
        if (!folder.empty()) {
            fs::remove_all(folder);
        }
    }
    bool Report(uint64_t n) const {
        const std::wstring text = L"event " + std::to_wstring(n);
        LPCWSTR strings[] = {text.c_str(), L"second insertion string"};
        return ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 1, 1000, nullptr, 2, 0, strings,
                            nullptr) != FALSE;
    }
};

void BM_ReportEventWithSubscriber(benchmark::State& state) {
    WritingStore writing(state.range(0) != 0);
    uint64_t written = 0;
    for (auto _ : state) {
        if (!writing.Report(written++)) {
            state.SkipWithError("ReportEventW failed");
            break;
        }
    }
    while (g_delivered.load(std::memory_order_acquire) < written) {
        std::this_thread::yield();
    }
    state.SetItemsProcessed(static_cast<int64_t>(written));
    state.counters["delivered"] = static_cast<double>(g_delivered.load());
}
BENCHMARK(BM_ReportEventWithSubscriber)->Arg(0)->Arg(1)->Iterations(20000)->UseRealTime();

// Seconds from `start` to the last delivery the subscriber recorded.
double SecondsToDelivery(std::chrono::steady_clock::time_point start) {
    const auto at = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(g_deliveredAt.load(std::memory_order_relaxed)));
    return std::chrono::duration<double>(at - start).count();
}

// The median, 99th percentile and maximum of latencies in seconds, as counters in `unit`s.
void SetLatencyCounters(benchmark::State& state, std::vector<double> seconds, const char* unit,
                        double perSecond) {
    if (seconds.empty()) {
        return;
    }
    std::sort(seconds.begin(), seconds.end());
    const std::string suffix = std::string("_") + unit;
    state.counters["median" + suffix] = seconds[seconds.size() / 2] * perSecond;
    state.counters["p99" + suffix] = seconds[seconds.size() * 99 / 100] * perSecond;
    state.counters["max" + suffix] = seconds.back() * perSecond;
}

// From ReportEventW to the subscriber's callback: median and 99th percentile over the iterations.
void BM_ReportToCallbackLatency(benchmark::State& state) {
    WritingStore writing(false);
    std::vector<double> seconds;
    uint64_t written = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        writing.Report(written++);
        while (g_delivered.load(std::memory_order_acquire) < written) {
        }
        seconds.push_back(SecondsToDelivery(start));
        state.SetIterationTime(seconds.back());
    }
    SetLatencyCounters(state, std::move(seconds), "us", 1e6);
}
BENCHMARK(BM_ReportToCallbackLatency)
    ->Iterations(5000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// From another writer's append to a store folder's file to a subscriber's callback. The folder
// is watched at the default interval (250 ms); appends come at random points of it, as another
// process's would, so the median is about half of it and the maximum about all of it.
void BM_FolderAppendToCallbackLatency(benchmark::State& state) {
    WritingStore writing(true);
    const fs::path file = writing.folder / "other.xml";
    std::vector<double> seconds;
    uint64_t appended = 0;
    uint64_t randomState = 42;
    for (auto _ : state) {
        randomState = randomState * 6364136223846793005ull + 1442695040888963407ull;
        std::this_thread::sleep_for(std::chrono::milliseconds((randomState >> 33) % 250));
        ++appended;
        const auto start = std::chrono::steady_clock::now();
        std::ofstream(file, std::ios::app | std::ios::binary)
            << "<Event><System><Provider Name='Other'/><EventID>1</EventID><Level>4</Level>"
               "<TimeCreated SystemTime='2024-01-01T00:00:00Z'/><EventRecordID>"
            << appended << "</EventRecordID><Channel>Application</Channel></System></Event>\n";
        while (g_delivered.load(std::memory_order_acquire) < appended) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        seconds.push_back(SecondsToDelivery(start));
        state.SetIterationTime(seconds.back());
    }
    SetLatencyCounters(state, std::move(seconds), "ms", 1e3);
}
BENCHMARK(BM_FolderAppendToCallbackLatency)
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ReadEventLogW seek reads at random records of the large channel, per record read: with a 64 KiB
// buffer, which a seek read fills with the record and those after it (range 0), and as the module
// reads one record (range 1): a 1-byte buffer first, then the size asked for.
void BM_ReadEventLogSeek(benchmark::State& state) {
    BenchStore();
    HANDLE log = OpenEventLogW(nullptr, L"Application");
    DWORD records = 0;
    GetNumberOfEventLogRecords(log, &records);
    std::vector<uint8_t> buffer(64 * 1024);
    uint64_t randomState = 12345;
    const bool sizing = state.range(0) != 0;
    uint64_t recordsRead = 0;
    for (auto _ : state) {
        randomState = randomState * 6364136223846793005ull + 1442695040888963407ull;
        const auto record = static_cast<DWORD>(1 + (randomState >> 33) % records);
        DWORD read = 0;
        DWORD needed = 0;
        DWORD size = static_cast<DWORD>(buffer.size());
        if (sizing) {
            ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, record, buffer.data(),
                          1, &read, &needed);
            size = needed;
        }
        if (!ReadEventLogW(log, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, record, buffer.data(),
                           size, &read, &needed)) {
            state.SkipWithError("ReadEventLogW failed");
            break;
        }
        for (DWORD at = 0; at < read; ++recordsRead) {
            DWORD length = 0;
            std::memcpy(&length, buffer.data() + at, sizeof length);
            at += length;
        }
    }
    CloseEventLog(log);
    state.SetItemsProcessed(static_cast<int64_t>(recordsRead));
}
BENCHMARK(BM_ReadEventLogSeek)->Arg(0)->Arg(1);

// EvtFormatMessage of a failed sign-in (eight insertions, %%n parameter) from imported provider
// metadata: the export of Tests/Platform/EventLog/Store/ProviderExports over 1,000 such events.
void BM_FormatMessageFromExport(benchmark::State& state) {
    const fs::path folder =
        fs::temp_directory_path() / ("corvane-format-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    fs::copy_file(fs::path(CORVANE_SOURCE_DIR) /
                      "Tests/Platform/EventLog/Store/ProviderExports/security-auditing.xml",
                  folder / "auditing.xml", fs::copy_options::overwrite_existing);
    std::ofstream(folder / "publishers.xml")
        << "<Publishers><Publisher Name='Microsoft-Windows-Security-Auditing'>"
           "<Parameter Id='2313'>unknown name or bad password</Parameter></Publisher></Publishers>";
    {
        std::ofstream events(folder / "events.xml");
        const char* names[] = {"SubjectUserSid",
                               "SubjectUserName",
                               "SubjectDomainName",
                               "SubjectLogonId",
                               "TargetUserSid",
                               "TargetUserName",
                               "TargetDomainName",
                               "Status",
                               "FailureReason",
                               "SubStatus",
                               "LogonType",
                               "LogonProcessName",
                               "AuthenticationPackageName",
                               "WorkstationName",
                               "TransmittedServices",
                               "LmPackageName",
                               "KeyLength",
                               "ProcessId",
                               "ProcessName",
                               "IpAddress",
                               "IpPort"};
        for (int r = 1; r <= 1000; ++r) {
            events << "<Event><System><Provider Name='Microsoft-Windows-Security-Auditing'/>"
                      "<EventID>4625</EventID><Version>0</Version><Level>0</Level>"
                      "<Task>12544</Task><Keywords>0x8010000000000000</Keywords>"
                      "<TimeCreated SystemTime='2024-01-01T00:00:00Z'/><EventRecordID>"
                   << r << "</EventRecordID><Channel>Security</Channel><Computer>c</Computer>"
                   << "</System><EventData>";
            for (const char* name : names) {
                events << "<Data Name='" << name << "'>"
                       << (std::string(name) == "FailureReason" ? "%%2313" : name) << r
                       << "</Data>";
            }
            events << "</EventData></Event>\n";
        }
    }
    const std::shared_ptr<Store> previous = GlobalStore();
    SetGlobalStore(Store::Open(folder, nullptr));
    EVT_HANDLE rs = EvtQuery(nullptr, L"Security", L"*", EvtQueryChannelPath);
    std::vector<EVT_HANDLE> events(1000);
    DWORD returned = 0;
    EvtNext(rs, 1000, events.data(), INFINITE, 0, &returned);
    events.resize(returned);
    EVT_HANDLE metadata =
        EvtOpenPublisherMetadata(nullptr, L"Microsoft-Windows-Security-Auditing", nullptr, 0, 0);
    wchar_t buffer[2048];
    size_t next = 0;
    for (auto _ : state) {
        DWORD used = 0;
        if (!EvtFormatMessage(metadata, events[next], 0, 0, nullptr, EvtFormatMessageEvent, 2048,
                              buffer, &used)) {
            state.SkipWithError("EvtFormatMessage failed");
            break;
        }
        benchmark::DoNotOptimize(buffer);
        next = (next + 1) % events.size();
    }
    state.SetItemsProcessed(state.iterations());
    for (EVT_HANDLE e : events) {
        EvtClose(e);
    }
    EvtClose(metadata);
    EvtClose(rs);
    SetGlobalStore(previous);
    fs::remove_all(folder);
}
BENCHMARK(BM_FormatMessageFromExport);

} // namespace

BENCHMARK_MAIN();
