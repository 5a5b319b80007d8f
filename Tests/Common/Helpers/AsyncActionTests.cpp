#include "Helpers/AsyncAction.h"

#include "Common/Logging/LogTestSupport.h"
#include "ErrorHandling/ErrorHandling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = CAsyncAction::Clock;
using Deadline = std::optional<Clock::time_point>;

// What the thread asked its waiter for, and what the test makes the waiter do: report the
// deadline passed (the action runs at once), or wait for real until woken.
class ScriptedWaiter {
public:
    // The first `expiries` waits with a deadline report it passed; a wait on call `failAt` (from
    // 1) throws; every other wait waits on the condition until woken.
    explicit ScriptedWaiter(int expiries, int failAt = 0)
        : m_expiries(expiries), m_failAt(failAt) {}

    CAsyncAction::Waiter Get() {
        return [this](CAsyncAction::Lock& lock, std::condition_variable_any& wakeUp,
                      Deadline deadline) {
            const int call = ++m_calls;
            {
                std::lock_guard record(m_mutex);
                m_deadlines.push_back(deadline);
            }
            if (call == m_failAt) {
                RaiseError(HresultFromWin32(ERROR_INVALID_HANDLE));
            }
            if (deadline && call <= m_expiries) {
                return true;
            }
            wakeUp.wait(lock);
            return false;
        };
    }
    std::vector<Deadline> Deadlines() {
        std::lock_guard record(m_mutex);
        return m_deadlines;
    }
    int Calls() const { return m_calls; }

private:
    const int m_expiries;
    const int m_failAt;
    std::atomic<int> m_calls{0};
    std::mutex m_mutex;
    std::vector<Deadline> m_deadlines;
};

// Waits (ten seconds at most) until the condition holds.
template <typename Condition>
bool Eventually(Condition&& condition) {
    const auto deadline = Clock::now() + 10s;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

// The first run comes the first delay after the start, each further one a period after the
// previous run ended; an action that throws every time is still called every time.
TEST(AsyncAction, RunsAfterTheFirstDelayThenAPeriodAfterEachRun) {
    ScriptedWaiter waiter(4);
    std::atomic<int> runs{0};
    std::vector<Clock::time_point> runEnds;
    std::mutex mutex;
    const Clock::time_point before = Clock::now();
    {
        CAsyncAction action(
            3min, 7min,
            [&] {
                ++runs;
                {
                    std::lock_guard lock(mutex);
                    runEnds.push_back(Clock::now());
                }
                RaiseError(E_FAIL);
            },
            waiter.Get());
        ASSERT_TRUE(Eventually([&] { return waiter.Calls() == 5; }));
        EXPECT_EQ(runs, 4);
    }
    const std::vector<Deadline> deadlines = waiter.Deadlines();
    ASSERT_EQ(deadlines.size(), 5u);
    ASSERT_TRUE(deadlines[0].has_value());
    EXPECT_GE(*deadlines[0], before + 7min);
    EXPECT_LE(*deadlines[0], Clock::now() + 7min);
    for (size_t i = 1; i < deadlines.size(); ++i) {
        ASSERT_TRUE(deadlines[i].has_value());
        // The run ended between the time noted and the next wait.
        EXPECT_LE(runEnds[i - 1] + 3min, *deadlines[i]);
        EXPECT_LE(*deadlines[i] - 3min, i < runEnds.size() ? runEnds[i] : Clock::now());
    }
}

// A zero (or negative) first delay or period waits without a limit: no run comes; the object
// still goes at once.
TEST(AsyncAction, ZeroOrNegativeDelaysNeverRun) {
    for (const auto& delays :
         {std::pair{1min, 0min}, std::pair{1min, -1min}, std::pair{0min, 1min}}) {
        const std::chrono::minutes period = delays.first;
        const std::chrono::minutes firstDelay = delays.second;
        ScriptedWaiter waiter(1);
        std::atomic<int> runs{0};
        {
            CAsyncAction action(
                period, firstDelay, [&] { ++runs; }, waiter.Get());
            ASSERT_TRUE(Eventually([&] { return waiter.Calls() >= (firstDelay > 0min ? 2 : 1); }));
        }
        EXPECT_EQ(runs, firstDelay > 0min ? 1 : 0);
        EXPECT_FALSE(waiter.Deadlines().back().has_value());
    }
    // The real waiting, destroyed within the first delay.
    std::atomic<int> runs{0};
    {
        CAsyncAction action(1min, 1min, [&] { ++runs; });
    }
    {
        CAsyncAction action(0min, 0min, [&] { ++runs; });
    }
    EXPECT_EQ(runs, 0);
}

// Stop during a run lets the run finish and starts no other; it does not wait for the run.
TEST(AsyncAction, StopDuringARunLetsItFinish) {
    ScriptedWaiter waiter(100);
    std::mutex gate;
    std::unique_lock closed(gate);
    std::atomic<int> runs{0};
    {
        CAsyncAction action(
            1min, 1min,
            [&] {
                ++runs;
                std::lock_guard pass(gate);
            },
            waiter.Get());
        EXPECT_TRUE(Eventually([&] { return runs == 1; }));
        action.Stop();
        action.Stop();
        closed.unlock();
    }
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(waiter.Calls(), 1);
}

// A wait that fails ends the thread with an ERR line instead of ending the process; Stop and
// destruction still work.
TEST(AsyncAction, FailedWaitIsLoggedAndEndsTheLoop) {
    const LogCapture log("ERR");
    ScriptedWaiter waiter(100, 2);
    std::atomic<int> runs{0};
    {
        CAsyncAction action(
            1min, 1min, [&] { ++runs; }, waiter.Get());
        EXPECT_TRUE(Eventually([&] {
            const auto lines = log.Lines();
            return std::any_of(lines.begin(), lines.end(), [](const std::wstring& line) {
                return line.find(L"CAsyncAction::ThreadMain failed: AsyncAction thread ended due "
                                 L"to: 0x80070006 ") != std::wstring::npos;
            });
        }));
        action.Stop();
    }
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(waiter.Calls(), 2);
}
