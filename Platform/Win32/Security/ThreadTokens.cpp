// Thread tokens. A thread impersonates only a token that a test made (PalCreateImpersonationToken)
// and gave it with SetThreadToken; any other thread has no token and runs as the process.

#include "PalWin32/ApiBoundary.h"
#include "PalWin32/Handles.h"
#include "Win32/WinBase.h"
#include "Win32/WinSecurity.h"

namespace {

// A token: nothing but an identity here. Its handles live in the kernel handle table.
class Token final : public Pal::KernelObject {};

// The token the calling thread impersonates, if any.
thread_local std::shared_ptr<Token> t_impersonated;

} // namespace

// The pseudo handle of the calling thread, as on Windows. Weak, so that the thread code of the
// library may define it instead.
extern "C" __attribute__((weak, visibility("default"))) HANDLE WINAPI GetCurrentThread() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD, BOOL, PHANDLE token) {
    if (token == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *token = nullptr;
    if (thread != GetCurrentThread()) {
        SetLastError(ERROR_INVALID_HANDLE); // only the calling thread is supported
        return FALSE;
    }
    if (!t_impersonated) {
        SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    *token = Pal::KernelHandles().Insert(t_impersonated);
    if (*token == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetThreadToken(PHANDLE thread, HANDLE token) {
    if (thread != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE); // only the calling thread is supported
        return FALSE;
    }
    if (token == nullptr) {
        t_impersonated.reset(); // back to the process's identity
        return TRUE;
    }
    auto impersonated = Pal::KernelHandles().FindAs<Token>(token);
    if (!impersonated) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    t_impersonated = std::move(impersonated);
    return TRUE;
}

HANDLE WINAPI PalCreateImpersonationToken() {
    return Base::CFunctionBoundary(Pal::FailWithLastError<HANDLE>(nullptr), [] {
        HANDLE token = Pal::KernelHandles().Insert(std::make_shared<Token>());
        if (token == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        return token;
    });
}
