// Failures as HRESULTs. Inside the module a failure travels as a thrown HRX; its message lives in
// the thread's COM error object that the HRES took when the failing code was assigned, and is
// turned into text only when somebody needs it.
#pragma once

#include "Base/ComPtr.h"
#include "Platform.h"

#include <cstdint>
#include <iosfwd>
#include <string>

// The HRESULT form of a Win32 error code: zero and negative values stay, others get the Win32
// facility and the failure bit.
constexpr HRESULT HresultFromWin32(DWORD code) noexcept {
    return static_cast<HRESULT>(code) <= 0
               ? static_cast<HRESULT>(code)
               : static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(code) & 0xFFFFu));
}

// The facility bits of an HRESULT (7 is Win32).
constexpr uint32_t HresultFacility(HRESULT code) noexcept {
    return (static_cast<uint32_t>(code) >> 16) & 0x1FFFu;
}

// The host family's own failure codes.
constexpr HRESULT HR_UNKNOWN_REQUEST = static_cast<HRESULT>(0x80040513);
constexpr HRESULT HR_EVENT_MESSAGE_NOT_OBTAINED = static_cast<HRESULT>(0x80042001);
constexpr HRESULT HR_INVALID_FILTER_SET = static_cast<HRESULT>(0x80042002);
constexpr HRESULT HR_QUERY_CONTEXT_STOPPED = static_cast<HRESULT>(0x80047F03);
constexpr HRESULT HR_TOO_MANY_SESSIONS = static_cast<HRESULT>(0x80047F04);
constexpr HRESULT HR_NOT_FOUND = HresultFromWin32(ERROR_NOT_FOUND);
constexpr HRESULT HR_INSUFFICIENT_BUFFER = HresultFromWin32(ERROR_INSUFFICIENT_BUFFER);

// Tags that select the forms of HRES construction and assignment.
struct ThrowOnFailureTag {};
inline constexpr ThrowOnFailureTag ThrowOnFailure{};
// The result of an API call that returns a BOOL and sets the last error.
struct ApiResult {
    BOOL ok;
};
// A Win32 error code (ERROR_*), stored in its HRESULT form.
struct Win32Error {
    DWORD code;
};

class HRES {
public:
    // Success, no error object, no callers.
    HRES() noexcept = default;
    // Takes the code and, for a failure, the thread's error object and the two innermost callers.
    HRES(HRESULT code) noexcept;
    // The same; a failure is then thrown as an HRX.
    HRES(HRESULT code, ThrowOnFailureTag);
    // 0 when the call succeeded, else the HRESULT form of GetLastError(); no error object.
    HRES(ApiResult result) noexcept;

    HRES(const HRES&) = default;
    HRES(HRES&&) noexcept = default;
    HRES& operator=(const HRES&) = default;
    HRES& operator=(HRES&&) noexcept = default;

    // Stores the code; a failure captures the callers and takes the thread's error object
    // (which GetErrorInfo clears from the thread).
    HRES& operator=(HRESULT code) noexcept;
    // The HRESULT form of a Win32 code; callers captured on failure; no error object taken.
    HRES& operator=(Win32Error error) noexcept;
    // 0 when the call succeeded, else the HRESULT form of GetLastError(); no error object.
    HRES& operator=(ApiResult result) noexcept;
    // Assignment of an HRESULT, then a failure is thrown as an HRX.
    void AssignOrThrow(HRESULT code);

    HRESULT Code() const noexcept { return m_code; }
    bool Succeeded() const noexcept { return m_code >= 0; }
    bool Failed() const noexcept { return m_code < 0; }
    IErrorInfo* ErrorInfo() const noexcept { return m_errorInfo.Get(); }
    // The captured return addresses, innermost first, and how many of them are set (0 to 2).
    void* const* Callers() const noexcept { return m_callers; }
    uint32_t CallerCount() const noexcept;

private:
    void Assign(HRESULT code, bool takeErrorInfo) noexcept;
    void CaptureCallers() noexcept;

    HRESULT m_code = 0;
    Base::ComPtr<IErrorInfo> m_errorInfo;
    void* m_callers[2] = {nullptr, nullptr};
    uint32_t m_skipFrames = 1;
};

// What is thrown: exactly what an HRES carries; catchable as HRX& or HRES&.
class HRX : public HRES {
public:
    explicit HRX(const HRES& hres) noexcept : HRES(hres) {}
};

// Throws an HRX for the code with the thread's error object; a code that is not a failure is
// thrown as E_FAIL.
[[noreturn]] void RaiseError(HRESULT code);
// Throws an HRX copy of a failing HRES; does nothing for success.
void ThrowIfFailed(const HRES& hres);
// Throws an HRX for a failing HRESULT (taking the thread's error object); returns it otherwise.
HRESULT ThrowIfFailed(HRESULT code);

// Writes the text of the failure: code, message and location.
std::wostream& operator<<(std::wostream& stream, const HRES& hres);
