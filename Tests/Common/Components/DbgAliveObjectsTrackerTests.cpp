#include "Components/DbgAliveObjectsTracker.h"

#include "Common/Logging/LogTestSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <sstream>

namespace {

volatile int g_afterCalls = 0;

// Adds the object to both trackers from one frame. The store after the calls keeps them from
// being tail calls, so that this frame is on the stack during both.
NOINLINE void AddToBoth(DbgAliveObjectsTracker& first, DbgAliveObjectsTracker& second,
                        const void* object) {
    first.Add(object, "both");
    second.Add(object, "both");
    g_afterCalls = g_afterCalls + 1;
}

std::wstring PointerText(const void* pointer) {
    std::wostringstream stream;
    stream << pointer;
    return stream.str();
}

// The four addresses of an entry line's "EIPs=" text; empty when the text is malformed.
std::vector<unsigned long long> Frames(const std::wstring& line) {
    std::vector<unsigned long long> frames(4);
    const size_t at = line.find(L" EIPs=");
    if (at == std::wstring::npos || line.size() - at != 6 + 4 * 18 + 3 ||
        std::swscanf(line.c_str() + at, L" EIPs=0x%16llx;0x%16llx;0x%16llx;0x%16llx", &frames[0],
                     &frames[1], &frames[2], &frames[3]) != 4) {
        return {};
    }
    return frames;
}

} // namespace

// The count line, then one line per live object in address order, with the return addresses of
// the frames that added it.
TEST(DbgAliveObjectsTracker, DumpListsTheLiveObjectsInAddressOrder) {
    LogCapture log("WARN");
    DbgAliveObjectsTracker tracker(true, 0);
    int objects[3] = {};
    tracker.Add(&objects[2], "last");
    tracker.Add(&objects[0], "first");
    tracker.Add(&objects[1], "middle");
    tracker.Add(&objects[2], "last again"); // replaces the entry of the address
    tracker.Remove(&objects[1]);
    tracker.Remove(&objects[1]);
    EXPECT_EQ(tracker.Count(), 2u);
    tracker.Dump();
    const std::vector<std::wstring> texts = log.Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], L"Alive component objects: 2");
    EXPECT_TRUE(texts[1].starts_with(L"ObjTag='first' Ptr=" + PointerText(&objects[0]) + L" EIPs="))
        << texts[1];
    EXPECT_TRUE(
        texts[2].starts_with(L"ObjTag='last again' Ptr=" + PointerText(&objects[2]) + L" EIPs="))
        << texts[2];
    for (size_t i = 1; i < texts.size(); ++i) {
        const auto frames = Frames(texts[i]);
        ASSERT_EQ(frames.size(), 4u) << texts[i];
        EXPECT_NE(frames[0], 0u) << texts[i];
    }

    // Everything released: nothing is written, not even the count.
    tracker.Remove(&objects[0]);
    tracker.Remove(&objects[2]);
    tracker.Dump();
    EXPECT_EQ(log.Texts().size(), 3u);
}

// The frames start at the caller of Add; frames to skip moves the start further out.
TEST(DbgAliveObjectsTracker, FramesToSkipStartsTheCaptureFurtherOut) {
    LogCapture log("WARN");
    DbgAliveObjectsTracker direct(true, 0);
    DbgAliveObjectsTracker skipping(true, 1);
    int object = 0;
    AddToBoth(direct, skipping, &object);
    direct.Dump();
    skipping.Dump();
    const std::vector<std::wstring> texts = log.Texts();
    ASSERT_EQ(texts.size(), 4u);
    const auto frames = Frames(texts[1]);
    const auto skipped = Frames(texts[3]);
    ASSERT_EQ(frames.size(), 4u) << texts[1];
    ASSERT_EQ(skipped.size(), 4u) << texts[3];
    EXPECT_EQ(std::vector(skipped.begin(), skipped.end() - 1),
              std::vector(frames.begin() + 1, frames.end()));
}

// Switched off, nothing is recorded; below WARN, objects are recorded and nothing is written.
TEST(DbgAliveObjectsTracker, SwitchedOffOrBelowWarnNothingIsWritten) {
    LogCapture log("ERR");
    DbgAliveObjectsTracker off(false, 0);
    DbgAliveObjectsTracker on(true, 0);
    int object = 0;
    off.Add(&object, "tag");
    on.Add(&object, "tag");
    EXPECT_EQ(off.Count(), 0u);
    EXPECT_EQ(on.Count(), 1u);
    SetLoggerSetting("MaxSeverity", "DBG");
    off.Dump();
    SetLoggerSetting("MaxSeverity", "ERR");
    on.Dump();
    EXPECT_TRUE(log.Lines().empty());
}
