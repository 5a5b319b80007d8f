#include "LogTestSupport.h"

#include "Logging/FileLogger.h"
#include "Settings/ModulePaths.h"
#include "Support/TestFaults.h"
#include "Support/TestPlatform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using Logging::FileLogger;

namespace {

const std::wstring kBanner = L"*** banner ***\r\n";

class FileLoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetLoggerSetting("KeepOpenInterval", nullptr);
        SetLoggerSetting("LogFileSizeThresholdMB", nullptr);
        SetLoggerSetting("Path", nullptr);
    }
    std::wstring Path(const std::string& name) const { return m_dir.Windows(name); }
    std::wstring Read(const std::string& name) const { return ReadUtf16Le(m_dir.Read(name)); }

    TempDirectory m_dir;
};

void Log(FileLogger& logger, const std::wstring& line) {
    logger.Write(line.data(), line.size());
}

} // namespace

TEST_F(FileLoggerTest, Utf16WithoutByteOrderMarkAndTheBannerFirst) {
    FileLogger logger(Path("a.log"), kBanner);
    Log(logger, L"one \u00e9\U0001F600\r\n");
    Log(logger, L"two\r\n");
    const std::string bytes = m_dir.Read("a.log");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_NE(bytes.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(ReadUtf16Le(bytes), kBanner + L"one \u00e9\U0001F600\r\ntwo\r\n");
    // The character outside the basic plane is a surrogate pair.
    EXPECT_NE(bytes.find(std::string("\x3D\xD8\x00\xDE", 4)), std::string::npos);
}

TEST_F(FileLoggerTest, AnExistingFileGetsTheBannerOnceAndIsAppended) {
    m_dir.Write("a.log", std::string("o\0l\0d\0\r\0\n\0", 10));
    {
        FileLogger logger(Path("a.log"), kBanner);
        Log(logger, L"new\r\n");
    }
    SetLoggerSetting("KeepOpenInterval", "0"); // a new open for every line
    FileLogger logger(Path("a.log"), kBanner);
    Log(logger, L"a\r\n");
    Log(logger, L"b\r\n");
    // A second logger sees the file for the first time and writes the banner itself.
    EXPECT_EQ(Read("a.log"), L"old\r\n" + kBanner + L"new\r\n" + kBanner + L"a\r\nb\r\n");
}

// The kept handle serves the lines for KeepOpenInterval milliseconds, also across the wrap of
// the tick count; the first line after it reaches the file that now has the name. An interval of
// 0 reaches it at once.
TEST_F(FileLoggerTest, KeptHandleWritesToTheOldFileUntilTheIntervalPasses) {
    for (const char* interval : {"100", "0"}) {
        SetLoggerSetting("KeepOpenInterval", interval);
        g_testTicks = 0xFFFFFFC0;
        FileLogger logger(Path("a.log"), kBanner, &TestTicks);
        Log(logger, L"first\r\n");
        std::filesystem::rename(m_dir.Path() / "a.log", m_dir.Path() / "old.log");
        g_testTicks += 99; // past the wrap
        Log(logger, L"kept\r\n");
        g_testTicks += 1;
        Log(logger, L"reopened\r\n");
        const bool kept = interval[0] != '0';
        EXPECT_EQ(Read("old.log"), kBanner + L"first\r\n" + (kept ? L"kept\r\n" : L"")) << interval;
        EXPECT_EQ(Read("a.log"), kBanner + (kept ? L"" : L"kept\r\n") + L"reopened\r\n")
            << interval;
        std::filesystem::remove(m_dir.Path() / "a.log");
    }
}

TEST_F(FileLoggerTest, FileOfExactly1024MiBIsNotWrittenUntilItIsRemoved) {
    DebugOutputCapture debug;
    SetLoggerSetting("KeepOpenInterval", "0");
    m_dir.Write("a.log", "");
    // Sparse: the size is there, the disk space is not.
    std::filesystem::resize_file(m_dir.Path() / "a.log", uint64_t{1024} << 20);
    FileLogger logger(Path("a.log"), kBanner);
    Log(logger, L"dropped\r\n");
    Log(logger, L"dropped too\r\n");
    EXPECT_EQ(std::filesystem::file_size(m_dir.Path() / "a.log"), uint64_t{1024} << 20);
    std::string expected = "FileLogger: log file '" + (m_dir.Path() / "a.log").string() +
                           "' is too big (size=1024MB threshold=1024MB)\n";
    std::string report = debug.Text();
    std::replace(report.begin(), report.end(), '\\', '/');
    std::replace(expected.begin(), expected.end(), '\\', '/');
    EXPECT_EQ(report, expected); // once per excess
    std::filesystem::remove(m_dir.Path() / "a.log");
    Log(logger, L"fresh\r\n");
    EXPECT_EQ(Read("a.log"), kBanner + L"fresh\r\n");
}

TEST_F(FileLoggerTest, RaisedThresholdLetsTheLinesThrough) {
    SetLoggerSetting("KeepOpenInterval", "0");
    SetLoggerSetting("LogFileSizeThresholdMB", "1");
    m_dir.Write("a.log", std::string(1 << 20, 'x'));
    FileLogger logger(Path("a.log"), L"");
    Log(logger, L"dropped\r\n");
    EXPECT_EQ(std::filesystem::file_size(m_dir.Path() / "a.log"), 1u << 20);
    SetLoggerSetting("LogFileSizeThresholdMB", "0"); // no limit
    Log(logger, L"ab");
    EXPECT_EQ(std::filesystem::file_size(m_dir.Path() / "a.log"), (1u << 20) + 4);
}

TEST_F(FileLoggerTest, SharingViolationIsRetriedThenReported) {
    DebugOutputCapture debug;
    SetLoggerSetting("KeepOpenInterval", "0");
    const std::wstring path = Path("a.log");
    HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    FileLogger logger(path, kBanner);
    const auto start = std::chrono::steady_clock::now();
    Log(logger, L"blocked\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_NE(debug.Text().find("FileLogger: cannot open log file '"), std::string::npos);
    EXPECT_NE(debug.Text().find("' (error: 0x80070020)\n"), std::string::npos);
    CloseHandle(exclusive);
    Log(logger, L"free\r\n");
    EXPECT_EQ(Read("a.log"), kBanner + L"free\r\n");
}

TEST_F(FileLoggerTest, UnreachableDirectoryIsReportedAndTheLineDropped) {
    DebugOutputCapture debug;
    m_dir.Write("file", "x"); // a file where a directory would have to be
    FileLogger logger(Path("file\\sub\\a.log"), kBanner);
    Log(logger, L"x\r\n");
    const std::string report = debug.Text();
    EXPECT_TRUE(report.starts_with("FileLogger: cannot open log file '")) << report;
    EXPECT_TRUE(report.ends_with("a.log' (error: 0x80070003)\n")) << report;
}

// A log folder that cannot be written for a while, then a disk that is full for a while: the
// lines written meanwhile are dropped and reported, the others reach the file.
TEST_F(FileLoggerTest, PassingFileSystemFaultsCostOnlyTheLinesWrittenMeanwhile) {
    DebugOutputCapture debug;
    SetLoggerSetting("KeepOpenInterval", "0");
    FileLogger logger(Path("a.log"), kBanner);
    if (!TestFaults::InjectWin32Fault("CreateFileW", ERROR_ACCESS_DENIED, 1)) {
        GTEST_SKIP() << "needs the stand-in's fault injection; Windows cannot script these faults";
    }
    Log(logger, L"unwritable\r\n");
    Log(logger, L"one\r\n");
    TestFaults::InjectWin32Fault("WriteFile", ERROR_DISK_FULL, 1);
    Log(logger, L"full\r\n");
    Log(logger, L"two\r\n");
    EXPECT_EQ(Read("a.log"), kBanner + L"one\r\ntwo\r\n");
    const std::string report = debug.Text();
    EXPECT_NE(report.find("FileLogger: cannot open log file '"), std::string::npos) << report;
    EXPECT_NE(report.find("a.log' (error: 0x80070005)\n"), std::string::npos) << report;
    EXPECT_NE(report.find("FileLogger: cannot write (error: 0x80070070)\n"), std::string::npos)
        << report;
}

TEST_F(FileLoggerTest, BareNameLiesInTheLogDirectoryOfThePathSetting) {
    const std::string logs = (m_dir.Path() / "logs/deeper").string();
    SetLoggerSetting("Path", logs.c_str());
    std::wstring expected(logs.begin(), logs.end());
    std::replace(expected.begin(), expected.end(), L'/', L'\\');
    EXPECT_EQ(Logging::LogManager::Instance().GetLogDirectory(), expected + L"\\");
    FileLogger logger(L"Unit.log", kBanner);
    Log(logger, L"line\r\n");
    EXPECT_EQ(Read("logs/deeper/Unit.log"), kBanner + L"line\r\n");
}

TEST_F(FileLoggerTest, ManyThreadsLoseAndInterleaveNoLine) {
    if (TestPlatform::IsWine()) {
        GTEST_SKIP() << "Wine's append-only handles (FILE_APPEND_DATA) do not append atomically: "
                        "writes of several threads at once can land on one offset and overwrite "
                        "each other, also in a program of a few lines; Windows appends each "
                        "WriteFile at the end of the file";
    }
    auto& log = Logging::LogManager::Instance();
    FileLogger logger(Path("threads.log"), kBanner);
    ASSERT_TRUE(log.AddLogger(&logger));
    constexpr int kThreads = 8;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &log] {
            for (int i = 0; i < kLines; ++i) {
                log.Write(Logging::LOG_INFO,
                          L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L" " +
                              std::wstring(static_cast<size_t>(i % 97), L'x') + L"|end",
                          L"Threads.cpp", 1);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    log.RemoveLogger(&logger);
    const auto lines = SplitLines(Read("threads.log"));
    std::vector<int> next(kThreads, 0);
    size_t logged = 0;
    for (const auto& line : lines) {
        if (line.find(L"Threads.cpp") == std::wstring::npos) {
            continue; // the banner
        }
        ++logged;
        int t = -1;
        int i = -1;
        const auto at = line.find(L"| thread ");
        ASSERT_NE(at, std::wstring::npos) << "damaged line";
        ASSERT_EQ(std::swscanf(line.c_str() + at, L"| thread %d line %d", &t, &i), 2);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "lines of one thread out of order";
        EXPECT_TRUE(line.ends_with(std::wstring(static_cast<size_t>(i % 97), L'x') + L"|end"));
    }
    EXPECT_EQ(logged, static_cast<size_t>(kThreads * kLines));
}

TEST(FileLoggerModule, BannerDescribesTheModuleAndTheProcess) {
    const std::wstring banner = FileLogger::ModuleBanner();
    const auto lines = SplitLines(banner);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], std::wstring(100, L'*'));
    EXPECT_EQ(lines[6], std::wstring(100, L'*'));
    EXPECT_TRUE(lines[1].starts_with(L"*** Module: " + Settings::ThisModulePath() + L" (Base: 0x"))
        << lines[1];
    EXPECT_EQ(lines[2], L"*** Version: 1.0.0.1");
    EXPECT_EQ(lines[3], L"*** Module description: Corvane64");
    EXPECT_NE(lines[4].find(L"(Pid: " + std::to_wstring(GetCurrentProcessId()) + L")"),
              std::wstring::npos);
    EXPECT_TRUE(lines[5].starts_with(L"*** Command line: "));
    EXPECT_TRUE(banner.ends_with(L"\r\n"));
    EXPECT_EQ(FileLogger::ModuleLogFileName(), L"CommonLoggingTests.log");
}
