// Runs a scope under the process's own identity: a thread that impersonates a client has its
// token put aside at the start and restored at the end.
#pragma once

#include "Helpers/UniqueHandle.h"

namespace Logging {

class ImpersonationRevertGuard {
public:
    // Inactive, the guard does nothing.
    explicit ImpersonationRevertGuard(bool active) noexcept;
    // Restores the token; a restore that fails ends the process, since the thread would go on
    // with the wrong identity.
    ~ImpersonationRevertGuard();
    ImpersonationRevertGuard(const ImpersonationRevertGuard&) = delete;
    ImpersonationRevertGuard& operator=(const ImpersonationRevertGuard&) = delete;

    // True while a token is held for restoring.
    bool Reverted() const noexcept { return static_cast<bool>(m_token); }

private:
    UniqueKernelHandle m_token;
};

} // namespace Logging
