#include "Base/Utf.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

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

// Runs of units that mean the same in both encodings are copied in bulk; the text around and
// between them must come out as the codec makes it one code point at a time.
TEST(Utf, BulkRunsConvertAsTheCodecDoesOnePointAtATime) {
    // Units of every kind in runs of every length up to a few: ASCII, other basic-plane values
    // below and above the surrogates, lone and paired surrogates, values beyond Unicode, and
    // UTF-8 bytes that start, continue or end nothing.
    const uint32_t points[] = {'a', 0x7F, 0x80, 0xE9, 0x20AC, 0xD7FF, 0xD800, 0xDC00,
                               0xE000, 0xFFFF, 0x1F600, 0x110000};
    const char bytes[] = {'a', '\x7F', '\x80', '\xC3', '\xA9', '\xE2', '\x82', '\xF0', '\xFF'};
    std::u32string utf32;
    std::u16string utf16; // raw units: lone surrogates too
    std::string utf8;
    uint32_t state = 12345;
    for (int i = 0; i < 4000; ++i) {
        state = state * 1103515245 + 12345;
        const uint32_t run = 1 + (state >> 16) % 5;
        for (uint32_t k = 0; k < run; ++k) {
            const uint32_t point = points[(state >> 8) % std::size(points)];
            utf32.push_back(static_cast<char32_t>(point));
            utf16.push_back(static_cast<char16_t>(point & 0xFFFF));
            utf8.push_back(bytes[(state >> 4) % std::size(bytes)]);
        }
        utf32.append(1 + (state >> 20) % 40, U'x'); // an ASCII run
        utf16.append(1 + (state >> 19) % 40, u'w');
        utf8.append(1 + (state >> 21) % 40, 'y');
    }

    auto oneAtATime = [](auto out, auto text) {
        for (size_t i = 0; i < text.size();) {
            AppendEncoded(out, DecodeNext(text, i));
        }
        return out;
    };
    const std::u32string_view from32(utf32);
    const std::u16string_view from16(utf16);
    const std::string_view from8(utf8);
    EXPECT_EQ(Converted<char16_t>(from32), oneAtATime(std::u16string(), from32));
    EXPECT_EQ(Converted<char>(from32), oneAtATime(std::string(), from32));
    EXPECT_EQ(Converted<char32_t>(from16), oneAtATime(std::u32string(), from16));
    EXPECT_EQ(Converted<char>(from16), oneAtATime(std::string(), from16));
    EXPECT_EQ(Converted<char32_t>(from8), oneAtATime(std::u32string(), from8));
    EXPECT_EQ(Converted<char16_t>(from8), oneAtATime(std::u16string(), from8));

    // The UTF-16LE writer: each unit of the reference as two bytes, low first.
    const std::wstring wide = Converted<wchar_t>(from32);
    std::string le;
    AppendUtf16Le(le, wide);
    const std::u16string units = oneAtATime(std::u16string(), std::wstring_view(wide));
    ASSERT_EQ(le.size(), units.size() * 2);
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_EQ(static_cast<unsigned char>(le[2 * i]), units[i] & 0xFF) << i;
        ASSERT_EQ(static_cast<unsigned char>(le[2 * i + 1]), units[i] >> 8) << i;
    }
}
