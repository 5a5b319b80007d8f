#include "Support/TestTokens.h"

namespace TestTokens {

// An impersonation copy of the process's own token.
HANDLE CreateImpersonationToken() noexcept {
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process)) {
        return nullptr;
    }
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(process, SecurityImpersonation, &impersonation)) {
        impersonation = nullptr;
    }
    CloseHandle(process);
    return impersonation;
}

// The same token has the same identifier, whichever handle it is read through.
bool SameToken(HANDLE a, HANDLE b) noexcept {
    TOKEN_STATISTICS left{};
    TOKEN_STATISTICS right{};
    DWORD size = 0;
    return GetTokenInformation(a, TokenStatistics, &left, sizeof(left), &size) &&
           GetTokenInformation(b, TokenStatistics, &right, sizeof(right), &size) &&
           left.TokenId.LowPart == right.TokenId.LowPart &&
           left.TokenId.HighPart == right.TokenId.HighPart;
}

} // namespace TestTokens
