#include "LogTestSupport.h"

#include "Logging/CallDepth.h"
#include "Logging/TraceScope.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

using Logging::ElapsedTimeText;

namespace {

class TraceScopeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_log.Registered()); }
    LogCapture m_log{"DBG"};
};

void Traced(bool fail) {
    TRACE_SCOPE(Logging::LOG_DBG, L"Halyard::Test::Traced");
    LOG_AT(Logging::LOG_INFO, L"inside");
    if (fail) {
        throw std::runtime_error("failed");
    }
}

// Runs a traced call while an exception is unwinding.
struct TracesInDestructor {
    ~TracesInDestructor() { Traced(false); }
};

} // namespace

TEST(ElapsedTimeText, GroupsThousandsWithBlanks) {
    EXPECT_EQ(ElapsedTimeText(999), L" [0.999 ms]");
    EXPECT_EQ(ElapsedTimeText(1234), L" [1.234 ms]");
    EXPECT_EQ(ElapsedTimeText(123456), L" [123.456 ms]");
    EXPECT_EQ(ElapsedTimeText(1234567), L" [1 234.567 ms]");
    EXPECT_EQ(ElapsedTimeText(1234567890), L" [1 234 567.890 ms]");
    EXPECT_EQ(ElapsedTimeText(0), L" [0.000 ms]");
}

TEST_F(TraceScopeTest, EnteringAndExitingIndentTheLinesBetween) {
    Traced(false);
    const auto lines = m_log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(MessageOf(lines[0]), L"Entering: Halyard::Test::Traced");
    EXPECT_EQ(MessageOf(lines[1]), L"  inside");
    EXPECT_TRUE(MessageOf(lines[2]).starts_with(L"Exiting: Halyard::Test::Traced ["));
    EXPECT_TRUE(MessageOf(lines[2]).ends_with(L" ms]"));
    EXPECT_EQ(lines[0].find(L"| DBG  |"), lines[2].find(L"| DBG  |"));
    EXPECT_EQ(Logging::ThreadCallDepth(), 0);
}

// A call that throws writes its exception line; a traced call made while another exception
// unwinds, and that returns normally, writes its exiting line.
TEST_F(TraceScopeTest, ExceptionIsWrittenAtTheEnteringDepthAndPassesUnchanged) {
    EXPECT_THROW(Traced(true), std::runtime_error);
    EXPECT_EQ(Logging::ThreadCallDepth(), 0);
    try {
        TracesInDestructor tracer;
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    const auto lines = m_log.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(MessageOf(lines[2]).starts_with(L"EXCEPTION at: Halyard::Test::Traced ["));
    EXPECT_TRUE(MessageOf(lines[5]).starts_with(L"Exiting: Halyard::Test::Traced ["));
}

TEST_F(TraceScopeTest, DisabledSeverityWritesNothingAndKeepsTheDepth) {
    {
        TRACE_SCOPE(Logging::LOG_DBG3, L"Halyard::Test::Quiet");
        EXPECT_EQ(Logging::ThreadCallDepth(), 0);
        LOG_AT(Logging::LOG_INFO, L"inside");
    }
    EXPECT_EQ(m_log.Messages(), std::vector<std::wstring>{L"inside"});
}

TEST_F(TraceScopeTest, NestedScopesRestoreTheDepthWhenTheClosingLineIsNotWritten) {
    {
        TRACE_SCOPE(Logging::LOG_DBG, L"Outer");
        {
            TRACE_SCOPE(Logging::LOG_DBG, L"Inner");
            EXPECT_EQ(Logging::ThreadCallDepth(), 2);
            SetLoggerSetting("MaxSeverity", "ERR"); // closing lines disabled
        }
        EXPECT_EQ(Logging::ThreadCallDepth(), 1);
    }
    EXPECT_EQ(Logging::ThreadCallDepth(), 0);
    EXPECT_EQ(m_log.Lines().size(), 2u);
}
