// The cost of a log site whose severity is disabled, and lines per second written to a log file
// with the default logger settings, from one and from four threads.

#include "Logging/FileLogger.h"
#include "Logging/LogManager.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

void BM_IsEnabledDisabledSeverity(benchmark::State& state) {
    auto& log = Logging::LogManager::Instance();
    for (auto _ : state) {
        benchmark::DoNotOptimize(log.IsEnabled(Logging::LOG_DBG3));
    }
}
BENCHMARK(BM_IsEnabledDisabledSeverity);

void BM_DisabledLogSite(benchmark::State& state) {
    int value = 42;
    for (auto _ : state) {
        LOG_AT(Logging::LOG_DBG3, L"Halyard::Session::GetData value=" << value);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DisabledLogSite);

// The benchmark's log file, registered for the run of one benchmark.
struct FileTarget {
    std::filesystem::path directory;
    std::unique_ptr<Logging::FileLogger> logger;
};
FileTarget* g_target = nullptr;

void BM_LinesToFile(benchmark::State& state) {
    if (state.thread_index() == 0) {
        auto target = std::make_unique<FileTarget>();
        target->directory = std::filesystem::temp_directory_path() /
                            ("logging-benchmark-" + std::to_string(::getpid()));
        std::filesystem::create_directories(target->directory);
        target->logger = std::make_unique<Logging::FileLogger>(
            (target->directory / "Benchmark.log").wstring(), Logging::FileLogger::ModuleBanner());
        Logging::LogManager::Instance().AddLogger(target->logger.get());
        g_target = target.release();
    }
    const int thread = state.thread_index();
    int64_t line = 0;
    for (auto _ : state) {
        LOG_AT(Logging::LOG_INFO, L"Halyard::SessionsHolder::GetSessionEvents thread "
                                      << thread << L" line " << line++
                                      << L" session {6B29FC40-CA47-1067-B31D-00DD010662DA}");
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        Logging::LogManager::Instance().RemoveLogger(g_target->logger.get());
        const auto size = std::filesystem::file_size(g_target->directory / "Benchmark.log");
        state.counters["file_MiB"] = static_cast<double>(size) / (1 << 20);
        std::unique_ptr<FileTarget> target(g_target);
        g_target = nullptr;
        target->logger.reset();
        std::filesystem::remove_all(target->directory);
    }
}
BENCHMARK(BM_LinesToFile)->Threads(1)->UseRealTime();
BENCHMARK(BM_LinesToFile)->Threads(4)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // The default settings: nothing from the environment.
    for (const char* name : {"GS_Logger_MaxSeverity", "GS_Logger_KeepOpenInterval",
                             "GS_Logger_LogFileSizeThresholdMB", "GS_Logger_Path"}) {
        ::unsetenv(name);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
