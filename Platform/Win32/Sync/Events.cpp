// Event objects in the kernel handle table, waited on with a condition variable.
#include "../Handles.h"
#include "Win32/SynchApi.h"
#include "Win32/WinBase.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

class EventObject : public Pal::KernelObject {
public:
    EventObject(bool manualReset, bool signalled)
        : m_manualReset(manualReset), m_signalled(signalled) {}

    void Set() {
        {
            std::lock_guard lock(m_mutex);
            m_signalled = true;
        }
        // Every waiter of a manual-reset event is released; one of an automatic-reset event.
        if (m_manualReset) {
            m_changed.notify_all();
        } else {
            m_changed.notify_one();
        }
    }

    void Reset() {
        std::lock_guard lock(m_mutex);
        m_signalled = false;
    }

    bool Wait(DWORD milliseconds) {
        std::unique_lock lock(m_mutex);
        auto signalled = [this] { return m_signalled; };
        if (milliseconds == INFINITE) {
            m_changed.wait(lock, signalled);
        } else if (milliseconds == 0) {
            // A poll: no wait on the condition (which would cost a system call to time out).
            if (!m_signalled) {
                return false;
            }
        } else if (!m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), signalled)) {
            return false;
        }
        if (!m_manualReset) {
            m_signalled = false;
        }
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const bool m_manualReset;
    bool m_signalled;
};

} // namespace

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) try {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE handle = Pal::Handles().Insert(
        std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
} catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL WINAPI SetEvent(HANDLE event) {
    const auto object = Pal::Handles().FindAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    const auto object = Pal::Handles().FindAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) try {
    const auto object = Pal::Handles().FindAs<EventObject>(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
} catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
}
