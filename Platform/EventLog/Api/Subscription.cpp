// EvtSubscribe: a subscription follows the channels of its query from its origin on. One delivering
// thread serves every subscription of the process, as the service does, so that an idle
// subscription costs no thread: the store's change notifications put a subscription in its queue,
// and it takes them in turn. With a callback, the thread hands the matching events to it one at a
// time, each under an event handle that is closed when the callback returns. With a signal event
// (the pull form), it sets the event when matching events are waiting, and EvtNext on the
// subscription takes them.
#include "PalEventLog/Api/ApiSupport.h"
#include "PalEventLog/Api/Faults.h"
#include "PalEventLog/Query/Query.h"
#include "PalEventLog/Store/Store.h"

#include "Base/FileTime.h"
#include "Base/Mutex.h"
#include "Win32/SynchApi.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <semaphore>
#include <thread>

using namespace PalEventLog;

namespace {

struct Subscription;

// The one thread that delivers the events of every subscription, started with the first.
class Deliverer {
public:
    // Kept for the life of the process and never destroyed: subscriptions are stopped from the
    // destructors of other static objects at exit, in an order this file does not know. The thread
    // waits for work until the process ends.
    static Deliverer& Instance() {
        static Deliverer* const s_deliverer = std::make_unique<Deliverer>().release();
        return *s_deliverer;
    }

    // Queues a round of the subscription's work; the caller set its `queued`, so it is in the
    // queue once. Takes no lock and no memory: a writer queues every subscription of its channel
    // for each event, and must not wait for this thread or for a reader.
    void Schedule(std::shared_ptr<Subscription> subscription) noexcept;

    // Waits until no round of the subscription runs; at once on the delivering thread itself (a
    // callback that closes its own subscription).
    void WaitOutRound(const Subscription* subscription) {
        Base::UniqueLock lock(m_mutex);
        if (m_thread.get_id() == std::this_thread::get_id()) {
            return;
        }
        while (m_running == subscription) {
            m_idle.wait(lock);
        }
    }

private:
    void Run() noexcept;

    // The queue: subscriptions pushed one by one, newest first, and taken all at once by the
    // thread, which is woken when one is pushed onto an empty queue.
    std::atomic<Subscription*> m_queue{nullptr};
    std::counting_semaphore<> m_work{0};
    Base::Mutex m_mutex;
    std::condition_variable_any m_idle;
    const Subscription* m_running GUARDED_BY(m_mutex) = nullptr;
    // Last: started once the members it uses are.
    std::thread m_thread{[this] { Run(); }};
};

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

    std::weak_ptr<Subscription> weakSelf;
    // While it is in the delivering thread's queue (`queued`): itself, and the next one there.
    std::shared_ptr<Subscription> queuedSelf;
    Subscription* nextQueued = nullptr;

    Base::Mutex mutex;
    // The channels may hold events the delivering thread has not seen. Atomics rather than under
    // `mutex`: a writer's notice must not wait for a round in progress.
    std::atomic<bool> pending{false};
    std::atomic<bool> queued{false};   // a round is in the delivering thread's queue
    std::atomic<bool> stopping{false}; // set under `mutex`
    // Reported by the next callback or EvtNext.
    DWORD pendingError GUARDED_BY(mutex) = ERROR_SUCCESS;

    // There may be work: a round is queued unless one is already. Takes no lock of the
    // subscription, so that the writer that tells of new events never waits for a round.
    void Notify() {
        pending = true;
        if (stopping || queued.exchange(true)) {
            return;
        }
        if (auto self = weakSelf.lock()) {
            Deliverer::Instance().Schedule(std::move(self));
        }
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

    // Takes the pending work; false when there is none or the subscription stops. A notice
    // after `queued` is cleared queues another round.
    bool TakeWork() REQUIRES(mutex) {
        queued = false;
        return !stopping && pending.exchange(false);
    }

    // One round on the delivering thread.
    void Round() noexcept {
        // Nothing thrown here may end the thread that serves every subscription.
        Base::CFunctionBoundary([](Base::Thrown) noexcept { return 0; },
                                [&] {
                                    if (callback != nullptr) {
                                        DeliverCallbacks();
                                    } else {
                                        Signal();
                                    }
                                    return 0;
                                });
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

    // The callback form: hands the matching events to the callback, a batch a round.
    void DeliverCallbacks() {
        DWORD error = ERROR_SUCCESS;
        {
            Base::LockGuard lock(mutex);
            if (!TakeWork()) {
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
        if (batch.size() == 4096) {
            Notify(); // more may wait behind the batch: the other subscriptions go first
        }
    }

    // The pull form: signals when unseen matching events are there.
    void Signal() {
        bool found = false;
        {
            Base::LockGuard lock(mutex);
            if (!TakeWork()) {
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
};

void Deliverer::Schedule(std::shared_ptr<Subscription> subscription) noexcept {
    Subscription* const pushed = subscription.get();
    pushed->queuedSelf = std::move(subscription);
    Subscription* head = m_queue.load(std::memory_order_relaxed);
    do {
        pushed->nextQueued = head;
    } while (!m_queue.compare_exchange_weak(head, pushed, std::memory_order_release,
                                            std::memory_order_relaxed));
    if (head == nullptr) {
        m_work.release();
    }
}

void Deliverer::Run() noexcept {
    while (true) {
        m_work.acquire();
        // Taken whole, then served oldest first.
        Subscription* taken = m_queue.exchange(nullptr, std::memory_order_acquire);
        Subscription* oldestFirst = nullptr;
        while (taken != nullptr) {
            Subscription* const next = taken->nextQueued;
            taken->nextQueued = oldestFirst;
            oldestFirst = taken;
            taken = next;
        }
        while (oldestFirst != nullptr) {
            std::shared_ptr<Subscription> subscription = std::move(oldestFirst->queuedSelf);
            oldestFirst = std::exchange(oldestFirst->nextQueued, nullptr);
            {
                Base::LockGuard lock(m_mutex);
                m_running = subscription.get();
            }
            subscription->Round();
            subscription.reset();
            {
                Base::LockGuard lock(m_mutex);
                m_running = nullptr;
            }
            m_idle.notify_all();
        }
    }
}

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
    sub->listener.Reset();
    // Waits for a running callback, none follows; from inside its own callback, the round ends
    // when the callback returns.
    Deliverer::Instance().WaitOutRound(sub.get());
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
        sub->weakSelf = sub;
        try {
            sub->listener = sub->store->AddListener([weak = sub->weakSelf](const Channel& channel) {
                if (auto s = weak.lock(); s && s->Watches(channel)) {
                    s->Notify();
                }
            });
            sub->Notify(); // the first round: what the origin left to deliver, and the stale error
        } catch (...) {
            StopSubscription(handle);
            EventLogHandles().Close(handle);
            throw;
        }
        return handle;
    });
}
