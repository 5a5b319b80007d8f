// Lazy construction of process-wide objects: the pointer is read with acquire ordering; the first
// thread that finds it null builds the instance under the holder's lock and publishes it with
// release ordering. The instance lives until the module is unloaded.
#pragma once

#include "Base/Mutex.h"

#include <atomic>
#include <memory>

template <typename T>
class LazyInstance {
public:
    LazyInstance() = default;
    LazyInstance(const LazyInstance&) = delete;
    LazyInstance& operator=(const LazyInstance&) = delete;
    ~LazyInstance() = default;

    // The instance, built by `make` (returning std::unique_ptr<T>) on first use. A failure of
    // `make` propagates and leaves the holder empty, so a later call tries again.
    template <typename Make>
    T& Get(Make&& make) {
        T* instance = m_instance.load(std::memory_order_acquire);
        if (instance == nullptr) {
            Base::LockGuard lock(m_lock);
            instance = m_instance.load(std::memory_order_relaxed);
            if (instance == nullptr) {
                m_owner = make();
                instance = m_owner.get();
                m_instance.store(instance, std::memory_order_release);
            }
        }
        return *instance;
    }

    T& Get() {
        return Get([] { return std::make_unique<T>(); });
    }

private:
    Base::RecursiveMutex m_lock;
    std::unique_ptr<T> m_owner GUARDED_BY(m_lock);
    std::atomic<T*> m_instance{nullptr};
};
