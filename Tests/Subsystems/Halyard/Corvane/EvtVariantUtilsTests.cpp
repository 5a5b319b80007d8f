#include "Halyard/Corvane/EvtVariantUtils.h"

#include "EventLogTestSupport.h"
#include "Support/ScopedTimeZone.h"

#include <ctime>

using namespace EventLogTesting;
using namespace Halyard;
using namespace std::chrono;

namespace {

EVT_VARIANT Variant(DWORD type, uint64_t bits = 0) {
    EVT_VARIANT variant{};
    variant.UInt64Val = bits;
    variant.Type = type;
    return variant;
}

// A binary SID: revision 1, the 48-bit identifier authority, the sub-authorities.
std::vector<uint8_t> Sid(uint64_t authority, std::vector<uint32_t> subAuthorities) {
    std::vector<uint8_t> bytes = {1, static_cast<uint8_t>(subAuthorities.size())};
    for (int shift = 40; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<uint8_t>(authority >> shift));
    }
    for (const uint32_t sub : subAuthorities) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<uint8_t>(sub >> shift));
        }
    }
    return bytes;
}

// 100-ns intervals from 1601-01-01 to a UTC time.
uint64_t FileTimeOf(sys_time<milliseconds> time) {
    constexpr uint64_t UnixEpoch = 116444736000000000ull;
    return UnixEpoch + static_cast<uint64_t>(time.time_since_epoch().count()) * 10000;
}

} // namespace

// Null and unexpected types give empty values; only the unexpected type of a number or text is
// logged, at ERR, and Null is traced at DBG3.
TEST(EvtVariantUtils, NullAndOtherTypesGiveEmptyValues) {
    const LogCapture log("DBG3");
    EXPECT_EQ(GetVariantValue<uint64_t>(Variant(EvtVarTypeNull)), 0u);
    EXPECT_EQ(GetVariantValue<std::wstring_view>(Variant(EvtVarTypeNull)), L"");
    EXPECT_EQ(GetVariantValue<PSID>(Variant(EvtVarTypeNull)), nullptr);
    EXPECT_EQ(log.Count(L"Attribute at null"), 3u);
    EXPECT_EQ(log.Count(L"Value at null"), 3u);

    const LogCapture errors("ERR");
    EVT_VARIANT text = Variant(EvtVarTypeString);
    text.StringVal = L"Application";
    EXPECT_EQ(GetIntegerValue(text), 0u);
    EXPECT_EQ(GetStringValue(text), L"Application");
    EXPECT_EQ(GetStringValue(Variant(EvtVarTypeUInt32, 7)), L"");
    EXPECT_EQ(GetSidValue(Variant(EvtVarTypeUInt32, 7)), nullptr);
    EXPECT_EQ(errors.Texts(), (std::vector<std::wstring>{L"Unknown event attribute type: 1",
                                                         L"Unknown event attribute type: 8"}));
}

TEST(EvtVariantUtils, SidTextsInTheStandardForm) {
    std::vector<uint8_t> unmapped = Sid(5, {21, 1111111111, 2222222222, 3333333333, 4444});
    EXPECT_EQ(FormatSidText(unmapped.data()), UnmappedSid);
    std::vector<uint8_t> everyone = Sid(1, {0});
    EXPECT_EQ(FormatSidText(everyone.data()), L"S-1-1-0");
    // An identifier authority beyond 32 bits is written in hexadecimal.
    std::vector<uint8_t> large = Sid(0x123456789ABC, {7});
    EXPECT_EQ(FormatSidText(large.data()), L"S-1-0x123456789ABC-7");
    std::vector<uint8_t> none = Sid(16, {});
    EXPECT_EQ(FormatSidText(none.data()), L"S-1-16");
}

TEST(EvtVariantUtils, TimeTextsAreUtcWhateverTheTimeZone) {
    // The time texts must not depend on the local zone.
    const ScopedTimeZone zone("Pacific/Kiritimati"); // UTC+14
    const auto leapEvening = sys_days{2024y / February / 29} + 23h + 59min + 59s + 999ms;
    EXPECT_EQ(GetTimestampText(FileTimeOf(leapEvening)).View(), L"2024-02-29T23:59:59Z");
    EXPECT_EQ(GetTimestampText(FileTimeOf(sys_days{1601y / January / 1})).View(),
              L"1601-01-01T00:00:00Z");
    // A year of five digits takes as many as it needs.
    EXPECT_EQ(GetTimestampText(FileTimeOf(sys_days{10000y / January / 2})).View(),
              L"10000-01-02T00:00:00Z");
    EXPECT_EQ(FormatUtcTime(leapEvening), L"2024-02-29T23:59:59Z");
    EXPECT_EQ(ParseUtcTime(L"2024-02-29T23:59:59Z"), floor<seconds>(leapEvening));
    EXPECT_EQ(FormatUtcTime(ParseUtcTime(L"2024-02-29T23:59:59Z")), L"2024-02-29T23:59:59Z");
    EXPECT_EQ(FormatUtcTime(ParseUtcTime(L"1969-12-31T23:59:59Z")), L"1969-12-31T23:59:59Z");
    // Fields out of range carry over as the inverse of gmtime does.
    EXPECT_EQ(FormatUtcTime(ParseUtcTime(L"2023-13-32T24:00:00Z")), L"2024-02-02T00:00:00Z");
    EXPECT_EQ(ThrownCode([] { GetTimestampText(0x8000000000000000ull); }),
              HresultFromWin32(ERROR_INVALID_PARAMETER));
}
