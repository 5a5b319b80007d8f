// Event objects in the kernel handle table, waited on with a condition variable.
#include "Base/Mutex.h"
#include "PalWin32/ApiBoundary.h"
#include "PalWin32/Handles.h"
#include "Win32/SynchApi.h"
#include "Win32/WinBase.h"

#include <chrono>
#include <condition_variable>

namespace {

class EventObject : public Pal::KernelObject {
public:
    EventObject(bool manualReset, bool signalled)
        : m_manualReset(manualReset), m_signalled(signalled) {}

    void Set() {
        {
            Base::LockGuard lock(m_mutex);
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
        Base::LockGuard lock(m_mutex);
        m_signalled = false;
    }

    bool Wait(DWORD milliseconds) {
        Base::UniqueLock lock(m_mutex);
        if (milliseconds == INFINITE) {
            while (!m_signalled) {
                m_changed.wait(lock);
            }
        } else if (milliseconds == 0) {
            // A poll: no wait on the condition (which would cost a system call to time out).
            if (!m_signalled) {
                return false;
            }
        } else {
            const auto due =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
            while (!m_signalled) {
                if (m_changed.wait_until(lock, due) == std::cv_status::timeout) {
                    if (!m_signalled) {
                        return false;
                    }
                    break;
                }
            }
        }
        if (!m_manualReset) {
            m_signalled = false;
        }
        return true;
    }

private:
    Base::Mutex m_mutex;
    std::condition_variable_any m_changed;
    const bool m_manualReset;
    bool m_signalled GUARDED_BY(m_mutex);
};

} // namespace

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<HANDLE>(nullptr), [&]() -> HANDLE {
        if (name != nullptr) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        HANDLE handle = Pal::KernelHandles().Insert(
            std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
        if (handle == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        SetLastError(ERROR_SUCCESS);
        return handle;
    });
}

BOOL WINAPI SetEvent(HANDLE event) {
    const auto object = Pal::KernelHandles().FindAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
    const auto object = Pal::KernelHandles().FindAs<EventObject>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<DWORD>(WAIT_FAILED), [&]() -> DWORD {
        const auto object = Pal::KernelHandles().FindAs<EventObject>(handle);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    });
}
