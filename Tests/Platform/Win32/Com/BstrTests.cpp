#include "Platform.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Bstr, HasLengthPrefixInBytesAndTrailingNul) {
    BSTR text = SysAllocString(L"abc");
    ASSERT_NE(text, nullptr);
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(text) - sizeof(prefix),
                sizeof(prefix));
    EXPECT_EQ(prefix, 3 * sizeof(OLECHAR));
    EXPECT_EQ(text[3], L'\0');
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(SysStringByteLen(text), 3 * sizeof(OLECHAR));
    SysFreeString(text);
}

TEST(Bstr, KeepsEmbeddedNulsOfCountedStrings) {
    const OLECHAR source[] = {L'a', L'\0', L'b'};
    BSTR text = SysAllocStringLen(source, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(text[2], L'b');
    EXPECT_EQ(text[3], L'\0');
    SysFreeString(text);
}

TEST(Bstr, NullInputs) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    // A counted string from null is zero-filled.
    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 4u);
    for (int i = 0; i <= 4; ++i) {
        EXPECT_EQ(blank[i], L'\0');
    }
    SysFreeString(blank);
    BSTR empty = SysAllocString(L"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
}

TEST(Bstr, RefusesLengthsBeyondThePrefix) {
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}
