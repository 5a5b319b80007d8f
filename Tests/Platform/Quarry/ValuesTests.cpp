// Attribute storage, size protocols, validation and conversions of the node library.
#include "QuarryTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace QuarryTest;

namespace {

class QuarryAttributes : public ::testing::Test {
protected:
    Node m_node = Create(u"n", u"t");
};

TEST_F(QuarryAttributes, StringOf127CharactersFitsTheFirstBufferAnd128NeedsASecondCall) {
    for (const size_t length : {size_t{127}, size_t{128}}) {
        const std::u16string value(length, u'x');
        ASSERT_EQ(SetString(m_node.get(), u"s", value), kOk);
        char16_t buffer[128];
        uint32_t size = sizeof buffer;
        const uint16_t type = EKN_TYPE_STRING;
        const EKN_HRESULT hr = EknGetAttribute(m_node.get(), u"s", &type, buffer, &size, nullptr);
        EXPECT_EQ(size, (length + 1) * 2);
        if (length == 127) {
            EXPECT_EQ(hr, kOk);
            EXPECT_EQ(std::u16string(buffer, size / 2 - 1), value);
        } else {
            EXPECT_EQ(hr, kInsufficient);
            EXPECT_EQ(ReadString(m_node.get(), u"s"), value);
        }
    }
}

TEST_F(QuarryAttributes, NamesAndTypesReportTheirSizeWhenTheBufferIsShort) {
    Node named = Create(u"abcdef", u"xyz");
    char16_t buffer[8];
    uint32_t size = 3;
    EXPECT_EQ(EknGetNodeName(named.get(), EKN_NAME_PLAIN, buffer, &size), kInsufficient);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(EknGetNodeName(named.get(), EKN_NAME_PLAIN, buffer, &size), kOk);
    EXPECT_EQ(std::u16string(buffer), u"abcdef");
    size = 0;
    EXPECT_EQ(EknGetNodeType(named.get(), nullptr, &size), kInsufficient);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(EknGetNodeType(named.get(), buffer, &size), kOk);
    EXPECT_EQ(std::u16string(buffer), u"xyz");
}

TEST_F(QuarryAttributes, NamesListIsNulSeparatedInFirstSettingOrder) {
    char16_t buffer[16];
    uint32_t size = 16;
    ASSERT_EQ(EknGetAttributeNames(m_node.get(), buffer, &size), kOk);
    EXPECT_EQ(size, 1u); // no attributes: the final NUL only
    SetValue(m_node.get(), u"b", EKN_TYPE_INT32, int32_t{1});
    SetValue(m_node.get(), u"a", EKN_TYPE_INT32, int32_t{1});
    SetString(m_node.get(), u"b", u"replaced"); // keeps its place
    // An empty name would read as the end of the list: refused.
    EXPECT_EQ(SetValue(m_node.get(), u"", EKN_TYPE_INT32, int32_t{1}), kInvalidArg);
    size = 16;
    ASSERT_EQ(EknGetAttributeNames(m_node.get(), buffer, &size), kOk);
    EXPECT_EQ(std::u16string(buffer, size), std::u16string(u"b\0a\0\0", 5));
    uint16_t stored = 0;
    EknGetAttribute(m_node.get(), u"b", nullptr, nullptr, nullptr, &stored);
    EXPECT_EQ(stored, EKN_TYPE_STRING);
}

// Values replaced many times by longer, shorter and differently typed ones: every attribute keeps
// its value and its place, in the node and in a clone, while replaced bytes are reclaimed.
TEST_F(QuarryAttributes, ReplacedValuesLeaveEveryOtherAttributeIntact) {
    std::vector<std::u16string> names;
    std::vector<std::u16string> values;
    for (int i = 0; i < 20; ++i) {
        names.push_back(u"attr" + std::u16string(1, static_cast<char16_t>(u'a' + i)));
        values.push_back(std::u16string(static_cast<size_t>(i), u'v'));
        ASSERT_EQ(SetString(m_node.get(), names.back().c_str(), values.back()), kOk);
    }
    for (int round = 0; round < 400; ++round) {
        const size_t i = static_cast<size_t>(round * 7 % 20);
        values[i] = std::u16string(static_cast<size_t>(round % 5 == 0 ? 300 + round : round % 9),
                                   static_cast<char16_t>(u'A' + round % 26));
        if (round % 11 == 0) {
            ASSERT_EQ(SetValue(m_node.get(), names[i].c_str(), EKN_TYPE_INT64, int64_t{round}),
                      kOk);
        }
        ASSERT_EQ(SetString(m_node.get(), names[i].c_str(), values[i]), kOk);
    }
    Node copy;
    ASSERT_EQ(EknCloneNode(m_node.get(), 0, 0, copy.out()), kOk);
    for (void* node : {m_node.get(), copy.get()}) {
        std::u16string expectedNames;
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(ReadString(node, names[i].c_str()), values[i]) << i;
            expectedNames += names[i] + u'\0';
        }
        char16_t buffer[256];
        uint32_t size = 256;
        ASSERT_EQ(EknGetAttributeNames(node, buffer, &size), kOk);
        EXPECT_EQ(std::u16string(buffer, size - 1), expectedNames);
    }
}

TEST_F(QuarryAttributes, ListsAndArraysUseTheVariableSizeProtocol) {
    const char16_t image[] = {u'a', 0, 0, u'b', 0};
    ASSERT_EQ(EknSetAttribute(m_node.get(), u"l", EKN_TYPE_STRING_LIST, image, sizeof image), kOk);
    EXPECT_EQ(ReadList(m_node.get(), u"l"), (std::vector<std::u16string>{u"a", u"", u"b"}));

    ASSERT_EQ(EknSetAttribute(m_node.get(), u"empty", EKN_TYPE_STRING_LIST, nullptr, 0), kOk);
    uint32_t size = 0;
    const uint16_t list = EKN_TYPE_STRING_LIST;
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"empty", &list, nullptr, &size, nullptr), kOk);
    EXPECT_EQ(size, 0u);

    SetArray(m_node.get(), u"a", EKN_TYPE_INT64_ARRAY, std::vector<int64_t>{1, 2, 3});
    const uint16_t array = EKN_TYPE_INT64_ARRAY;
    size = 0;
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"a", &array, nullptr, &size, nullptr), kInsufficient);
    EXPECT_EQ(size, 24u);
    int64_t values[3] = {};
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"a", &array, values, &size, nullptr), kOk);
    EXPECT_EQ(values[2], 3);
}

TEST_F(QuarryAttributes, UnknownTypeCodesKeepTheirBytes) {
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_EQ(EknSetAttribute(m_node.get(), u"x", 0x42, bytes, sizeof bytes), kOk);
    ASSERT_EQ(EknSetAttribute(m_node.get(), u"none", EKN_TYPE_NONE, nullptr, 0), kOk);
    uint8_t out[8] = {};
    uint32_t size = sizeof out;
    uint16_t stored = 0;
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"x", nullptr, out, &size, &stored), kOk);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(stored, 0x42);
    EXPECT_EQ(out[2], 3);
    // Asked only for the stored type: a value of type 0 is there; a missing one is not.
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"none", nullptr, nullptr, nullptr, &stored), kOk);
    EXPECT_EQ(stored, EKN_TYPE_NONE);
    stored = 0x42;
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"missing", nullptr, nullptr, nullptr, &stored),
              kNotFound);
    EXPECT_EQ(stored, EKN_TYPE_NONE);
}

// Each image sits in a heap block of exactly its size, so that a read past it is caught.
TEST_F(QuarryAttributes, MalformedImagesAreRejectedWithoutReadingPastThem) {
    struct Case {
        uint16_t type;
        std::vector<uint8_t> image;
    };
    const std::vector<Case> bad = {
        {EKN_TYPE_STRING, {'a', 0, 0}},            // odd size
        {EKN_TYPE_STRING, {'a', 0, 'b', 0}},       // no terminating NUL
        {EKN_TYPE_STRING, {}},                     // not even the NUL
        {EKN_TYPE_INT32, {1, 2, 3}},               // short
        {EKN_TYPE_UINT32, {1, 2, 3, 4, 5}},        // long
        {EKN_TYPE_INT64, {1, 2, 3, 4}},            // short
        {EKN_TYPE_BOOL, {1, 0}},                   // long
        {EKN_TYPE_BOOL, {2}},                      // neither 0 nor 1
        {EKN_TYPE_GUID, std::vector<uint8_t>(15)}, // short
        {EKN_TYPE_STRING_LIST, {'a', 0, 'b'}},     // odd size
        {EKN_TYPE_STRING_LIST, {'a', 0, 'b', 0}},  // last member not terminated
        {EKN_TYPE_INT32_ARRAY, std::vector<uint8_t>(6)},
        {EKN_TYPE_INT64_ARRAY, std::vector<uint8_t>(12)},
    };
    for (const Case& c : bad) {
        auto exact = std::make_unique<uint8_t[]>(c.image.size());
        std::copy(c.image.begin(), c.image.end(), exact.get());
        const auto size = static_cast<uint32_t>(c.image.size());
        EXPECT_EQ(EknSetAttribute(m_node.get(), u"v", c.type,
                                  c.image.empty() ? nullptr : exact.get(), size),
                  kInvalidArg)
            << "type " << c.type << " size " << size;
    }
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"v", nullptr, nullptr, nullptr, nullptr), kNotFound);
    EXPECT_EQ(EknSetAttribute(m_node.get(), u"v", 0x42, nullptr, 4), kInvalidArg);
    EXPECT_EQ(EknSetAttribute(m_node.get(), u"v", EKN_TYPE_INT32, nullptr, 0), kInvalidArg);
    EXPECT_EQ(EknSetAttribute(m_node.get(), u"v", EKN_TYPE_INT32_ARRAY, nullptr, 0), kOk);
}

TEST_F(QuarryAttributes, NullArgumentsFailWithoutSideEffects) {
    int32_t value = 1;
    uint32_t size = 4;
    EXPECT_EQ(EknSetAttribute(nullptr, u"v", EKN_TYPE_INT32, &value, 4), kInvalidArg);
    EXPECT_EQ(EknSetAttribute(m_node.get(), nullptr, EKN_TYPE_INT32, &value, 4), kInvalidArg);
    EXPECT_EQ(EknGetAttribute(nullptr, u"v", nullptr, &value, &size, nullptr), kInvalidArg);
    EXPECT_EQ(EknGetAttribute(m_node.get(), nullptr, nullptr, &value, &size, nullptr), kInvalidArg);
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"v", nullptr, &value, nullptr, nullptr), kPointer);
    EXPECT_EQ(EknGetNodeName(m_node.get(), EKN_NAME_PLAIN, nullptr, nullptr), kPointer);
    EXPECT_EQ(EknGetAttributeNames(m_node.get(), nullptr, nullptr), kPointer);
}

class QuarryConversions : public QuarryAttributes {};

// The integer in an image of type 3, 4 or 6.
int64_t Decimal(uint16_t type, const std::vector<uint8_t>& bytes) {
    int64_t v = 0;
    std::memcpy(&v, bytes.data(), std::min<size_t>(bytes.size(), 8));
    return type == EKN_TYPE_INT32 ? static_cast<int32_t>(v) : v;
}

TEST_F(QuarryConversions, IntegersConvertWithinRangeAndOverflowOutsideIt) {
    SetValue(m_node.get(), u"big", EKN_TYPE_INT64, int64_t{1} << 31);
    SetValue(m_node.get(), u"neg", EKN_TYPE_INT64, int64_t{-1});
    SetValue(m_node.get(), u"max", EKN_TYPE_UINT32, uint32_t{0xFFFFFFFF});
    uint32_t u = 0;
    int32_t i = 0;
    int64_t l = 0;
    EXPECT_EQ(ReadValue(m_node.get(), u"big", EKN_TYPE_UINT32, u), kOk);
    EXPECT_EQ(u, 0x80000000u);
    EXPECT_EQ(ReadValue(m_node.get(), u"big", EKN_TYPE_INT32, i), kOverflow);
    EXPECT_EQ(ReadValue(m_node.get(), u"neg", EKN_TYPE_UINT32, u), kOverflow);
    EXPECT_EQ(ReadValue(m_node.get(), u"neg", EKN_TYPE_INT32, i), kOk);
    EXPECT_EQ(i, -1);
    EXPECT_EQ(ReadValue(m_node.get(), u"max", EKN_TYPE_INT32, i), kOverflow);
    EXPECT_EQ(ReadValue(m_node.get(), u"max", EKN_TYPE_INT64, l), kOk);
    EXPECT_EQ(l, 4294967295);
}

TEST_F(QuarryConversions, BooleansAndIntegersConvertBothWays) {
    SetValue(m_node.get(), u"b", EKN_TYPE_BOOL, uint8_t{1});
    SetValue(m_node.get(), u"seven", EKN_TYPE_INT32, int32_t{7});
    SetValue(m_node.get(), u"zero", EKN_TYPE_INT64, int64_t{0});
    int32_t i = 0;
    uint8_t b = 9;
    EXPECT_EQ(ReadValue(m_node.get(), u"b", EKN_TYPE_INT32, i), kOk);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(ReadValue(m_node.get(), u"seven", EKN_TYPE_BOOL, b), kOk);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(ReadValue(m_node.get(), u"zero", EKN_TYPE_BOOL, b), kOk);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(ReadString(m_node.get(), u"b"), u"true");
    // Text read as a boolean: "true" or "false" in any case, or a whole number.
    const struct {
        std::u16string text;
        EKN_HRESULT expected;
        uint8_t value;
    } texts[] = {{u"TRUE", kOk, 1},
                 {u"fAlSe", kOk, 0},
                 {u"0", kOk, 0},
                 {u"-7", kOk, 1},
                 {u"yes", kTypeMismatch, 0},
                 {u"true ", kTypeMismatch, 0},
                 {u"", kTypeMismatch, 0},
                 {u"99999999999999999999", kOverflow, 0}};
    for (const auto& c : texts) {
        SetString(m_node.get(), u"t", c.text);
        b = 9;
        EXPECT_EQ(ReadValue(m_node.get(), u"t", EKN_TYPE_BOOL, b), c.expected)
            << std::string(c.text.begin(), c.text.end());
        if (c.expected == kOk) {
            EXPECT_EQ(b, c.value) << std::string(c.text.begin(), c.text.end());
        }
    }
}

TEST_F(QuarryConversions, IntegersReadAsDecimalTextAndTextLists) {
    SetValue(m_node.get(), u"i", EKN_TYPE_INT32, int32_t{-42});
    SetArray(m_node.get(), u"a", EKN_TYPE_INT64_ARRAY, std::vector<int64_t>{1, -2, 30000000000});
    SetArray(m_node.get(), u"none", EKN_TYPE_UINT32_ARRAY, std::vector<uint32_t>{});
    EXPECT_EQ(ReadString(m_node.get(), u"i"), u"-42");
    EXPECT_EQ(ReadString(m_node.get(), u"a"), u"1,-2,30000000000");
    EXPECT_EQ(ReadList(m_node.get(), u"i"), std::vector<std::u16string>{u"-42"});
    EXPECT_EQ(ReadList(m_node.get(), u"a"),
              (std::vector<std::u16string>{u"1", u"-2", u"30000000000"}));
    EXPECT_TRUE(ReadList(m_node.get(), u"none").empty());
}

TEST_F(QuarryConversions, TextParsesAsIntegerOnlyWhenWhollyDecimal) {
    struct Case {
        std::u16string text;
        uint16_t type;
        EKN_HRESULT expected;
        int64_t value;
    };
    const std::vector<Case> cases = {
        {u"123", EKN_TYPE_UINT32, kOk, 123},
        {u"-7", EKN_TYPE_INT32, kOk, -7},
        {u"+7", EKN_TYPE_INT64, kOk, 7},
        {u"-9223372036854775808", EKN_TYPE_INT64, kOk, INT64_MIN},
        {u"9223372036854775808", EKN_TYPE_INT64, kOverflow, 0},
        {u"4294967296", EKN_TYPE_UINT32, kOverflow, 0},
        {u"-1", EKN_TYPE_UINT32, kOverflow, 0},
        {u"12a", EKN_TYPE_INT32, kTypeMismatch, 0},
        {u" 12", EKN_TYPE_INT32, kTypeMismatch, 0},
        {u"", EKN_TYPE_INT32, kTypeMismatch, 0},
        {u"-", EKN_TYPE_INT32, kTypeMismatch, 0},
        {u"99999999999999999999x", EKN_TYPE_INT64, kTypeMismatch, 0},
    };
    for (const Case& c : cases) {
        SetString(m_node.get(), u"t", c.text);
        std::vector<uint8_t> bytes;
        EXPECT_EQ(Read(m_node.get(), u"t", c.type, bytes), c.expected)
            << std::string(c.text.begin(), c.text.end());
        if (c.expected == kOk) {
            EXPECT_EQ(Decimal(c.type, bytes), c.value);
        }
    }
}

TEST_F(QuarryConversions, ScalarsAndTextListsReadAsArrays) {
    SetValue(m_node.get(), u"one", EKN_TYPE_UINT32, uint32_t{5});
    const char16_t numbers[] = {u'1', 0, u'-', u'2', 0};
    const char16_t mixed[] = {u'1', 0, u'x', 0};
    EknSetAttribute(m_node.get(), u"numbers", EKN_TYPE_STRING_LIST, numbers, sizeof numbers);
    EknSetAttribute(m_node.get(), u"mixed", EKN_TYPE_STRING_LIST, mixed, sizeof mixed);
    SetArray(m_node.get(), u"wide", EKN_TYPE_INT64_ARRAY, std::vector<int64_t>{1, -1});
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Read(m_node.get(), u"one", EKN_TYPE_UINT32_ARRAY, bytes), kOk);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{5, 0, 0, 0}));
    ASSERT_EQ(Read(m_node.get(), u"numbers", EKN_TYPE_INT64_ARRAY, bytes), kOk);
    ASSERT_EQ(bytes.size(), 16u);
    int64_t second = 0;
    std::memcpy(&second, bytes.data() + 8, 8);
    EXPECT_EQ(second, -2);
    EXPECT_EQ(Read(m_node.get(), u"mixed", EKN_TYPE_INT64_ARRAY, bytes), kTypeMismatch);
    EXPECT_EQ(Read(m_node.get(), u"wide", EKN_TYPE_UINT32_ARRAY, bytes), kOverflow);
    EXPECT_EQ(Read(m_node.get(), u"wide", EKN_TYPE_INT32_ARRAY, bytes), kOk);
    EXPECT_EQ(bytes.size(), 8u);
}

TEST_F(QuarryConversions, GuidsRoundTripThroughText) {
    const uint8_t guid[16] = {0x90, 0xE2, 0x5A, 0xA8, 0xEE, 0x89, 0xE0, 0x46,
                              0x93, 0x95, 0x3A, 0xAB, 0x22, 0xF2, 0x91, 0x05};
    EknSetAttribute(m_node.get(), u"g", EKN_TYPE_GUID, guid, sizeof guid);
    const std::u16string text = ReadString(m_node.get(), u"g");
    EXPECT_EQ(text, u"{A85AE290-89EE-46E0-9395-3AAB22F29105}");
    SetString(m_node.get(), u"t", u"{a85ae290-89ee-46e0-9395-3aab22f29105}");
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Read(m_node.get(), u"t", EKN_TYPE_GUID, bytes), kOk);
    EXPECT_EQ(bytes, std::vector<uint8_t>(guid, guid + 16));
    SetString(m_node.get(), u"t", u"A85AE290-89EE-46E0-9395-3AAB22F29105");
    EXPECT_EQ(Read(m_node.get(), u"t", EKN_TYPE_GUID, bytes), kTypeMismatch);
}

TEST_F(QuarryConversions, UnrelatedTypesMismatchAndStillReportTheStoredType) {
    const char16_t list[] = {u'1', 0};
    EknSetAttribute(m_node.get(), u"l", EKN_TYPE_STRING_LIST, list, sizeof list);
    const uint8_t raw[2] = {1, 2};
    EknSetAttribute(m_node.get(), u"raw", 0x42, raw, sizeof raw);
    int32_t value = 0;
    uint32_t size = sizeof value;
    uint16_t stored = 0;
    const uint16_t int32 = EKN_TYPE_INT32;
    EXPECT_EQ(EknGetAttribute(m_node.get(), u"l", &int32, &value, &size, &stored), kTypeMismatch);
    EXPECT_EQ(stored, EKN_TYPE_STRING_LIST);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Read(m_node.get(), u"raw", EKN_TYPE_STRING, bytes), kTypeMismatch);
    EXPECT_EQ(Read(m_node.get(), u"raw", 0x43, bytes), kTypeMismatch);
    EXPECT_EQ(Read(m_node.get(), u"missing", EKN_TYPE_INT32, bytes), kNotFound);
}

} // namespace
