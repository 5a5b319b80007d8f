#include "LogTestSupport.h"

#include "Logging/CallDepth.h"
#include "Logging/LogManager.h"

#include <gtest/gtest.h>

#include <mutex>

using Logging::LogManager;

namespace {

class LogManagerTest : public ::testing::Test {
protected:
    void TearDown() override { SetLoggerSetting("MaxSeverity", nullptr); }
};

} // namespace

TEST_F(LogManagerTest, MaxSeverityNamesAreCaseInsensitiveAndOthersLeaveTheDefault) {
    auto& log = LogManager::Instance();
    SetLoggerSetting("MaxSeverity", "warn");
    EXPECT_TRUE(log.IsEnabled(1));
    EXPECT_TRUE(log.IsEnabled(3));
    EXPECT_FALSE(log.IsEnabled(4));
    SetLoggerSetting("MaxSeverity", "NONE");
    for (uint32_t severity = 0; severity < 9; ++severity) {
        EXPECT_FALSE(log.IsEnabled(severity));
    }
    SetLoggerSetting("MaxSeverity", "7"); // not a name: the default DBG
    EXPECT_TRUE(log.IsEnabled(5));
    EXPECT_FALSE(log.IsEnabled(6));
    SetLoggerSetting("MaxSeverity", "DBG3");
    EXPECT_TRUE(log.IsEnabled(7));
    EXPECT_FALSE(log.IsEnabled(0));
    EXPECT_FALSE(log.IsEnabled(8));
    EXPECT_FALSE(log.IsEnabled(0xFFFFFFFF));
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
    log.RemoveLogger(&logger);
    ASSERT_EQ(logger.Lines().size(), 1u);
    const std::wstring line = logger.Lines()[0];
    EXPECT_TRUE(line.ends_with(L"| start 42... (***EXCEPTION***)\r\n")) << line;
}
