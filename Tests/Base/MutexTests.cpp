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
