#include "Base/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Takes the lock shared and lets it go, on a thread that reads already (the analysis would call
// the second hold an error).
void ReadAgain(Base::ReadMostlyMutex& mutex) NO_THREAD_SAFETY_ANALYSIS {
    mutex.lock_shared();
    mutex.unlock_shared();
}

} // namespace

// A writer that waits for a reader goes before the readers that come after it, while the thread
// that reads takes the lock again at once (the writer waits for that very thread).
TEST(ReadMostlyMutex, AWaitingWriterGoesBeforeNewReaders) {
    Base::ReadMostlyMutex mutex;
    std::atomic<bool> written{false};
    mutex.lock_shared();
    std::thread writer([&] {
        mutex.lock();
        written = true;
        mutex.unlock();
    });
    while (!mutex.HasWriters()) {
        std::this_thread::yield();
    }
    ReadAgain(mutex);

    std::atomic<bool> writtenBeforeRead{false};
    std::thread reader([&] {
        mutex.lock_shared();
        writtenBeforeRead = written.load();
        mutex.unlock_shared();
    });
    // The reader's chance to slip in ahead of the writer, were it let.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(written);
    mutex.unlock_shared();
    writer.join();
    reader.join();
    EXPECT_TRUE(writtenBeforeRead);
    EXPECT_FALSE(mutex.HasWriters());
}

namespace {

// One thread holds two of them, each twice, and lets go out of order: a writer of each gets in
// once that one's last hold is gone, and not before.
void HoldSeveralAndLetGoOutOfOrder() NO_THREAD_SAFETY_ANALYSIS {
    Base::ReadMostlyMutex first;
    Base::ReadMostlyMutex second;
    ReadAgain(first); // a hold that ends before the others begin
    for (Base::ReadMostlyMutex* mutex : {&first, &second, &first, &second}) {
        mutex->lock_shared();
    }
    first.unlock_shared();
    for (Base::ReadMostlyMutex* mutex : {&first, &second}) {
        std::atomic<bool> written{false};
        std::thread writer([&] {
            mutex->lock();
            written = true;
            mutex->unlock();
        });
        while (!mutex->HasWriters()) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(written);
        for (int hold = mutex == &first ? 1 : 2; hold > 0; --hold) {
            ReadAgain(*mutex); // held still, so taken again at once
            mutex->unlock_shared();
        }
        writer.join();
        EXPECT_TRUE(written);
    }
}

} // namespace

TEST(ReadMostlyMutex, HoldsOfSeveralMutexesAreCountedApart) {
    HoldSeveralAndLetGoOutOfOrder();
}
