// Watches the host's HTTP connections from a thread of its own: notices clients that went away
// while the module still works on their request, and cancels that request's framework context, so
// a long count or search ends early with the cancellation code instead of finishing for nobody;
// and closes connections whose request has not arrived in full by its deadline, so a client that
// sends a byte now and then cannot hold a connection for ever.
#pragma once

#include "Base/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <thread>
#include <utility>

namespace HalyardHost {

class DisconnectWatch {
    struct Entry;

public:
    using Clock = std::chrono::steady_clock;

    // Requests running for less than `grace` are not looked at (most end sooner); deadlines are
    // kept to within that time too.
    explicit DisconnectWatch(std::chrono::milliseconds grace = std::chrono::milliseconds(100));
    ~DisconnectWatch();
    DisconnectWatch(const DisconnectWatch&) = delete;
    DisconnectWatch& operator=(const DisconnectWatch&) = delete;

    // What is watched, until the object is destroyed.
    class Registration {
    public:
        Registration(DisconnectWatch& watch, std::list<Entry>::iterator entry) noexcept
            : m_watch(&watch), m_entry(entry) {}
        ~Registration();
        Registration(Registration&& other) noexcept
            : m_watch(std::exchange(other.m_watch, nullptr)), m_entry(other.m_entry) {}
        Registration& operator=(Registration&&) = delete;
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        // True once the request was cancelled because its client went away, or the connection
        // closed at its deadline.
        bool Cancelled() const;

    private:
        DisconnectWatch* m_watch;
        std::list<Entry>::iterator m_entry;
    };
    // Cancels the request running in the framework context `request` if the client of the
    // connection `socket` goes away.
    [[nodiscard]] Registration Watch(int socket, void* request);
    // Shuts the connection `socket` down at `deadline`.
    [[nodiscard]] Registration Limit(int socket, Clock::time_point deadline);

private:
    struct Entry {
        int socket;
        void* request; // null for a deadline
        Clock::time_point start;
        Clock::time_point deadline;
        bool cancelled = false;
    };

    Registration Add(Entry entry);
    void Run() noexcept;
    void Look(Entry& entry, Clock::time_point now) REQUIRES(m_lock);

    const std::chrono::milliseconds m_grace;
    mutable Base::Mutex m_lock;
    std::condition_variable_any m_wake;
    std::list<Entry> m_entries GUARDED_BY(m_lock);
    bool m_stop GUARDED_BY(m_lock) = false;
    std::thread m_thread;
};

} // namespace HalyardHost
