// EvtSubscribe: a subscription follows the channels of its query from its origin on. Each has a
// worker thread of its own that waits for the store's change notifications. With a callback, the
// worker hands the matching events to it one at a time, each under an event handle that is closed
// when the callback returns. With a signal event (the pull form), the worker sets the event when
// matching events are waiting, and EvtNext on the subscription takes them.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Api/Faults.h"
#include "PalEventLog/Query/Query.h"
#include "PalEventLog/Store/Store.h"

#include "Base/FileTime.h"
#include "Base/Mutex.h"
#include "Win32/SynchApi.h"

#include <condition_variable>
#include <thread>

using namespace PalEventLog;

namespace {

struct Subscription : EventHandleOwner {
    struct Source {
        Channel* channel = nullptr;
        PathMatcher matcher;
        size_t next = 0;    // the first event not yet delivered (or taken by EvtNext)
        size_t scanned = 0; // pull form: the first event not yet looked at by the worker
    };
    CompiledQuery query;
    std::vector<Source> sources; // `next` and `scanned` under `mutex`
    bool usesTime = false;
    EVT_SUBSCRIBE_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    HANDLE signal = nullptr;
    EVT_HANDLE self = nullptr;
    Store::ChangeListeners::Registration listener; // undone by StopSubscription

    Base::Mutex mutex;
    std::condition_variable_any wake;
    bool pending GUARDED_BY(mutex) = true; // the channels may hold events the worker has not seen
    bool stopping GUARDED_BY(mutex) = false;
    // Reported by the next callback or EvtNext.
    DWORD pendingError GUARDED_BY(mutex) = ERROR_SUCCESS;
    std::thread worker;

    ~Subscription() override {
        // Stop joins or detaches the worker; this covers a process that never closes the handle.
        if (worker.joinable()) {
            worker.detach();
        }
    }

    void Notify() {
        {
            Base::LockGuard lock(mutex);
            pending = true;
        }
        wake.notify_one();
    }

    bool Watches(const Channel& channel) const {
        for (const Source& s : sources) {
            if (s.channel == &channel) {
                return true;
            }
        }
        return false;
    }

    // The matching events after each source's `from` position, at most `limit`; positions move
    // past what was looked at.
    std::vector<std::pair<Channel*, uint32_t>> Collect(size_t Source::*from, size_t limit)
        REQUIRES(mutex) {
        std::vector<std::pair<Channel*, uint32_t>> found;
        Store::ReadLock storeLock(*store);
        const uint64_t now = usesTime ? Base::FileTimeNow() : 0;
        for (Source& s : sources) {
            const size_t size = s.channel->events.size();
            size_t& position = s.*from;
            for (; position < size && found.size() < limit; ++position) {
                if (s.matcher.Matches(*store, *s.channel, s.channel->events[position], now)) {
                    found.emplace_back(s.channel, static_cast<uint32_t>(position));
                }
            }
        }
        return found;
    }

    // Waits until there is work or the subscription stops; false when it stops. The pending work
    // is taken.
    bool WaitForWork(Base::UniqueLock<Base::Mutex>& lock) REQUIRES(mutex) {
        while (!pending && !stopping) {
            wake.wait(lock);
        }
        pending = false;
        return !stopping;
    }

    bool Stopping() {
        Base::LockGuard lock(mutex);
        return stopping;
    }

    void Call(EVT_SUBSCRIBE_NOTIFY_ACTION action, EVT_HANDLE argument) noexcept {
        // The callback is C code by contract; nothing it throws goes further.
        Base::CFunctionBoundary([](Base::Thrown) noexcept { return ERROR_SUCCESS; },
                                [&] { return callback(action, context, argument); });
    }

    void DeliverError(DWORD code) {
        Call(EvtSubscribeActionError, reinterpret_cast<EVT_HANDLE>(static_cast<uintptr_t>(code)));
    }

    // The worker of the callback form.
    void RunCallbacks() {
        while (true) {
            DWORD error = ERROR_SUCCESS;
            {
                Base::UniqueLock lock(mutex);
                if (!WaitForWork(lock)) {
                    return;
                }
                error = std::exchange(pendingError, ERROR_SUCCESS);
            }
            if (error != ERROR_SUCCESS) {
                DeliverError(error);
            }
            std::vector<std::pair<Channel*, uint32_t>> batch;
            {
                Base::LockGuard lock(mutex);
                batch = Collect(&Source::next, 4096);
                if (batch.size() == 4096) {
                    pending = true; // more may wait behind the batch
                }
            }
            for (const auto& [channel, index] : batch) {
                if (Stopping()) {
                    return;
                }
                const InjectedFault fault = TakeFault("EvtSubscribeDeliver");
                if (fault.error != 0) {
                    DeliverError(fault.error);
                }
                const EVT_HANDLE event = EventLogHandles().AddEvent(self, channel, index);
                if (event == nullptr) {
                    return; // the subscription's handle is closed
                }
                Call(EvtSubscribeActionDeliver, event);
                EventLogHandles().Close(event);
            }
        }
    }

    // The worker of the pull form: signals when unseen matching events are there.
    void RunSignals() {
        while (true) {
            bool found = false;
            {
                Base::UniqueLock lock(mutex);
                if (!WaitForWork(lock)) {
                    return;
                }
                found = pendingError != ERROR_SUCCESS;
                // Nothing before `next` needs a signal: EvtNext took it already.
                for (Source& s : sources) {
                    s.scanned = std::max(s.scanned, s.next);
                }
                found = !Collect(&Source::scanned, 1).empty() || found;
            }
            if (found) {
                SetEvent(signal);
            }
        }
    }
};

using BookmarkEntries = std::vector<std::pair<std::wstring, uint64_t>>;

// Where a subscription starts in one channel; `marked` are the bookmark's entries.
bool StartPosition(const Channel& channel, DWORD origin, const BookmarkEntries& marked, bool strict,
                   size_t& position, DWORD& error) {
    switch (origin) {
    case EvtSubscribeToFutureEvents:
        position = channel.events.size();
        return true;
    case EvtSubscribeStartAtOldestRecord:
        position = 0;
        return true;
    default:
        break;
    }
    // After the bookmarked record of this channel. A record that is gone (or a bookmark without
    // this channel) means events may have been missed: a strict subscription is told so.
    for (const auto& [name, record] : marked) {
        if (EqualsNoCase(name, channel.name)) {
            const size_t at = channel.LowerBound(record);
            const bool present =
                at < channel.events.size() && channel.events[at].recordId == record;
            position = present ? at + 1 : at;
            if (!present && strict) {
                error = ERROR_EVT_QUERY_RESULT_STALE;
            }
            return true;
        }
    }
    position = 0;
    if (strict) {
        error = ERROR_EVT_QUERY_RESULT_STALE;
    }
    return true;
}

} // namespace

namespace PalEventLog {

BOOL SubscriptionNext(EVT_HANDLE subscription, DWORD eventsSize, PEVT_HANDLE events,
                      PDWORD returned) {
    auto sub = Lookup<Subscription>(subscription, HandleKind::Subscription);
    if (!sub || sub->callback != nullptr) {
        Fail(ERROR_INVALID_HANDLE, L"only a subscription with a signal event is read by EvtNext");
        return FALSE;
    }
    if (events == nullptr || returned == nullptr || eventsSize == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const InjectedFault fault = TakeFault("EvtNext");
    std::vector<std::pair<Channel*, uint32_t>> batch;
    {
        Base::LockGuard lock(sub->mutex);
        if (const DWORD error = std::exchange(sub->pendingError, ERROR_SUCCESS)) {
            Fail(error, L"events of the subscription may have been missed");
            return FALSE;
        }
        if (fault.error != 0) {
            Fail(fault.error, L"injected fault");
            return FALSE;
        }
        batch = sub->Collect(&Subscription::Source::next, eventsSize);
    }
    DWORD count = 0;
    for (const auto& [channel, index] : batch) {
        const EVT_HANDLE handle = EventLogHandles().AddEvent(subscription, channel, index);
        if (handle == nullptr) {
            break;
        }
        events[count++] = handle;
    }
    if (count == 0) {
        Fail(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    *returned = count;
    return TRUE;
}

void StopSubscription(EVT_HANDLE subscription) {
    auto sub = Lookup<Subscription>(subscription, HandleKind::Subscription);
    if (!sub) {
        return;
    }
    {
        Base::LockGuard lock(sub->mutex);
        if (sub->stopping) {
            return;
        }
        sub->stopping = true;
    }
    sub->wake.notify_one();
    sub->listener.Reset();
    if (!sub->worker.joinable()) {
        return;
    }
    if (sub->worker.get_id() == std::this_thread::get_id()) {
        // Closed from inside its own callback: the worker ends when the callback returns.
        sub->worker.detach();
    } else {
        sub->worker.join(); // waits for a running callback; none follows
    }
}

} // namespace PalEventLog

EVT_HANDLE WINAPI EvtSubscribe(EVT_HANDLE session, HANDLE signalEvent, LPCWSTR channelPath,
                               LPCWSTR query, EVT_HANDLE bookmark, PVOID context,
                               EVT_SUBSCRIBE_CALLBACK callback, DWORD flags) {
    return Base::CFunctionBoundary(FailWithLastError<EVT_HANDLE>(nullptr), [&]() -> EVT_HANDLE {
        if (Injected("EvtSubscribe")) {
            return nullptr;
        }
        if (session != nullptr) {
            Fail(ERROR_INVALID_HANDLE, L"remote sessions are not supported");
            return nullptr;
        }
        const DWORD origin = flags & EvtSubscribeOriginMask;
        constexpr DWORD known =
            EvtSubscribeOriginMask | EvtSubscribeTolerateQueryErrors | EvtSubscribeStrict;
        if ((flags & ~known) != 0 || origin == 0 ||
            (callback == nullptr) == (signalEvent == nullptr) ||
            (origin == EvtSubscribeStartAfterBookmark) != (bookmark != nullptr)) {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::shared_ptr<Bookmark> mark;
        if (bookmark != nullptr) {
            mark = Lookup<Bookmark>(bookmark, HandleKind::Bookmark);
            if (!mark) {
                Fail(ERROR_INVALID_HANDLE);
                return nullptr;
            }
        }
        auto sub = std::make_shared<Subscription>();
        QueryError error;
        if (!CompiledQuery::Compile(query, channelPath ? channelPath : L"", false, sub->query,
                                    error)) {
            Fail(error.code, error.message);
            return nullptr;
        }
        sub->store = GlobalStore();
        sub->callback = callback;
        sub->context = context;
        sub->signal = signalEvent;
        const bool tolerate = (flags & EvtSubscribeTolerateQueryErrors) != 0;
        const bool strict = (flags & EvtSubscribeStrict) != 0;
        DWORD stale = ERROR_SUCCESS; // events may have been missed: told first
        {
            BookmarkEntries marked;
            if (mark) {
                Base::LockGuard markLock(mark->mutex);
                marked = mark->entries;
            }
            Store::ReadLock lock(*sub->store);
            for (const auto& [name, file] : sub->query.Paths()) {
                if (file) {
                    Fail(ERROR_NOT_SUPPORTED, L"a log file cannot be subscribed to: " + name);
                    return nullptr;
                }
                Channel* channel = nullptr;
                if (!FindQueryChannel(*sub->store, name, tolerate, channel)) {
                    return nullptr;
                }
                if (channel == nullptr) {
                    continue;
                }
                Subscription::Source source;
                source.channel = channel;
                source.matcher = PathMatcher(sub->query, name);
                StartPosition(*channel, origin, marked, strict, source.next, stale);
                source.scanned = source.next;
                sub->usesTime = sub->usesTime || source.matcher.UsesTime();
                sub->sources.push_back(std::move(source));
            }
        }
        if (sub->sources.empty() && !tolerate) {
            Fail(ERROR_EVT_CHANNEL_NOT_FOUND, L"the query names no channel");
            return nullptr;
        }
        {
            Base::LockGuard lock(sub->mutex);
            sub->pendingError = stale;
        }
        const EVT_HANDLE handle = EventLogHandles().Add(HandleKind::Subscription, sub);
        sub->self = handle;
        std::weak_ptr<Subscription> weak = sub;
        try {
            sub->listener = sub->store->AddListener([weak](const Channel& channel) {
                if (auto s = weak.lock(); s && s->Watches(channel)) {
                    s->Notify();
                }
            });
            sub->worker = std::thread([sub] {
                if (sub->callback != nullptr) {
                    sub->RunCallbacks();
                } else {
                    sub->RunSignals();
                }
            });
        } catch (...) {
            StopSubscription(handle);
            EventLogHandles().Close(handle);
            throw;
        }
        return handle;
    });
}
