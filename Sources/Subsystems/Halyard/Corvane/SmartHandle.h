// Owning handles of the event-log layer: one type for Event Log API handles, kernel handles and
// classic event-log handles, each closed by the operation that matches its kind.
#pragma once

#include "ErrorHandling/ErrorHandling.h"
#include "Platform.h"

#include <functional>
#include <memory>
#include <vector>

namespace EventsApiUtils {

// A heap box holding one raw handle, owned with the deleter of its kind. Move-only; an empty smart
// handle reads as a null handle (RawHandle).
using HandleDeleter = std::function<void(HANDLE* box)>;
using SmartHandle = std::unique_ptr<HANDLE, HandleDeleter>;

// The handles of one EvtNext batch, in the order EvtNext returned them.
using SmartEvtVector = std::vector<SmartHandle>;

// The raw handle of a smart handle; null for an empty one.
inline HANDLE RawHandle(const SmartHandle& handle) noexcept {
    return handle ? *handle : nullptr;
}

namespace Detail {

// Closes the boxed Event Log API handle (when not null) and nulls the box. A failure is logged
// ("Close evt_handle failed due to: ") and returned; never throws. The thread's last error is
// kept as it was.
HRES CloseEvtHandle(HANDLE* box) noexcept;
// The same for a kernel handle ("Close handle failed due to: ").
HRES CloseHandle(HANDLE* box) noexcept;

} // namespace Detail

// Boxes a raw Event Log API handle with its close operation; the handle is not tested. If the box
// cannot be allocated, the handle is closed and std::bad_alloc passes on.
[[nodiscard]] SmartHandle MakeSmartEvtHandle(EVT_HANDLE handle);
// The same for a kernel handle (CloseHandle).
[[nodiscard]] SmartHandle MakeSmartHandle(HANDLE handle);
// The same for a classic event-log handle (CloseEventLog; a failure is logged and ignored).
[[nodiscard]] SmartHandle MakeSmartEventLogHandle(HANDLE handle);
// Wraps each raw Event Log API handle, in order. Every handle is owned afterwards, also when an
// allocation fails on the way (then all of them are closed).
[[nodiscard]] SmartEvtVector MakeSmartEvtVector(const std::vector<EVT_HANDLE>& handles);

} // namespace EventsApiUtils
