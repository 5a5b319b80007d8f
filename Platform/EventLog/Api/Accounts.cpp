// LookupAccountSidW: well-known SIDs and the store's accounts, with the character-size protocol.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Store/Store.h"

#include "Win32/WinSecurity.h"

#include <cstring>
#include <optional>
#include <string>

namespace PalEventLog {

std::optional<std::wstring> SidText(PSID sid) {
    const auto* bytes = static_cast<const uint8_t*>(sid);
    if (bytes == nullptr || bytes[0] != 1 || bytes[1] > 15) {
        return std::nullopt;
    }
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = authority << 8 | bytes[i];
    }
    std::wstring text = L"S-1-" + std::to_wstring(authority);
    for (int i = 0; i < bytes[1]; ++i) {
        uint32_t sub = 0;
        std::memcpy(&sub, bytes + 8 + 4 * i, 4);
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

} // namespace PalEventLog

using namespace PalEventLog;

namespace {

struct WellKnown {
    std::wstring_view sid;
    std::wstring_view domain;
    std::wstring_view name;
    SID_NAME_USE use;
};

constexpr WellKnown kWellKnown[] = {
    {L"S-1-0-0", L"", L"NULL SID", SidTypeWellKnownGroup},
    {L"S-1-1-0", L"", L"Everyone", SidTypeWellKnownGroup},
    {L"S-1-5-7", L"NT AUTHORITY", L"ANONYMOUS LOGON", SidTypeWellKnownGroup},
    {L"S-1-5-11", L"NT AUTHORITY", L"Authenticated Users", SidTypeWellKnownGroup},
    {L"S-1-5-18", L"NT AUTHORITY", L"SYSTEM", SidTypeWellKnownGroup},
    {L"S-1-5-19", L"NT AUTHORITY", L"LOCAL SERVICE", SidTypeWellKnownGroup},
    {L"S-1-5-20", L"NT AUTHORITY", L"NETWORK SERVICE", SidTypeWellKnownGroup},
    {L"S-1-5-32-544", L"BUILTIN", L"Administrators", SidTypeAlias},
    {L"S-1-5-32-545", L"BUILTIN", L"Users", SidTypeAlias},
};

} // namespace

namespace PalEventLog {

std::optional<AccountOfSid> FindAccountOfSid(const PublisherCatalog& catalog,
                                             std::wstring_view sid) {
    for (const WellKnown& known : kWellKnown) {
        if (known.sid == sid) {
            return AccountOfSid{std::wstring(known.domain), std::wstring(known.name), known.use};
        }
    }
    if (const Account* a = catalog.FindAccount(sid)) {
        return AccountOfSid{a->domain, a->name, SidTypeUser};
    }
    return std::nullopt;
}

} // namespace PalEventLog

BOOL WINAPI LookupAccountSidW(LPCWSTR /*systemName*/, PSID sid, LPWSTR name, LPDWORD nameSize,
                              LPWSTR referencedDomainName, LPDWORD domainSize, PSID_NAME_USE use) {
    return Base::CFunctionBoundary(FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        if (nameSize == nullptr || domainSize == nullptr || (name == nullptr && *nameSize != 0) ||
            (referencedDomainName == nullptr && *domainSize != 0)) {
            Fail(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (Injected("LookupAccountSidW")) {
            return FALSE;
        }
        const std::optional<std::wstring> text = SidText(sid);
        if (!text) {
            Fail(ERROR_INVALID_SID);
            return FALSE;
        }
        const std::optional<AccountOfSid> found = FindAccountOfSid(GlobalStore()->Catalog(), *text);
        if (!found) {
            Fail(ERROR_NONE_MAPPED);
            return FALSE;
        }
        const std::wstring& account = found->name;
        const std::wstring& domain = found->domain;
        const SID_NAME_USE kind = found->use;
        if (*nameSize < account.size() + 1 || *domainSize < domain.size() + 1) {
            *nameSize = static_cast<DWORD>(account.size() + 1);
            *domainSize = static_cast<DWORD>(domain.size() + 1);
            Fail(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::memcpy(name, account.c_str(), (account.size() + 1) * sizeof(wchar_t));
        std::memcpy(referencedDomainName, domain.c_str(), (domain.size() + 1) * sizeof(wchar_t));
        *nameSize = static_cast<DWORD>(account.size());
        *domainSize = static_cast<DWORD>(domain.size());
        if (use != nullptr) {
            *use = kind;
        }
        return TRUE;
    });
}
