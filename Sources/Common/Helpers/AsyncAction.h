// A periodic action on a thread of its own: it runs once after a first delay, then again each time
// a period has passed since the previous run ended, until it is stopped. The schedule follows the
// steady clock, so changes of the wall clock do not move it. What the action does, and how it
// fails, is its owner's matter: whatever it throws is dropped.
#pragma once

#include "Base/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <optional>
#include <thread>

class CAsyncAction {
public:
    using Action = std::function<void()>;
    using Clock = std::chrono::steady_clock;
    // How the thread waits on `wakeUp` with `lock` held: until `deadline`, or with no limit when
    // there is none. True when the deadline has passed; false when woken before it (a Stop or a
    // spurious wake-up). A failing wait throws.
    using Lock = Base::UniqueLock<Base::Mutex>;
    using Waiter = std::function<bool(Lock& lock, std::condition_variable_any& wakeUp,
                                      std::optional<Clock::time_point> deadline)>;

    // Starts the thread at once, without waiting for it. A first delay or period of zero (or less)
    // waits with no limit: the run it would lead to never comes.
    CAsyncAction(std::chrono::minutes period, std::chrono::minutes firstDelay, Action action);
    // The same with the thread's waiting in the waiter's hands (tests).
    CAsyncAction(std::chrono::minutes period, std::chrono::minutes firstDelay, Action action,
                 Waiter waiter);
    // Stops, then waits for the thread to end (a run in progress first finishes). Must not be
    // called from within the action.
    ~CAsyncAction();
    CAsyncAction(const CAsyncAction&) = delete;
    CAsyncAction& operator=(const CAsyncAction&) = delete;

    // No further run starts; a run in progress is not interrupted. Returns at once; repeating it
    // is harmless.
    void Stop() noexcept;

    // The thread's waiting unless a waiter is given: the time left to the deadline in whole
    // milliseconds (truncated), expired at once when none is left.
    static bool WaitOnCondition(Lock& lock, std::condition_variable_any& wakeUp,
                                std::optional<Clock::time_point> deadline);

private:
    // The thread's body: the loop, with whatever ends it abnormally (a failing wait) logged.
    void ThreadMain(const Action& action) noexcept;
    void Loop(const Action& action);
    // Returns when `delay` has passed since `from` or a stop was requested.
    void WaitForRun(Lock& lock, Clock::time_point from, std::chrono::minutes delay)
        REQUIRES(m_lock);

    const std::chrono::minutes m_period;
    const std::chrono::minutes m_firstDelay;
    const Waiter m_waiter;
    // Guards m_stopRequested and m_lastRunEnd; the lock of m_wakeUp.
    Base::Mutex m_lock;
    std::condition_variable_any m_wakeUp;
    bool m_stopRequested GUARDED_BY(m_lock) = false;
    Clock::time_point m_lastRunEnd GUARDED_BY(m_lock){};
    // Started last, when everything it uses is in place.
    std::thread m_thread;
};
