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

DisconnectWatch::Registration DisconnectWatch::Watch(const std::string& remoteAddress,
                                                     int remotePort, int localPort, void* request) {
    const Base::LockGuard lock(m_lock);
    m_entries.push_front(
        Entry{remoteAddress, remotePort, localPort, request, std::chrono::steady_clock::now()});
    return Registration(*this, m_entries.begin());
}

DisconnectWatch::Registration::~Registration() {
    const Base::LockGuard lock(m_watch->m_lock);
    m_watch->m_entries.erase(m_entry);
}

bool DisconnectWatch::Registration::Cancelled() const {
    const Base::LockGuard lock(m_watch->m_lock);
    return m_entry->cancelled;
}

void DisconnectWatch::Look(Entry& entry) {
    if (entry.socket < 0) {
        entry.socket = FindConnectionSocket(entry.remoteAddress, entry.remotePort, entry.localPort);
    }
    // The entry is registered for as long as its request runs, and the server closes the
    // connection only after that, so the socket cannot be reused while it is looked at here.
    if (entry.socket >= 0 && PeerClosed(entry.socket)) {
        entry.cancelled = TrCancelRequest(entry.request) >= 0;
    }
}

void DisconnectWatch::Run() noexcept {
    Base::UniqueLock lock(m_lock);
    while (!m_stop) {
        m_wake.wait_for(lock, m_grace);
        const auto now = std::chrono::steady_clock::now();
        for (Entry& entry : m_entries) {
            if (!entry.cancelled && now - entry.start >= m_grace) {
                Look(entry);
            }
        }
    }
}

} // namespace HalyardHost
