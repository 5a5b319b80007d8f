// Owning handles of the event-log layer: one type for Event Log API handles, kernel handles and
// classic event-log handles, each closed by the operation that matches its kind.
#pragma once

#include "ErrorHandling/ErrorHandling.h"
#include "Platform.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace EventsApiUtils {

// One raw handle owned with the close operation of its kind. Move-only (a move transfers the
// handle; assigning closes the handle held before); an empty smart handle reads as a null handle
// (RawHandle). The handle and its kind are held in place: a page makes and closes one of these
// for every event it reads.
class SmartHandle {
public:
    enum class Kind : unsigned char { EventLogApi, Kernel, ClassicEventLog };

    SmartHandle() noexcept = default;
    SmartHandle(std::nullptr_t) noexcept {} // NOLINT(google-explicit-constructor): reads as empty
    SmartHandle(HANDLE handle, Kind kind) noexcept : m_handle(handle), m_kind(kind) {}
    SmartHandle(SmartHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)), m_kind(other.m_kind) {}
    SmartHandle& operator=(SmartHandle&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
            m_kind = other.m_kind;
        }
        return *this;
    }
    SmartHandle(const SmartHandle&) = delete;
    SmartHandle& operator=(const SmartHandle&) = delete;
    ~SmartHandle() { reset(); }

    explicit operator bool() const noexcept { return m_handle != nullptr; }
    HANDLE operator*() const noexcept { return m_handle; }
    // Closes the handle (a failure is logged, never thrown) and leaves the smart handle empty.
    void reset() noexcept;

private:
    HANDLE m_handle = nullptr;
    Kind m_kind = Kind::EventLogApi;
};

// The handles of one EvtNext batch, in the order EvtNext returned them.
using SmartEvtVector = std::vector<SmartHandle>;

// The raw handle of a smart handle; null for an empty one.
inline HANDLE RawHandle(const SmartHandle& handle) noexcept {
    return *handle;
}

namespace Detail {

// Closes the Event Log API handle `*handle` (when not null) and nulls it. A failure is logged
// ("Close evt_handle failed due to: ") and returned; never throws. The thread's last error is
// kept as it was.
HRES CloseEvtHandle(HANDLE* handle) noexcept;
// The same for a kernel handle ("Close handle failed due to: ").
HRES CloseHandle(HANDLE* handle) noexcept;

} // namespace Detail

// Owns a raw Event Log API handle with its close operation; the handle is not tested.
[[nodiscard]] SmartHandle MakeSmartEvtHandle(EVT_HANDLE handle) noexcept;
// The same for a kernel handle (CloseHandle).
[[nodiscard]] SmartHandle MakeSmartHandle(HANDLE handle) noexcept;
// The same for a classic event-log handle (CloseEventLog; a failure is logged and ignored).
[[nodiscard]] SmartHandle MakeSmartEventLogHandle(HANDLE handle) noexcept;
// Wraps each raw Event Log API handle, in order. Every handle is owned afterwards, also when an
// allocation fails on the way (then all of them are closed).
[[nodiscard]] SmartEvtVector MakeSmartEvtVector(const std::vector<EVT_HANDLE>& handles);

} // namespace EventsApiUtils
