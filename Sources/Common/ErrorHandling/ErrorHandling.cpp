#include "ErrorHandling/ErrorHandling.h"

#include "ErrorHandling/ErrorDescription.h"

#include <ostream>

// The frames between RtlCaptureStackBackTrace and the code that assigned the failure are the
// capture function, Assign and the public operation; they are kept out of line (NOINLINE) so
// that the count of frames to skip holds in every build.
NOINLINE HRES::HRES(HRESULT code) noexcept : m_skipFrames(0) {
    Assign(code, true);
}

NOINLINE HRES::HRES(HRESULT code, ThrowOnFailureTag) : m_skipFrames(1) {
    Assign(code, true);
    ThrowIfFailed(*this);
}

NOINLINE HRES::HRES(ApiResult result) noexcept : m_skipFrames(0) {
    Assign(result.ok ? S_OK : HresultFromWin32(GetLastError()), false);
}

NOINLINE HRES& HRES::operator=(HRESULT code) noexcept {
    Assign(code, true);
    return *this;
}

NOINLINE HRES& HRES::operator=(Win32Error error) noexcept {
    Assign(HresultFromWin32(error.code), false);
    return *this;
}

NOINLINE HRES& HRES::operator=(ApiResult result) noexcept {
    Assign(result.ok ? S_OK : HresultFromWin32(GetLastError()), false);
    return *this;
}

NOINLINE void HRES::AssignOrThrow(HRESULT code) {
    Assign(code, true);
    ThrowIfFailed(*this);
}

NOINLINE void HRES::Assign(HRESULT code, bool takeErrorInfo) noexcept {
    m_code = code;
    m_errorInfo.Reset();
    m_callers[0] = m_callers[1] = nullptr;
    if (code >= 0) {
        return;
    }
    CaptureCallers();
    if (takeErrorInfo) {
        // Taking the error object also clears it from the thread.
        if (GetErrorInfo(0, m_errorInfo.ReleaseAndGetAddressOf()) != S_OK) {
            m_errorInfo.Reset();
        }
    }
}

NOINLINE void HRES::CaptureCallers() noexcept {
    PVOID frames[2] = {nullptr, nullptr};
    const WORD captured = RtlCaptureStackBackTrace(m_skipFrames + 3, 2, frames, nullptr);
    for (WORD i = 0; i < 2; ++i) {
        m_callers[i] = i < captured ? frames[i] : nullptr;
    }
}

uint32_t HRES::CallerCount() const noexcept {
    return m_callers[1] != nullptr ? 2 : (m_callers[0] != nullptr ? 1 : 0);
}

void RaiseError(HRESULT code) {
    HRES hres;
    hres.AssignOrThrow(code < 0 ? code : E_FAIL);
    throw HRX(hres); // not reached: a failing code has been thrown above
}

void ThrowIfFailed(const HRES& hres) {
    if (hres.Failed()) {
        throw HRX(hres);
    }
}

HRESULT ThrowIfFailed(HRESULT code) {
    if (code < 0) {
        HRES hres;
        hres.AssignOrThrow(code);
    }
    return code;
}

std::wostream& operator<<(std::wostream& stream, const HRES& hres) {
    return stream << ErrorText(hres);
}
