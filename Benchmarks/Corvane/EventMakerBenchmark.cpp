// Time to render one event into its node with EventMaker::MakeEvent, messages on and the
// publisher metadata cached (the maker lives across events, as in a query context), on the
// channels of the generated sample store. System and Security events all have publisher
// metadata; 2% of the Application events come from a provider without any, and each of those
// tries to open it again and gets the failure text as its message. Also the parts: the system
// render alone, the message alone, and an event node of 15 attributes without any Event Log call.
#include "Halyard/Corvane/EventMaker.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

using EventsApiUtils::SmartEvtVector;
using EventsApiUtils::SmartHandle;

// The events of a channel of the sample store with the result set that keeps them valid. The
// store's folder watcher is off: it would share the one core with the benchmark.
struct ChannelEvents {
    SmartHandle resultSet;
    SmartEvtVector events;

    explicit ChannelEvents(const wchar_t* channel, const wchar_t* query = L"*") {
        ::setenv("PAL_EVENTLOG_DIR", CORVANE_SAMPLE_STORE, 0);
        ::setenv("PAL_EVENTLOG_POLL_MS", "0", 0);
        resultSet = EventsApiUtils::MakeQuery(channel, query, EvtQueryForwardDirection);
        for (;;) {
            SmartEvtVector batch;
            if (EventsApiUtils::GetNextData(*resultSet, 100, 0, batch).Failed()) {
                break;
            }
            for (SmartHandle& event : batch) {
                events.push_back(std::move(event));
            }
        }
    }
};

void MakeEvent(benchmark::State& state, const wchar_t* channel) {
    const ChannelEvents channelEvents(channel);
    Halyard::EventMaker maker;
    const SmartHandle noClassicLog;
    size_t next = 0;
    for (auto _ : state) {
        const EVT_HANDLE event = *channelEvents.events[next];
        next = next + 1 == channelEvents.events.size() ? 0 : next + 1;
        benchmark::DoNotOptimize(maker.MakeEvent(event, noClassicLog, nullptr).Get());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(MakeEvent, System, L"System");
BENCHMARK_CAPTURE(MakeEvent, Security, L"Security");
BENCHMARK_CAPTURE(MakeEvent, Application, L"Application");

void RenderSystemValues(benchmark::State& state) {
    const ChannelEvents channelEvents(L"System");
    const SmartHandle context =
        EventsApiUtils::CreateRenderContext(EvtRenderContextSystem, nullptr, 0);
    EventsApiUtils::ByteBuffer buffer;
    size_t next = 0;
    for (auto _ : state) {
        EventsApiUtils::RenderEvent(*context, *channelEvents.events[next], buffer);
        next = next + 1 == channelEvents.events.size() ? 0 : next + 1;
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(RenderSystemValues);

void FormatMessage(benchmark::State& state) {
    const ChannelEvents channelEvents(L"System",
                                      L"*[System[Provider[@Name='Sample-Service-Control']]]");
    Halyard::EventMaker maker;
    std::wstring message;
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(maker.GetEventMessageString(*channelEvents.events[next],
                                                             L"Sample-Service-Control", message));
        next = next + 1 == channelEvents.events.size() ? 0 : next + 1;
    }
}
BENCHMARK(FormatMessage);

// The node of a System event without the Event Log API: the attributes MakeEvent sets.
void BuildEventNode(benchmark::State& state) {
    const std::wstring message = L"The Print Spooler service entered the running state.";
    for (auto _ : state) {
        const EkNodePtr node = EkNodePtr::CreateNode(nullptr, L"EventInfo");
        for (const wchar_t* name : {L"EventId", L"Qualifier", L"Task", L"Version", L"Level",
                                    L"Opcode", L"Keywords", L"RecordId"}) {
            node.SetAttribute(name, int64_t{7036});
        }
        node.SetAttribute(L"ProviderName", std::wstring(L"Sample-Service-Control"));
        node.SetAttribute(L"Channel", std::wstring(L"System"));
        node.SetAttribute(L"Computer", std::wstring(L"corvane-host.example"));
        node.SetAttribute(L"TimeCreated", std::wstring(L"2024-01-01T00:00:04Z"));
        node.SetAttribute(L"User", std::wstring(L"NT AUTHORITY\\SYSTEM"));
        node.SetAttribute(L"Message", message);
        benchmark::DoNotOptimize(node.Get());
    }
}
BENCHMARK(BuildEventNode);

} // namespace
