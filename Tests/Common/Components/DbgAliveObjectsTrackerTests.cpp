#include "Components/DbgAliveObjectsTracker.h"

#include <gtest/gtest.h>

TEST(DbgAliveObjectsTracker, SwitchedOffRecordsNothing) {
    DbgAliveObjectsTracker tracker(false, 0);
    int object = 0;
    tracker.Add(&object, "tag");
    EXPECT_EQ(tracker.Count(), 0u);
    tracker.Dump();
}

TEST(DbgAliveObjectsTracker, RecordsLiveObjectsUntilRemoved) {
    DbgAliveObjectsTracker tracker(true, 0);
    int first = 0;
    int second = 0;
    tracker.Add(&first, "first");
    tracker.Add(&second, "second");
    tracker.Add(&first, "first again"); // one entry per address
    EXPECT_EQ(tracker.Count(), 2u);
    tracker.Dump();
    tracker.Remove(&first);
    tracker.Remove(&first);
    EXPECT_EQ(tracker.Count(), 1u);
    tracker.Remove(&second);
    EXPECT_EQ(tracker.Count(), 0u);
}
