// A token for a test thread to impersonate, as a thread that serves a client has one.
#pragma once

#include "Platform.h"

namespace TestTokens {

// A new impersonation token (the caller closes it); null on failure.
HANDLE CreateImpersonationToken() noexcept;
// Whether two token handles denote the same token.
bool SameToken(HANDLE a, HANDLE b) noexcept;

} // namespace TestTokens
