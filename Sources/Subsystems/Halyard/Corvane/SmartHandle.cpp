#include "Halyard/Corvane/SmartHandle.h"

#include "Logging/TraceScope.h"

namespace EventsApiUtils {

namespace {

using Logging::LOG_DBG3;
using Logging::LOG_ERR;

// Closes `*handle` with `close`, nulls it, and logs a failure with `context` (as the
// failure of the operation `name` when there is one); the last error of the thread is restored, so
// that a close during cleanup does not hide the failure being handled.
template <typename Close>
HRES CloseAndForget(HANDLE* handle, Close close, const wchar_t* context,
                    const wchar_t* name = nullptr) noexcept {
    HRES result;
    if (handle == nullptr || *handle == nullptr) {
        return result;
    }
    const DWORD lastError = GetLastError();
    result = ApiResult{close(*handle)};
    *handle = nullptr;
    if (result.Failed() && name != nullptr) {
        LOG_FAILURE(name, context << result);
    } else if (result.Failed()) {
        LOG_AT(LOG_ERR, context << result);
    }
    SetLastError(lastError);
    return result;
}

HRES CloseClassicEventLog(HANDLE* handle) noexcept {
    return CloseAndForget(handle, CloseEventLog, L"Failed close eventlog handler due to: ",
                          L"EventsApiUtils::OpenEventLogFile::<lambda_1>::operator ()");
}

} // namespace

namespace Detail {

HRES CloseEvtHandle(HANDLE* handle) noexcept {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::Detail::CloseEvtHandle");
    return CloseAndForget(handle, EvtClose, L"Close evt_handle failed due to: ");
}

HRES CloseHandle(HANDLE* handle) noexcept {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::Detail::CloseHandle");
    return CloseAndForget(handle, ::CloseHandle, L"Close handle failed due to: ");
}

} // namespace Detail

void SmartHandle::reset() noexcept {
    if (m_handle == nullptr) {
        return;
    }
    HANDLE handle = std::exchange(m_handle, nullptr);
    switch (m_kind) {
    case Kind::EventLogApi:
        Detail::CloseEvtHandle(&handle);
        break;
    case Kind::Kernel:
        Detail::CloseHandle(&handle);
        break;
    case Kind::ClassicEventLog:
        CloseClassicEventLog(&handle);
        break;
    }
}

SmartHandle MakeSmartEvtHandle(EVT_HANDLE handle) noexcept {
    return {handle, SmartHandle::Kind::EventLogApi};
}

SmartHandle MakeSmartHandle(HANDLE handle) noexcept {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::MakeSmartHandle");
    return {handle, SmartHandle::Kind::Kernel};
}

SmartHandle MakeSmartEventLogHandle(HANDLE handle) noexcept {
    return {handle, SmartHandle::Kind::ClassicEventLog};
}

SmartEvtVector MakeSmartEvtVector(const std::vector<EVT_HANDLE>& handles) {
    TRACE_SCOPE(LOG_DBG3, L"EventsApiUtils::MakeSmartEvtVector");
    SmartEvtVector result;
    try {
        result.reserve(handles.size());
    } catch (...) {
        // Every handle is owned afterwards: without room for them, they are closed here.
        for (HANDLE handle : handles) {
            Detail::CloseEvtHandle(&handle);
        }
        throw;
    }
    for (const EVT_HANDLE handle : handles) {
        result.push_back(MakeSmartEvtHandle(handle));
    }
    return result;
}

} // namespace EventsApiUtils
