// What the units of the C functions share: failure reporting (last error and the thread's extended
// status), injected faults, the exception guard of every C function, event handles' events,
// bookmarks, subscriptions, and what the classic functions share.
#pragma once

#include "PalEventLog/Api/Handles.h"
#include "PalEventLog/Store/Store.h"

#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"
#include "Base/ThreadObject.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEvt.h"
#include "Win32/WinSecurity.h"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace PalEventLog {

// Sets the thread's last error and extended status for a failing call.
void Fail(DWORD code, std::wstring status = {}) noexcept;
// An injected fault due for this call of `function` (see Win32/PalEventLogFaults.h), already
// reported.
bool Injected(std::string_view function);

// The error convention of the library's C functions, for Base::CFunctionBoundary: an exception
// sets the last error to ERROR_OUTOFMEMORY (allocation failure) or ERROR_INTERNAL_ERROR with an
// empty extended status, and the function returns `failure`.
template <class R>
auto FailWithLastError(R failure) noexcept {
    return [failure](Base::Thrown thrown) noexcept {
        Fail(thrown == Base::Thrown::OutOfMemory ? ERROR_OUTOFMEMORY : ERROR_INTERNAL_ERROR);
        return failure;
    };
}

template <class T>
std::shared_ptr<T> Lookup(EVT_HANDLE handle, HandleKind kind) {
    return std::static_pointer_cast<T>(EventLogHandles().Get(handle, kind));
}

// The channel a query names: false, with the failure reported, when it is absent and the query
// does not tolerate that; else true, with `channel` null for an absent channel to skip.
inline bool FindQueryChannel(const Store& store, const std::wstring& name, bool tolerate,
                             Channel*& channel) REQUIRES_SHARED(store.Mutex()) {
    channel = store.FindChannel(name);
    if (channel == nullptr && !tolerate) {
        Fail(ERROR_EVT_CHANNEL_NOT_FOUND, L"channel not found: " + name);
        return false;
    }
    return true;
}

// An event handle's event, with the result set or subscription that keeps it alive.
struct EventAccess {
    EventRef ref;
    std::shared_ptr<EventHandleOwner> owner;
    const Event& Get() const { return ref.channel->events[ref.index]; }
};

inline bool LookupEvent(EVT_HANDLE handle, EventAccess& access) {
    return EventLogHandles().GetEvent(handle, access.ref, access.owner);
}

struct Bookmark : HandleObject {
    Base::Mutex mutex;
    // Channel, record id.
    std::vector<std::pair<std::wstring, uint64_t>> entries GUARDED_BY(mutex);
    std::wstring current GUARDED_BY(mutex);

    std::wstring Xml();
};

// An account that a SID names: a well-known one, else one of the store's accounts.
struct AccountOfSid {
    std::wstring domain;
    std::wstring name;
    SID_NAME_USE use = SidTypeUser;
};
std::optional<AccountOfSid> FindAccountOfSid(const PublisherCatalog& catalog,
                                             std::wstring_view sid);

// The keyword bits of events written through the classic functions.
constexpr uint64_t kKeywordClassic = 0x80000000000000ull;
constexpr uint64_t kKeywordAuditSuccess = 0x20000000000000ull;
constexpr uint64_t kKeywordAuditFailure = 0x10000000000000ull;

// Whether a server name names this computer (null or empty).
inline bool IsLocal(LPCWSTR server) {
    return server == nullptr || *server == L'\0';
}

// A binary SID as "S-1-..."; nullopt when it is not a valid SID.
std::optional<std::wstring> SidText(PSID sid);

// Subscriptions (Subscription.cpp). EvtNext on a subscription of the signal-event form takes its
// next events; closing a subscription stops its deliveries first.
BOOL SubscriptionNext(EVT_HANDLE subscription, DWORD eventsSize, PEVT_HANDLE events,
                      PDWORD returned);
void StopSubscription(EVT_HANDLE subscription);

} // namespace PalEventLog
