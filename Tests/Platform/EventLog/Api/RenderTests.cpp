#include "PalEventLog/Api/Render.h"
#include "Platform/EventLog/TestStore.h"

#include "Win32/WinError.h"

#include <gtest/gtest.h>

using namespace PalEventLog;

namespace {

TEST(ExpandMessage, InsertsEscapesAndParameters) {
    std::map<uint32_t, std::wstring> parameters{{1842, L"Success"}};
    std::wstring out;
    EXPECT_EQ(ExpandMessage(L"%1 took %2 ms (100%%), %%1842.%n", {L"Job", L"12"}, &parameters, out),
              ERROR_SUCCESS);
    EXPECT_EQ(out, L"Job took 12 ms (100%), Success.\r\n");
    EXPECT_EQ(ExpandMessage(L"%1!s! and %10", {L"a"}, nullptr, out),
              ERROR_EVT_UNRESOLVED_VALUE_INSERT);
    EXPECT_EQ(out, L"a and %10");
    EXPECT_EQ(ExpandMessage(L"x %%77 y", {}, &parameters, out),
              ERROR_EVT_UNRESOLVED_PARAMETER_INSERT);
    EXPECT_EQ(out, L"x %%77 y");
    EXPECT_EQ(ExpandMessage(L"stop%0here", {}, nullptr, out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"stop");
}

TEST(Text, SystemTimesRoundTrip) {
    auto t = ParseSystemTime(L"2021-08-10T19:10:29.6315023Z");
    ASSERT_TRUE(t);
    EXPECT_EQ(FormatSystemTime(*t), L"2021-08-10T19:10:29.6315023Z");
    EXPECT_EQ(*ParseSystemTime(L"1601-01-01T00:00:00Z"), 0u);
    EXPECT_EQ(*ParseSystemTime(L"1970-01-01T00:00:00.000Z"), 116444736000000000ull);
    EXPECT_FALSE(ParseSystemTime(L"2021-08-10T19:10:29"));  // no Z
    EXPECT_FALSE(ParseSystemTime(L"2021-13-10T19:10:29Z")); // month
    EXPECT_FALSE(ParseSystemTime(L"2021-08-10 19:10:29Z"));
}

TEST(Text, GuidsAndSids) {
    auto g = ParseGuid(L"{54849625-5478-4994-a5ba-3e3b0328c30d}");
    ASSERT_TRUE(g);
    EXPECT_EQ(FormatGuid(*g), L"{54849625-5478-4994-A5BA-3E3B0328C30D}");
    EXPECT_FALSE(ParseGuid(L"{54849625-5478-4994-a5ba-3e3b0328c30}"));
    auto sid = ParseSid(L"S-1-5-21-1-2-3-500");
    EXPECT_EQ(sid, (std::vector<uint8_t>{1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 1, 0,
                                         0, 0, 2, 0, 0, 0, 3, 0, 0,  0, 0xF4, 1, 0, 0}));
    EXPECT_FALSE(ParseSid(L"S-1-5-x"));
    EXPECT_FALSE(ParseSid(L"X-1-5"));
}

TEST(EventXml, PrintsTheWindowsForm) {
    auto store = Testing::StoreOf(
        Testing::EventXml("Application", 7, 1000, 4, "Src", "2024-01-01T00:00:00.0000000Z",
                          "<Data Name='a'>x &lt; y</Data><Data>q'uote</Data>"));
    Store::ReadLock lock(*store);
    const Channel& channel = *store->FindChannel(L"Application");
    const std::wstring xml = EventXml(*store, channel, channel.events[0]);
    EXPECT_EQ(xml, L"<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                   L"<Provider Name='Src'/><EventID Qualifiers='0'>1000</EventID><Level>4</Level>"
                   L"<Task>0</Task><Keywords>0x80000000000000</Keywords>"
                   L"<TimeCreated SystemTime='2024-01-01T00:00:00.0000000Z'/>"
                   L"<EventRecordID>7</EventRecordID><Channel>Application</Channel>"
                   L"<Computer>host1</Computer></System><EventData><Data Name='a'>x &lt; y</Data>"
                   L"<Data>q&apos;uote</Data></EventData></Event>");
}

// An event whose only value is empty, in a channel that holds no text at all: the value renders
// as an empty string inside the buffer (its text has no storage to copy from).
TEST(RenderUser, AnEmptyValueOfAChannelWithoutTextsIsAnEmptyString) {
    auto store = Testing::StoreOf(
        Testing::EventXml("Application", 1, 1, 4, "Src", "2024-01-01T00:00:00Z", "<Data/>"));
    Store::ReadLock lock(*store);
    const Channel& channel = *store->FindChannel(L"Application");
    ASSERT_TRUE(channel.text.empty());
    DWORD count = 0;
    std::vector<uint8_t> buffer(RenderUser(*store, channel, channel.events[0], nullptr, 0, count));
    ASSERT_EQ(RenderUser(*store, channel, channel.events[0], buffer.data(), buffer.size(), count),
              buffer.size());
    ASSERT_EQ(count, 1u);
    const auto& value = *reinterpret_cast<const EVT_VARIANT*>(buffer.data());
    EXPECT_EQ(value.Type, static_cast<DWORD>(EvtVarTypeString));
    EXPECT_EQ(std::wstring(value.StringVal), L"");
}

} // namespace
