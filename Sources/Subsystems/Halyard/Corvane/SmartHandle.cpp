#include "Halyard/Corvane/SmartHandle.h"

#include "Logging/TraceScope.h"

namespace EventsApiUtils {

namespace {

using Logging::LOG_DBG3;
using Logging::LOG_ERR;

// Closes a boxed handle with `close` and logs a failure with `context` (as the failure of the
// operation `name` when there is one); the last error of the thread is restored, so that a close
// during cleanup does not hide the failure being handled.
template <typename Close>
HRES CloseBoxed(HANDLE* box, Close close, const wchar_t* context,
                const wchar_t* name = nullptr) noexcept {
    HRES result;
    if (box == nullptr || *box == nullptr) {
        return result;
    }
    const DWORD lastError = GetLastError();
    result = ApiResult{close(*box)};
    *box = nullptr;
    if (result.Failed() && name != nullptr) {
        LOG_FAILURE(name, context << result);
    } else if (result.Failed()) {
        LOG_AT(LOG_ERR, context << result);
    }
    SetLastError(lastError);
    return result;
}

// Frees a box after its handle has been closed.
void FreeBox(HANDLE* box) noexcept {
    const std::unique_ptr<HANDLE> owned(box);
}

// Boxes `handle`; closes it with `deleter`'s operation when the box cannot be allocated.
SmartHandle Box(HANDLE handle, HandleDeleter deleter, HRES (*close)(HANDLE*) noexcept) {
    std::unique_ptr<HANDLE> box;
    try {
        box = std::make_unique<HANDLE>(handle);
    } catch (...) {
        close(&handle);
        throw;
    }
    return SmartHandle(box.release(), std::move(deleter));
}

void DeleteEvtBox(HANDLE* box) {
    Detail::CloseEvtHandle(box);
    FreeBox(box);
}

void DeleteKernelBox(HANDLE* box) {
    Detail::CloseHandle(box);
    FreeBox(box);
}

HRES CloseEventLogBox(HANDLE* box) noexcept {
    return CloseBoxed(box, CloseEventLog, L"Failed close eventlog handler due to: ",
                      L"EventsApiUtils::OpenEventLogFile::<lambda_1>::operator ()");
}

void DeleteEventLogBox(HANDLE* box) {
    CloseEventLogBox(box);
    FreeBox(box);
}

} // namespace

namespace Detail {

HRES CloseEvtHandle(HANDLE* box) noexcept {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::Detail::CloseEvtHandle");
    return CloseBoxed(box, EvtClose, L"Close evt_handle failed due to: ");
}

HRES CloseHandle(HANDLE* box) noexcept {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::Detail::CloseHandle");
    return CloseBoxed(box, ::CloseHandle, L"Close handle failed due to: ");
}

} // namespace Detail

SmartHandle MakeSmartEvtHandle(EVT_HANDLE handle) {
    return Box(handle, DeleteEvtBox, Detail::CloseEvtHandle);
}

SmartHandle MakeSmartHandle(HANDLE handle) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::MakeSmartHandle");
    return Box(handle, DeleteKernelBox, Detail::CloseHandle);
}

SmartHandle MakeSmartEventLogHandle(HANDLE handle) {
    return Box(handle, DeleteEventLogBox, CloseEventLogBox);
}

SmartEvtVector MakeSmartEvtVector(const std::vector<EVT_HANDLE>& handles) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::MakeSmartEvtVector");
    SmartEvtVector result;
    // The first handle that nothing owns yet.
    size_t next = 0;
    try {
        result.reserve(handles.size());
        while (next < handles.size()) {
            // From here on the handle is MakeSmartEvtHandle's: boxed, or closed when it throws.
            const EVT_HANDLE handle = handles[next++];
            result.push_back(MakeSmartEvtHandle(handle));
        }
    } catch (...) {
        for (; next < handles.size(); ++next) {
            HANDLE rest = handles[next];
            Detail::CloseEvtHandle(&rest);
        }
        throw;
    }
    return result;
}

} // namespace EventsApiUtils
