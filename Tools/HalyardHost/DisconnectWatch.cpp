#include "DisconnectWatch.h"

#include "ConnectionSockets.h"
#include "Trellis/Trellis.h"

namespace HalyardHost {

DisconnectWatch::DisconnectWatch(std::chrono::milliseconds grace)
    : m_grace(grace), m_thread([this] { Run(); }) {}

DisconnectWatch::~DisconnectWatch() {
    {
        const Base::LockGuard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

DisconnectWatch::Registration DisconnectWatch::Add(Entry entry) {
    const Base::LockGuard lock(m_lock);
    m_entries.push_front(entry);
    return Registration(*this, m_entries.begin());
}

DisconnectWatch::Registration DisconnectWatch::Watch(int socket, void* request) {
    return Add(Entry{socket, request, Clock::now(), Clock::time_point::max()});
}

DisconnectWatch::Registration DisconnectWatch::Limit(int socket, Clock::time_point deadline) {
    return Add(Entry{socket, nullptr, Clock::now(), deadline});
}

DisconnectWatch::Registration::~Registration() {
    if (m_watch != nullptr) {
        const Base::LockGuard lock(m_watch->m_lock);
        m_watch->m_entries.erase(m_entry);
    }
}

bool DisconnectWatch::Registration::Cancelled() const {
    const Base::LockGuard lock(m_watch->m_lock);
    return m_entry->cancelled;
}

void DisconnectWatch::Look(Entry& entry, Clock::time_point now) {
    // The entry is registered until its connection is done with, and the server closes the
    // socket only after that, so the socket cannot be reused while it is looked at here.
    if (entry.socket < 0) {
        return;
    }
    if (entry.request == nullptr) {
        if (now >= entry.deadline) {
            ShutDownConnection(entry.socket);
            entry.cancelled = true;
        }
    } else if (now - entry.start >= m_grace && PeerClosed(entry.socket)) {
        entry.cancelled = TrCancelRequest(entry.request) >= 0;
    }
}

void DisconnectWatch::Run() noexcept {
    Base::UniqueLock lock(m_lock);
    while (!m_stop) {
        m_wake.wait_for(lock, m_grace);
        const auto now = Clock::now();
        for (Entry& entry : m_entries) {
            if (!entry.cancelled) {
                Look(entry, now);
            }
        }
    }
}

} // namespace HalyardHost
