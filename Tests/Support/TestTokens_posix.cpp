#include "Support/TestTokens.h"

namespace TestTokens {

// The stand-in's threads never impersonate but with a token made for a test.
HANDLE CreateImpersonationToken() noexcept {
    return PalCreateImpersonationToken();
}

bool SameToken(HANDLE a, HANDLE b) noexcept {
    return CompareObjectHandles(a, b);
}

} // namespace TestTokens
