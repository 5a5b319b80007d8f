#include "Base/ThreadObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kText(100, 't'); // on the heap, as a thread's buffers are

std::atomic<int> g_made{0};
std::atomic<int> g_earlierEndedWhole{0};
std::atomic<int> g_laterEndedWhole{0};

// Made first on each thread, so destroyed after Later.
struct Earlier {
    std::string text = kText;
    bool laterEnded = false;
    ~Earlier() { g_earlierEndedWhole += text == kText && laterEnded ? 1 : 0; }
};

struct Later {
    std::string text = kText;
    Earlier* earlier = Base::ThreadObject<Earlier>();
    ~Later() {
        const bool whole = text == kText && earlier != nullptr && earlier->text == kText &&
                           Base::ThreadObject<Later>() == nullptr;
        g_laterEndedWhole += whole ? 1 : 0;
        if (earlier != nullptr) {
            earlier->laterEnded = true;
        }
    }
};

} // namespace

// Threads that end while others allocate: each thread's objects are made once, and destroyed whole
// as it ends, the later first, while the earlier is still intact. An object asked for in its own
// destructor is gone.
TEST(ThreadObject, EachThreadsObjectsEndWholeWithTheThreadInReverseOrder) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([] {
                Earlier* const earlier = Base::ThreadObject<Earlier>();
                Later* const later = Base::ThreadObject<Later>();
                std::vector<std::string> churn(50, kText); // other threads reuse what is freed
                g_made += earlier != nullptr && later != nullptr && later->earlier == earlier &&
                                  Base::ThreadObject<Later>() == later
                              ? 1
                              : 0;
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    EXPECT_EQ(g_made, kThreads * kRounds);
    EXPECT_EQ(g_laterEndedWhole, kThreads * kRounds);
    EXPECT_EQ(g_earlierEndedWhole, kThreads * kRounds);
}
