#include "Logging/ImpersonationRevertGuard.h"

#include "ErrorHandling/ErrorHandling.h"
#include "Logging/DebugReport.h"

#include <cstdlib>

namespace Logging {

ImpersonationRevertGuard::ImpersonationRevertGuard(bool active) noexcept {
    if (!active) {
        return;
    }
    UniqueKernelHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, token.Put())) {
        const DWORD error = GetLastError();
        if (error != ERROR_NO_TOKEN) { // no token: the thread is not impersonating
            DebugReport(
                L"ImpersonationRevertGuard: cannot get current thread token (error: 0x%08x)",
                static_cast<unsigned>(HresultFromWin32(error)));
        }
        return;
    }
    if (!SetThreadToken(nullptr, nullptr)) {
        DebugReport(L"ImpersonationRevertGuard: cannot revert thread token (error: 0x%08x)",
                    static_cast<unsigned>(HresultFromWin32(GetLastError())));
        return;
    }
    m_token = std::move(token);
}

ImpersonationRevertGuard::~ImpersonationRevertGuard() {
    if (!m_token) {
        return;
    }
    if (!SetThreadToken(nullptr, m_token.Get())) {
        DebugReport(L"ImpersonationRevertGuard: cannot restore token back (error: 0x%08x)",
                    static_cast<unsigned>(HresultFromWin32(GetLastError())));
        std::abort();
    }
}

} // namespace Logging
