#include "Base/XmlEscape.h"

#include <gtest/gtest.h>

using namespace Base;

TEST(XmlEscape, EachSetEscapesWhatItNames) {
    const std::wstring_view text = L"a&b<c>d'e\"f\tg";
    EXPECT_EQ(XmlEscaped(text, kEscapeMarkup), L"a&amp;b&lt;c&gt;d'e\"f\tg");
    EXPECT_EQ(XmlEscaped(text, kEscapeMarkupAndApostrophe), L"a&amp;b&lt;c&gt;d&apos;e\"f\tg");
    EXPECT_EQ(XmlEscaped(text, XmlEscapes{.quote = true, .lineControls = true}),
              L"a&amp;b&lt;c&gt;d'e&quot;f&#x9;g");
}

TEST(XmlEscape, ControlCharactersAsReferencesAndUtf8LeftAlone) {
    const std::string text = "\x01\x1F\n\xC3\xA9";
    EXPECT_EQ(XmlEscaped(std::string_view(text), XmlEscapes{.controls = true}),
              "&#x1;&#x1F;\n\xC3\xA9");
}
