// Notices HTTP clients that went away while the module still works on their request, and cancels
// that request's framework context, so a long count or search ends early with the cancellation
// code instead of finishing for nobody.
#pragma once

#include "Base/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <string>
#include <thread>

namespace HalyardHost {

class DisconnectWatch {
    struct Entry;

public:
    // Requests running for less than `grace` are not looked at (most end sooner).
    explicit DisconnectWatch(std::chrono::milliseconds grace = std::chrono::milliseconds(100));
    ~DisconnectWatch();
    DisconnectWatch(const DisconnectWatch&) = delete;
    DisconnectWatch& operator=(const DisconnectWatch&) = delete;

    // Watches the connection (the client's address and port, the server's port) of a request
    // running in the framework context `request`, until the returned object is destroyed.
    class Registration {
    public:
        Registration(DisconnectWatch& watch, std::list<Entry>::iterator entry) noexcept
            : m_watch(&watch), m_entry(entry) {}
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        // True once the request was cancelled because its client went away.
        bool Cancelled() const;

    private:
        DisconnectWatch* m_watch;
        std::list<Entry>::iterator m_entry;
    };
    [[nodiscard]] Registration Watch(const std::string& remoteAddress, int remotePort,
                                     int localPort, void* request);

private:
    struct Entry {
        std::string remoteAddress;
        int remotePort;
        int localPort;
        void* request;
        std::chrono::steady_clock::time_point start;
        int socket = -1; // found on the first look
        bool cancelled = false;
    };

    void Run() noexcept;
    void Look(Entry& entry) REQUIRES(m_lock);

    const std::chrono::milliseconds m_grace;
    mutable Base::Mutex m_lock;
    std::condition_variable_any m_wake;
    std::list<Entry> m_entries GUARDED_BY(m_lock);
    bool m_stop GUARDED_BY(m_lock) = false;
    std::thread m_thread;
};

} // namespace HalyardHost
