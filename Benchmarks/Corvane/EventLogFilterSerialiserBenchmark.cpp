// Time to turn a realistic filter set into its query: a date range, three levels, ten providers,
// twenty event ids and ranges, a monitoring plan and an item filter. At the default log severity
// (DBG) every serialization also writes its query to the log; run with GS_Logger_MaxSeverity=ERR
// to time the builder alone.
#include "Halyard/Corvane/EventLogFilterSerialiser.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace Halyard::EventLogFilterSerialiser;

EkNodePtr AddFilter(const EkNodePtr& set, const wchar_t* type) {
    EkNodePtr filter = EkNodePtr::CreateNode(L"Filter", type);
    set.AddChild(filter);
    return filter;
}

EkNodePtr MakeRealisticFilterSet() {
    const EkNodePtr set = EkNodePtr::CreateNode(L"Filters", nullptr);

    const EkNodePtr date = AddFilter(set, L"DateFilter");
    date.SetAttribute(L"Since", std::wstring(L"2024-01-01T00:00:00.000Z"));
    date.SetAttribute(L"To", std::wstring(L"2024-01-31T23:59:59.999Z"));

    AddFilter(set, L"LevelFilter")
        .SetAttribute(L"Levels", std::vector<std::wstring>{L"1", L"2", L"3"});

    std::vector<std::wstring> providers;
    for (int i = 0; i < 10; ++i) {
        providers.push_back(L"Microsoft-Windows-Provider-" + std::to_wstring(i));
    }
    AddFilter(set, L"ProviderFilter").SetAttribute(L"Providers", providers);

    std::vector<std::wstring> ids;
    for (int i = 0; i < 14; ++i) {
        ids.push_back(std::to_wstring(4600 + i));
    }
    for (int i = 0; i < 4; ++i) {
        ids.push_back(std::to_wstring(5000 + i * 10) + L"-" + std::to_wstring(5005 + i * 10));
    }
    ids.push_back(L"-4625");
    ids.push_back(L"-4634");
    AddFilter(set, L"EventIdFilter").SetAttribute(L"EventIds", ids);

    AddFilter(set, L"MonitoringPlanFilter")
        .SetAttribute(L"MonitoringPlans", std::vector<std::wstring>{L"Active Directory Audit"});
    AddFilter(set, L"ItemFilter")
        .SetAttribute(L"Items", std::vector<std::wstring>{L"dc01.example.local"});
    return set;
}

void BM_SerializeRealisticFilterSet(benchmark::State& state) {
    const EkNodePtr set = MakeRealisticFilterSet();
    size_t queryLength = 0;
    for (auto _ : state) {
        Serrializer builder(L"Security", set);
        const EkNodePtr result = builder.Serialize();
        benchmark::DoNotOptimize(result.Get());
        if (queryLength == 0) {
            queryLength = result.GetString(L"QueryString").size();
        }
    }
    state.counters["query_chars"] = static_cast<double>(queryLength);
}
BENCHMARK(BM_SerializeRealisticFilterSet)->Unit(benchmark::kMicrosecond);

void BM_SerializeNoFilters(benchmark::State& state) {
    for (auto _ : state) {
        Serrializer builder(L"Security", EkNodePtr());
        const EkNodePtr result = builder.Serialize();
        benchmark::DoNotOptimize(result.Get());
    }
}
BENCHMARK(BM_SerializeNoFilters)->Unit(benchmark::kMicrosecond);

// Cost against the number of event ids: must grow linearly, not quadratically.
void BM_SerializeManyEventIds(benchmark::State& state) {
    const EkNodePtr set = EkNodePtr::CreateNode(L"Filters", nullptr);
    std::vector<std::wstring> ids;
    for (int64_t i = 0; i < state.range(0); ++i) {
        ids.push_back(i % 10 == 9 ? std::to_wstring(i) + L"-" + std::to_wstring(i + 5)
                                  : std::to_wstring(i));
    }
    AddFilter(set, L"EventIdFilter").SetAttribute(L"EventIds", ids);
    for (auto _ : state) {
        Serrializer builder(L"Security", set);
        const EkNodePtr result = builder.Serialize();
        benchmark::DoNotOptimize(result.Get());
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SerializeManyEventIds)
    ->RangeMultiplier(10)
    ->Range(100, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

} // namespace
