// Listeners of one kind of notice (events appended, problems met), each registered through an
// object that undoes the registration.
#pragma once

#include "Base/Mutex.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace PalEventLog {

template <typename... Args>
class ListenerList {
public:
    using Listener = std::function<void(Args...)>;

private:
    struct State {
        Base::Mutex mutex;
        std::map<uint64_t, Listener> listeners GUARDED_BY(mutex);
        uint64_t next GUARDED_BY(mutex) = 1;
    };

public:
    // Holds one registration: resetting or destroying it removes the listener. It may outlive the
    // list; then there is nothing left to remove.
    class [[nodiscard]] Registration {
    public:
        Registration() noexcept = default;
        Registration(Registration&& other) noexcept
            : m_state(std::move(other.m_state)), m_id(std::exchange(other.m_id, 0)) {}
        Registration& operator=(Registration&& other) noexcept {
            if (this != &other) {
                Reset();
                m_state = std::move(other.m_state);
                m_id = std::exchange(other.m_id, 0);
            }
            return *this;
        }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;
        ~Registration() { Reset(); }

        // Removes the listener; once it returns, the listener is not running and never runs again.
        void Reset() noexcept {
            if (const auto state = std::exchange(m_state, {}).lock()) {
                Base::LockGuard lock(state->mutex);
                state->listeners.erase(m_id);
            }
            m_id = 0;
        }

    private:
        friend class ListenerList;
        Registration(const std::shared_ptr<State>& state, uint64_t id) : m_state(state), m_id(id) {}

        std::weak_ptr<State> m_state;
        uint64_t m_id = 0;
    };

    // Adds a listener, called from now on until its registration is undone.
    [[nodiscard]] Registration Add(Listener listener) {
        Base::LockGuard lock(m_state->mutex);
        const uint64_t id = m_state->next++;
        m_state->listeners.emplace(id, std::move(listener));
        return Registration(m_state, id);
    }

    // Calls every listener, in the order they were added, under the list's lock (so that undoing a
    // registration waits for a call in progress). A listener must not add or remove listeners of
    // the list it is called from.
    void Notify(const Args&... args) const {
        Base::LockGuard lock(m_state->mutex);
        for (const auto& [id, listener] : m_state->listeners) {
            listener(args...);
        }
    }

private:
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace PalEventLog
