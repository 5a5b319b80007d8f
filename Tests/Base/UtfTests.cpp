#include "Base/Utf.h"

#include <gtest/gtest.h>

using namespace Base;

namespace {
const std::wstring kFffd(1, static_cast<wchar_t>(0xFFFD));
}

TEST(Utf, WellFormedTextRoundTripsThroughEveryEncoding) {
    // ASCII, two-, three- and four-byte UTF-8.
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::wstring wide = WideFromUtf8(utf8);
    EXPECT_EQ(wide, std::wstring(L"a\u00E9\u20AC") +
                        std::wstring(Converted<wchar_t>(std::u32string_view(U"\U0001F600"))));
    EXPECT_EQ(Utf8FromWide(wide), utf8);
    const std::u16string utf16 = Converted<char16_t>(std::wstring_view(wide));
    EXPECT_EQ(utf16, u"a\u00E9\u20AC\U0001F600");
    EXPECT_EQ(Converted<char>(std::u16string_view(utf16)), utf8);
    EXPECT_EQ(Utf16Length(wide), 5u);

    std::string bytes;
    AppendUtf16Le(bytes, wide);
    EXPECT_EQ(bytes, std::string("a\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE", 10));
    EXPECT_EQ(WideFromUtf16Le(bytes + "x"), wide) << "a last odd byte is not read";
}

TEST(Utf, EachMaximalIllFormedUtf8PieceBecomesOneReplacement) {
    struct Case {
        const char* input;
        std::wstring expected;
    };
    const Case cases[] = {
        {"\x80z", kFffd + L"z"},                             // a lone continuation byte
        {"\xC0\x80", kFffd + kFffd},                         // overlong: C0 starts nothing
        {"\xE0\x80\x80", kFffd + kFffd + kFffd},             // overlong three-byte form
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},             // an encoded surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd}, // above U+10FFFF
        {"\xE2\x82z", kFffd + L"z"}, // cut short: the piece, then the next byte
        {"\xF0\x9F\x98", kFffd},     // cut short at the end
        {"\xFF", kFffd},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WideFromUtf8(c.input), c.expected) << c.input;
    }
}

TEST(Utf, LoneSurrogatesAndNonScalarValuesBecomeReplacements) {
    const std::u16string loneHigh = {u'a', 0xD800, u'b'};
    const std::u16string loneLow = {0xDC00};
    EXPECT_EQ(Converted<char>(std::u16string_view(loneHigh)), "a\xEF\xBF\xBD"
                                                              "b");
    EXPECT_EQ(Converted<char>(std::u16string_view(loneLow)), "\xEF\xBF\xBD");
    const std::u32string invalid = {0x110000, 0xDFFF};
    EXPECT_EQ(Converted<char16_t>(std::u32string_view(invalid)), std::u16string(2, 0xFFFD));
}
