// Figures of the module served over HTTP: 1, 4 and 16 concurrent clients on a channel of
// 1,000,000 generated events, each client opening a session (its first page of 100 events) and
// reading the next pages. Prints requests per second and the 50th and 99th percentile latencies
// of first pages and next pages. Before that, the JSON form alone: a real next page's response
// tree written as the host sends it, the page request read as the host reads it, and the response
// text read back into a tree, each in microseconds per event of the page. The store is written
// once to $TMPDIR/corvane-http-bench-<count> (with the sample publishers, so messages are
// formatted); HTTP_BENCH_EVENTS changes the count, HTTP_BENCH_SECONDS the time per client count
// (default 10), HTTP_BENCH_CLIENTS the largest client count (default 16).
#include "HttpApi.h"
#include "NodeJson.h"
#include "SampleEvents.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace HalyardHost;
using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

uint64_t Setting(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

fs::path StoreFolder(uint64_t events) {
    const fs::path folder =
        fs::temp_directory_path() / ("corvane-http-bench-" + std::to_string(events));
    if (!fs::exists(folder / "Application.xml")) {
        fs::create_directories(folder);
        std::ofstream out(folder / "Application.xml.part", std::ios::binary);
        EventLogTool::WriteSampleEvents(out, "Application", events);
        out.close();
        fs::rename(folder / "Application.xml.part", folder / "Application.xml");
    }
    fs::copy_file(fs::path(CORVANE_SOURCE_DIR) / "Tools/SampleStore/publishers.xml",
                  folder / "publishers.xml", fs::copy_options::overwrite_existing);
    return folder;
}

Json Attribute(const std::string& name, int type, Json value) {
    return {{"name", name}, {"type", type}, {"value", std::move(value)}};
}

Json PageRequest(const Json& mark) {
    return {{"name", "GetDataRequest"},
            {"attributes", {Attribute("Direction", 4, 0), Attribute("EventsCount", 6, "100")}},
            {"children", {mark}}};
}

Json NewMark(uint64_t n) {
    char id[40];
    std::snprintf(id, sizeof(id), "{%08llX-0000-4000-8000-%012llX}",
                  static_cast<unsigned long long>(n >> 32),
                  static_cast<unsigned long long>(n & 0xFFFFFFFFFFFFull));
    return {{"name", "ContinuationMark"},
            {"attributes",
             {Attribute("SessionId", 13, id), Attribute("Position", 6, "0"),
              Attribute("Count", 6, "100")}}};
}

struct Samples {
    std::mutex lock;
    std::vector<double> first;
    std::vector<double> next;
};

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// One client: sessions of one first page and nine next pages each, until the time is up.
void Client(int port, uint64_t clientIndex, Clock::time_point end, Samples& samples,
            std::atomic<uint64_t>& failures) {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true); // as browsers do
    client.set_read_timeout(120, 0);
    std::vector<double> first;
    std::vector<double> next;
    for (uint64_t session = 0; Clock::now() < end; ++session) {
        Json mark = NewMark((clientIndex << 40) | session);
        for (int page = 0; page < 10 && Clock::now() < end; ++page) {
            const std::string request = PageRequest(mark).dump();
            const auto start = Clock::now();
            const auto result = client.Post("/api/request", request, "application/json");
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            if (!result || result->status != 200) {
                ++failures;
                break;
            }
            const Json response = Json::parse(result->body);
            for (const Json& child : response["children"]) {
                if (child.value("name", std::string()) == "ContinuationMark") {
                    mark = child;
                }
            }
            (page == 0 ? first : next).push_back(ms);
        }
        const Json release = {{"name", "ReleaseSessionRequest"}, {"children", {mark}}};
        client.Post("/api/request", release.dump(), "application/json");
    }
    const std::lock_guard lock(samples.lock);
    samples.first.insert(samples.first.end(), first.begin(), first.end());
    samples.next.insert(samples.next.end(), next.begin(), next.end());
}

// Runs `action` repeatedly for about a second; the mean microseconds of one run.
template <typename Action>
double MicrosecondsPerRun(Action&& action) {
    action(); // warm
    uint64_t runs = 0;
    const auto start = Clock::now();
    auto elapsed = Clock::duration::zero();
    while (elapsed < std::chrono::seconds(1)) {
        for (int i = 0; i < 10; ++i) {
            action();
        }
        runs += 10;
        elapsed = Clock::now() - start;
    }
    return std::chrono::duration<double, std::micro>(elapsed).count() / static_cast<double>(runs);
}

// The JSON form of a next page of 100 events through the module, per event of the page.
bool PrintJsonFormFigures(const ModuleHost& module) {
    const auto ask = [&module](const Json& request, EkNodePtr& response) {
        return module.ProcessRequest(NodeFromJson(request), response) == S_OK;
    };
    EkNodePtr first;
    if (!ask(PageRequest(NewMark(~1ull)), first)) {
        return false;
    }
    Json mark = NodeToJson(first.GetChildByName(L"ContinuationMark"));
    EkNodePtr page;
    if (!ask(PageRequest(mark), page)) {
        return false;
    }
    const std::string request = PageRequest(mark).dump();
    // The same request deep into its session: a mark holding the starts of 3,000 pages.
    Json deepMark = mark;
    Json starts = Json::array();
    for (int i = 0; i < 3000; ++i) {
        starts.push_back(std::to_string(i * 100));
    }
    Json& attributes = deepMark["attributes"];
    attributes.erase(std::remove_if(attributes.begin(), attributes.end(),
                                    [](const Json& a) { return a["name"] == "Pages"; }),
                     attributes.end());
    attributes.push_back(Attribute("Pages", 262, std::move(starts)));
    const std::string deepRequest = PageRequest(deepMark).dump();
    const std::string response = NodeToJsonText(page);
    const double events = static_cast<double>(page.GetChildByName(L"Events").GetChildCount());
    size_t sink = 0;
    const double write = MicrosecondsPerRun([&] { sink += NodeToJsonText(page).size(); });
    const double readRequest =
        MicrosecondsPerRun([&] { sink += NodeFromJson(Json::parse(request)).Get() != nullptr; });
    const double readDeepRequest = MicrosecondsPerRun(
        [&] { sink += NodeFromJson(Json::parse(deepRequest)).Get() != nullptr; });
    const double readResponse =
        MicrosecondsPerRun([&] { sink += NodeFromJson(Json::parse(response)).Get() != nullptr; });
    std::printf("JSON form of a next page of %.0f events (%zu bytes), us per event:\n", events,
                response.size());
    std::printf("  response tree -> JSON text  %8.3f\n", write / events);
    std::printf("  request JSON -> tree        %8.3f (%.1f us a request)\n", readRequest / events,
                readRequest);
    std::printf("  response JSON -> tree       %8.3f\n", readResponse / events);
    std::printf("  request JSON -> tree, a mark of 3,000 pages: %.1f us a request\n",
                readDeepRequest);
    return sink != 0;
}

} // namespace

int main() {
    const uint64_t events = Setting("HTTP_BENCH_EVENTS", 1'000'000);
    const auto seconds = std::chrono::seconds(Setting("HTTP_BENCH_SECONDS", 10));
    setenv("PAL_EVENTLOG_DIR", StoreFolder(events).c_str(), 1);
    setenv("GS_Logger_MaxSeverity", "ERR", 1);

    std::string error;
    const auto module = ModuleHost::Load(ModuleBesideProgram(), error);
    if (!module) {
        std::cerr << error << "\n";
        return 1;
    }
    std::ifstream configFile(fs::path(CORVANE_SOURCE_DIR) /
                             "Tools/HalyardHost/corvane-config.json");
    if (module->Configure(NodeFromJson(Json::parse(configFile))) != S_OK) {
        std::cerr << "Configure failed\n";
        return 1;
    }
    if (!PrintJsonFormFigures(*module)) {
        std::cerr << "the page requests failed\n";
        return 1;
    }
    ServeOptions options;
    options.port = 0;
    HttpApi api(*module, options);
    if (!api.Bind(error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::thread server([&api] { api.Listen(); });

    // The store loads on first use: one page before the clock starts.
    {
        httplib::Client warm("127.0.0.1", api.Port());
        warm.set_read_timeout(600, 0);
        warm.Post("/api/request", PageRequest(NewMark(~0ull)).dump(), "application/json");
    }

    std::printf("channel of %llu events, page size 100, %lld s per row\n",
                static_cast<unsigned long long>(events), static_cast<long long>(seconds.count()));
    std::printf("%8s %12s %10s %10s %12s %10s %10s %9s\n", "clients", "first/s", "p50 ms", "p99 ms",
                "next/s", "p50 ms", "p99 ms", "failures");
    const auto maxClients = static_cast<int>(Setting("HTTP_BENCH_CLIENTS", 16));
    for (const int clients : {1, 4, 16}) {
        if (clients > maxClients) {
            break;
        }
        Samples samples;
        std::atomic<uint64_t> failures{0};
        const auto end = Clock::now() + seconds;
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i) {
            threads.emplace_back(Client, api.Port(), static_cast<uint64_t>(i), end,
                                 std::ref(samples), std::ref(failures));
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        const double elapsed = static_cast<double>(seconds.count());
        const double firstRate = static_cast<double>(samples.first.size()) / elapsed;
        const double nextRate = static_cast<double>(samples.next.size()) / elapsed;
        std::printf("%8d %12.1f %10.2f %10.2f %12.1f %10.2f %10.2f %9llu\n", clients, firstRate,
                    Percentile(samples.first, 0.5), Percentile(samples.first, 0.99), nextRate,
                    Percentile(samples.next, 0.5), Percentile(samples.next, 0.99),
                    static_cast<unsigned long long>(failures.load()));
    }
    api.Stop();
    server.join();
    return 0;
}
