#include "LogTestSupport.h"

#include "Logging/CallDepth.h"
#include "Logging/LogManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <iomanip>
#include <memory>
#include <thread>

using Logging::LogManager;

namespace {

class LogManagerTest : public ::testing::Test {
protected:
    void TearDown() override { SetLoggerSetting("MaxSeverity", nullptr); }
};

} // namespace

TEST_F(LogManagerTest, MaxSeverityNamesAreCaseInsensitiveAndOthersLeaveTheDefault) {
    // The setting and the severities 1 to `most` it enables ("7" is no name: the default DBG).
    for (const auto& [setting, most] :
         {std::pair{"warn", 3u}, {"NONE", 0u}, {"7", 5u}, {"DBG3", 7u}}) {
        SetLoggerSetting("MaxSeverity", setting);
        for (const uint32_t severity : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 0xFFFFFFFFu}) {
            EXPECT_EQ(LogManager::Instance().IsEnabled(severity), severity >= 1 && severity <= most)
                << setting << " " << severity;
        }
    }
}

TEST_F(LogManagerTest, WriteReachesEveryLoggerWithTheThreadsDepth) {
    auto& log = LogManager::Instance();
    CollectingLogger first;
    CollectingLogger second;
    ASSERT_TRUE(log.AddLogger(&first));
    ASSERT_TRUE(log.AddLogger(&second));
    ASSERT_TRUE(log.AddLogger(&first)); // registered once only
    Logging::ThreadCallDepth() = 2;
    log.Write(Logging::LOG_ERR, L"message", L"/src/Unit.cpp", 9);
    Logging::ThreadCallDepth() = 0;
    log.RemoveLogger(&first);
    log.Write(Logging::LOG_ERR, L"after", L"/src/Unit.cpp", 10);
    log.RemoveLogger(&second);
    ASSERT_EQ(first.Lines().size(), 1u);
    ASSERT_EQ(second.Lines().size(), 2u);
    EXPECT_NE(first.Lines()[0].find(L" | ERR  |"), std::wstring::npos);
    EXPECT_NE(
        first.Lines()[0].find(L"| Unit.cpp:9" + std::wstring(22 - 1, L' ') + L"|     message\r\n"),
        std::wstring::npos);
}

TEST_F(LogManagerTest, AFifthLoggerIsRefused) {
    DebugOutputCapture debug;
    auto& log = LogManager::Instance();
    CollectingLogger loggers[5];
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(log.AddLogger(&loggers[i]));
    }
    EXPECT_FALSE(log.AddLogger(&loggers[4]));
    EXPECT_EQ(debug.Text(), "LogManager: Too many loggers\n");
    log.RemoveLogger(&loggers[2]);
    EXPECT_TRUE(log.AddLogger(&loggers[4]));
    for (auto& logger : loggers) {
        log.RemoveLogger(&logger);
    }
}

TEST_F(LogManagerTest, LogSiteComposesOnlyWhenEnabledAndGuardsComposition) {
    auto& log = LogManager::Instance();
    CollectingLogger logger;
    ASSERT_TRUE(log.AddLogger(&logger));
    SetLoggerSetting("MaxSeverity", "ERR");
    int composed = 0;
    auto piece = [&composed] {
        ++composed;
        return L"x";
    };
    LOG_AT(Logging::LOG_WARN, piece());
    EXPECT_EQ(composed, 0);
    struct Throws {};
    auto failing = []() -> const wchar_t* { throw Throws{}; };
    LOG_AT(Logging::LOG_ERR, L"start " << 42 << failing());
    // A thread composes its lines in one stream: a line logged while another is composed gets a
    // stream of its own, and a line that changes the format leaves the next one unchanged.
    auto nested = [] {
        LOG_AT(Logging::LOG_ERR, L"inner " << 7);
        return L"outer";
    };
    LOG_AT(Logging::LOG_ERR,
           std::hex << std::setw(6) << std::setfill(L'0') << 255 << L" " << nested());
    LOG_AT(Logging::LOG_ERR, 255 << L"|" << 1.5);
    const std::wstring longText(300'000, L'y');
    LOG_AT(Logging::LOG_ERR, longText);
    LOG_AT(Logging::LOG_ERR, L"after a long line");
    log.RemoveLogger(&logger);
    std::vector<std::wstring> messages;
    for (const std::wstring& line : logger.Lines()) {
        messages.push_back(MessageOf(line));
    }
    EXPECT_EQ(messages, (std::vector<std::wstring>{L"start 42... (***EXCEPTION***)", L"inner 7",
                                                   L"0000ff outer", L"255|1.5", longText,
                                                   L"after a long line"}));
}

// A line being written when its logger is removed: RemoveLogger returns only after it, so that the
// logger can be destroyed at once (the module's logger goes at unload while threads still log).
TEST_F(LogManagerTest, RemoveLoggerWaitsForTheLinesBeingWrittenIntoIt) {
    struct Blocking final : Logging::ILogger {
        std::promise<void> entered;
        std::shared_future<void> released;
        std::atomic<int> inside{0};
        void Write(const wchar_t*, size_t) noexcept override {
            ++inside;
            entered.set_value();
            released.wait();
            --inside;
        }
    } logger;
    std::promise<void> release;
    logger.released = release.get_future().share();
    auto& log = LogManager::Instance();
    ASSERT_TRUE(log.AddLogger(&logger));
    std::thread writer([&] { log.Write(Logging::LOG_ERR, L"line", L"f.cpp", 1); });
    logger.entered.get_future().wait();
    auto removing = std::async(std::launch::async, [&] {
        log.RemoveLogger(&logger);
        return logger.inside.load();
    });
    EXPECT_EQ(removing.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(removing.get(), 0) << "removed while a line was being written into it";
    writer.join();
}

// Loggers registered and destroyed one after another while other threads log: each gets whole
// lines while registered and none once RemoveLogger has returned (a use after that is a use of
// freed memory, which the sanitizers report).
TEST_F(LogManagerTest, LoggersComeAndGoWhileOtherThreadsWrite) {
    auto& log = LogManager::Instance();
    std::atomic<bool> writing{true};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&] {
            while (writing) {
                log.Write(Logging::LOG_INFO, L"busy", L"Writers.cpp", 7);
            }
        });
    }
    for (int round = 0; round < 100; ++round) {
        auto logger = std::make_unique<CollectingLogger>();
        ASSERT_TRUE(log.AddLogger(logger.get()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (logger->Lines().empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        log.RemoveLogger(logger.get());
        const std::vector<std::wstring> lines = logger->Lines();
        ASSERT_FALSE(lines.empty());
        for (const std::wstring& line : lines) {
            ASSERT_TRUE(line.ends_with(L"| busy\r\n")) << line;
        }
        std::this_thread::yield();
        EXPECT_EQ(logger->Lines().size(), lines.size()) << "a line after the removal";
    }
    writing = false;
    for (std::thread& writer : writers) {
        writer.join();
    }
}

// The settings are read again when more than 5000 ms have passed since the last reading (by the
// tick count, which may wrap meanwhile), and the log directory is worked out again then.
TEST(LoggerSettings, AreReadAgainOnlyWhenMoreThan5000MillisecondsHavePassed) {
    TempDirectory root;
    const std::string first = (root.Path() / "first").string();
    const std::string second = (root.Path() / "second").string();
    ::setenv("GS_Logger_MaxSeverity", "WARN", 1);
    ::setenv("GS_Logger_KeepOpenInterval", "70", 1);
    ::setenv("GS_Logger_Path", first.c_str(), 1);
    g_testTicks = 0xFFFFF000;
    Logging::LoggerSettings settings(&TestTicks);
    settings.RefreshIfStale(); // never read yet
    EXPECT_EQ(settings.MaxSeverity(), 3u);
    EXPECT_EQ(settings.KeepOpenInterval(), 70u);
    const std::wstring firstDirectory = settings.LogDirectory();
    EXPECT_TRUE(std::filesystem::is_directory(first));

    ::setenv("GS_Logger_MaxSeverity", "err", 1);
    ::setenv("GS_Logger_KeepOpenInterval", "0", 1);
    ::setenv("GS_Logger_Path", second.c_str(), 1);
    g_testTicks += 5000; // past the wrap, and not more than the interval
    settings.RefreshIfStale();
    EXPECT_EQ(settings.MaxSeverity(), 3u);
    EXPECT_EQ(settings.KeepOpenInterval(), 70u);
    EXPECT_EQ(settings.LogDirectory(), firstDirectory);

    g_testTicks += 1;
    settings.RefreshIfStale();
    EXPECT_EQ(settings.MaxSeverity(), 2u);
    EXPECT_EQ(settings.KeepOpenInterval(), 0u);
    std::wstring expected = std::filesystem::path(second).wstring() + L"\\";
    std::replace(expected.begin(), expected.end(), L'/', L'\\');
    EXPECT_EQ(settings.LogDirectory(), expected);
    EXPECT_TRUE(std::filesystem::is_directory(second));
    for (const char* key :
         {"GS_Logger_MaxSeverity", "GS_Logger_KeepOpenInterval", "GS_Logger_Path"}) {
        ::unsetenv(key);
    }
}
