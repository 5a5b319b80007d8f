#include "Helpers/AsyncAction.h"

#include "ErrorHandling/ComMethodBoundary.h"
#include "Logging/TraceScope.h"

#include <utility>

CAsyncAction::CAsyncAction(std::chrono::minutes period, std::chrono::minutes firstDelay,
                           Action action)
    : CAsyncAction(period, firstDelay, std::move(action), &CAsyncAction::WaitOnCondition) {}

CAsyncAction::CAsyncAction(std::chrono::minutes period, std::chrono::minutes firstDelay,
                           Action action, Waiter waiter)
    : m_period(period), m_firstDelay(firstDelay), m_waiter(std::move(waiter)),
      m_thread([this, action = std::move(action)] { ThreadMain(action); }) {}

CAsyncAction::~CAsyncAction() {
    Stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CAsyncAction::Stop() noexcept {
    {
        const Base::LockGuard lock(m_lock);
        m_stopRequested = true;
    }
    m_wakeUp.notify_all();
}

bool CAsyncAction::WaitOnCondition(Lock& lock, std::condition_variable_any& wakeUp,
                                   std::optional<Clock::time_point> deadline) {
    if (!deadline) {
        wakeUp.wait(lock);
        return false;
    }
    const Clock::time_point now = Clock::now();
    if (*deadline <= now) {
        return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now);
    return wakeUp.wait_for(lock, left) == std::cv_status::timeout;
}

void CAsyncAction::ThreadMain(const Action& action) noexcept {
    ComMethodBoundary(
        FAILURE_LINE(L"CAsyncAction::ThreadMain", L"AsyncAction thread ended due to: "),
        [&] { Loop(action); });
}

void CAsyncAction::Loop(const Action& action) {
    TRACE_SCOPE(Logging::LOG_DBG, L"AsyncAction thread");
    Lock lock(m_lock);
    WaitForRun(lock, Clock::now(), m_firstDelay);
    while (!m_stopRequested) {
        lock.unlock();
        {
            TRACE_SCOPE(Logging::LOG_DBG2, L"Executing AsyncAction");
            try {
                action();
            } catch (...) {
                // The action's failures are its owner's to report.
            }
        }
        lock.lock();
        m_lastRunEnd = Clock::now();
        WaitForRun(lock, m_lastRunEnd, m_period);
    }
}

void CAsyncAction::WaitForRun(Lock& lock, Clock::time_point from, std::chrono::minutes delay) {
    while (!m_stopRequested) {
        // A negative delay would run the action back to back: it waits as a zero one does.
        if (delay <= std::chrono::minutes::zero()) {
            m_waiter(lock, m_wakeUp, std::nullopt);
        } else if (m_waiter(lock, m_wakeUp, from + delay)) {
            return;
        }
    }
}
