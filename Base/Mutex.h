// The standard library's locks, annotated for the thread-safety analysis (ThreadAnnotations.h):
// members name the mutex that guards them, and these guards are the only way to hold one, so that
// the compiler checks every access. They add nothing at run time.
//
//   Base::Mutex m_mutex;
//   int m_count GUARDED_BY(m_mutex) = 0;
//   void Add() EXCLUDES(m_mutex) { Base::LockGuard lock(m_mutex); ++m_count; }
//
// A thread that waits uses UniqueLock with std::condition_variable_any and waits in a loop on
// its condition (a predicate lambda would be checked as a function of its own, without the lock).
#pragma once

#include "Base/ThreadAnnotations.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

namespace Base {

// A standard exclusive mutex (std::mutex, std::recursive_mutex) as a capability.
template <typename StandardMutex>
class CAPABILITY("mutex") ExclusiveMutex {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }

private:
    StandardMutex m_mutex;
};

using Mutex = ExclusiveMutex<std::mutex>;
// A Windows critical section: the owning thread may enter it again.
using RecursiveMutex = ExclusiveMutex<std::recursive_mutex>;

// A lock for sections of a few dozen instructions that many threads take often: a waiter spins
// (and yields after a while) rather than sleeps, since waking a sleeper costs far more than the
// section it waited for.
class CAPABILITY("mutex") SpinLock {
public:
    void lock() ACQUIRE() {
        for (unsigned spins = 0; m_busy.exchange(true, std::memory_order_acquire);) {
            while (m_busy.load(std::memory_order_relaxed)) {
                if (++spins > 64) {
                    std::this_thread::yield();
                }
            }
        }
    }
    void unlock() RELEASE() { m_busy.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_busy{false};
};

// std::shared_mutex: readers share it, a writer holds it alone.
class CAPABILITY("shared mutex") SharedMutex {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { m_mutex.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_mutex.unlock_shared(); }

private:
    std::shared_mutex m_mutex;
};

// A reader-writer lock for data that many threads read at once and few change: each thread reads
// under a shard of its own, so that readers on different threads do not bounce one lock word
// between their caches; a writer takes every shard. A thread may take it shared again while it
// holds it: only its first hold takes the shard (a standard shared mutex taken twice by one
// thread may wait for a writer that waits for that very thread).
//
// Writers go first: while one waits, a thread that holds no shared lock waits before it reads,
// so that a stream of overlapping readers cannot keep a writer out for good (the standard shared
// mutex may let new readers in as long as any reader holds it). A thread that already reads is
// let in at once, since the writer may be waiting for that very thread.
class CAPABILITY("shared mutex") ReadMostlyMutex {
public:
    void lock() ACQUIRE() {
        m_writers.fetch_add(1);
        for (Padded& shard : m_shards) {
            shard.mutex.lock();
        }
    }
    void unlock() RELEASE() {
        for (auto it = m_shards.rbegin(); it != m_shards.rend(); ++it) {
            it->mutex.unlock();
        }
        if (m_writers.fetch_sub(1) == 1) {
            m_writers.notify_all();
        }
    }
    void lock_shared() const ACQUIRE_SHARED() {
        Reader& reader = ThisReader();
        if (reader.used == 0) {
            for (int writers = m_writers.load(); writers != 0; writers = m_writers.load()) {
                m_writers.wait(writers);
            }
        }
        Hold* const held = reader.Find(this);
        if (held != nullptr) {
            ++held->times;
            return;
        }
        if (reader.used == reader.holds.size()) {
            throw std::length_error("a thread holds too many read-mostly mutexes at once");
        }
        m_shards[reader.Shard()].mutex.lock_shared();
        reader.holds[reader.used++] = {this, 1};
    }
    void unlock_shared() const RELEASE_SHARED() {
        Reader& reader = ThisReader();
        Hold* const held = reader.Find(this);
        if (--held->times == 0) {
            m_shards[reader.Shard()].mutex.unlock_shared();
            *held = reader.holds[--reader.used];
        }
    }

    // Whether a writer waits for the lock or holds it.
    bool HasWriters() const noexcept { return m_writers.load() != 0; }

private:
    static constexpr size_t kShards = 8;
    struct alignas(64) Padded {
        std::shared_mutex mutex;
    };
    // A thread's side of every read-mostly mutex: the shard it reads through, and the mutexes it
    // holds shared with how many times. Plain data, so that finding it is one thread-local
    // access (in a shared library each is a call) with nothing to construct or destroy.
    struct Hold {
        const ReadMostlyMutex* mutex;
        uint32_t times;
    };
    struct Reader {
        static constexpr size_t kUnassigned = kShards;
        size_t shard = kUnassigned;
        size_t used = 0;
        std::array<Hold, 8> holds{};

        size_t Shard() noexcept {
            static constinit std::atomic<size_t> next{0};
            if (shard == kUnassigned) {
                shard = next.fetch_add(1, std::memory_order_relaxed) % kShards;
            }
            return shard;
        }
        Hold* Find(const ReadMostlyMutex* mutex) noexcept {
            for (size_t i = 0; i < used; ++i) {
                if (holds[i].mutex == mutex) {
                    return &holds[i];
                }
            }
            return nullptr;
        }
    };
    static Reader& ThisReader() noexcept {
        static constinit thread_local Reader reader;
        Reader* address = &reader;
#if defined(__GNUC__)
        // GCC may look a thread-local's address up again at each use of it (in a shared library,
        // a call each time) rather than keep it; an address it cannot see through is kept.
        asm("" : "+r"(address));
#endif
        return *address;
    }

    mutable std::array<Padded, kShards> m_shards;
    // Writers waiting for the shards or holding them.
    mutable std::atomic<int> m_writers{0};
};

// Holds a mutex exclusively for its scope.
template <typename M>
class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(M& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~LockGuard() RELEASE() { m_mutex.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    M& m_mutex;
};

// Holds a shared mutex shared for its scope.
template <typename M>
class SCOPED_CAPABILITY SharedLockGuard {
public:
    explicit SharedLockGuard(M& mutex) ACQUIRE_SHARED(mutex) : m_mutex(mutex) {
        m_mutex.lock_shared();
    }
    ~SharedLockGuard() RELEASE() { m_mutex.unlock_shared(); }
    SharedLockGuard(const SharedLockGuard&) = delete;
    SharedLockGuard& operator=(const SharedLockGuard&) = delete;

private:
    M& m_mutex;
};

// Holds a mutex exclusively for its scope, and lets go of it meanwhile where told to: the lock of
// std::condition_variable_any, or a scope that calls out without the lock.
template <typename M>
class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(M& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~UniqueLock() RELEASE() {
        if (m_owned) {
            m_mutex.unlock();
        }
    }
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() ACQUIRE() {
        m_mutex.lock();
        m_owned = true;
    }
    void unlock() RELEASE() {
        m_owned = false;
        m_mutex.unlock();
    }

private:
    M& m_mutex;
    bool m_owned = true;
};

} // namespace Base
