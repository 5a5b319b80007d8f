// XML text serialization of the node library.
#include "QuarryTestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace QuarryTest;

namespace {

struct Collector {
    std::string text;
    std::vector<size_t> chunks;
    size_t failAtCall = SIZE_MAX; // the sink fails from this call on
    EKN_HRESULT failure = kFail;

    static EKN_HRESULT Sink(const void* data, uint32_t size, void* context) {
        auto* self = static_cast<Collector*>(context);
        if (self->chunks.size() >= self->failAtCall) {
            self->chunks.push_back(0);
            return self->failure;
        }
        self->chunks.push_back(size);
        self->text.append(static_cast<const char*>(data), size);
        return kOk;
    }
};

// Serializes the nodes whole into `collector`; the HRESULT of the first failing call.
EKN_HRESULT SerializeAll(Collector& collector, std::vector<void*> nodes, uint32_t flags = 0,
                         int32_t depth = EKN_DEPTH_ALL) {
    void* context = nullptr;
    EKN_HRESULT hr = EknStartSerialization(EKN_SERIALIZATION_XML_TEXT, flags, &Collector::Sink,
                                           &collector, &context);
    if (hr == kOk) {
        hr = EknSerializeNodes(context, nodes.data(), nodes.size(), depth);
    }
    if (hr == kOk) {
        hr = EknFinalizeSerialization(context);
    }
    EknCloseSerializationContext(context);
    return hr;
}

// A root of 300 children, each with 40 characters of text: more than one chunk of output.
Node BigTree() {
    Node big = Create(u"big");
    for (int i = 0; i < 300; ++i) {
        SetString(AddNew(big.get(), u"child").get(), u"text", std::u16string(40, u'z'));
    }
    return big;
}

class QuarrySerialization : public ::testing::Test {
protected:
    void SetUp() override {
        SetString(m_root.get(), u"s", u"a<b&\"c\"");
        SetValue(m_root.get(), u"n", EKN_TYPE_INT32, int32_t{-5});
        SetValue(m_root.get(), u"b", EKN_TYPE_BOOL, uint8_t{1});
        const char16_t list[] = {u'x', 0, 0};
        EknSetAttribute(m_root.get(), u"l", EKN_TYPE_STRING_LIST, list, sizeof list);
        const uint8_t guid[16] = {0x90, 0xE2, 0x5A, 0xA8, 0xEE, 0x89, 0xE0, 0x46,
                                  0x93, 0x95, 0x3A, 0xAB, 0x22, 0xF2, 0x91, 0x05};
        EknSetAttribute(m_root.get(), u"g", EKN_TYPE_GUID, guid, sizeof guid);
        const uint8_t opaque[3] = {0x00, 0xAF, 0x7E}; // a type code the library does not know
        EknSetAttribute(m_root.get(), u"o", 0x42, opaque, sizeof opaque);
        Node child = AddNew(m_root.get(), u"child", u"Leaf");
        SetArray(child.get(), u"a", EKN_TYPE_UINT32_ARRAY, std::vector<uint32_t>{1, 2});
        AddNew(child.get(), u"grandchild");
    }
    Node m_root = Create(u"root", u"Top");
};

TEST_F(QuarrySerialization, WritesOneElementPerNodeWithTypedAttributes) {
    Collector out;
    ASSERT_EQ(SerializeAll(out, {m_root.get()}), kOk);
    EXPECT_EQ(out.text, "<nr><node name=\"root\" type=\"Top\">"
                        "<attr name=\"s\" type=\"2\">a&lt;b&amp;&quot;c&quot;</attr>"
                        "<attr name=\"n\" type=\"3\">-5</attr>"
                        "<attr name=\"b\" type=\"7\">true</attr>"
                        "<attr name=\"l\" type=\"258\"><item>x</item><item></item></attr>"
                        "<attr name=\"g\" type=\"13\">{A85AE290-89EE-46E0-9395-3AAB22F29105}</attr>"
                        "<attr name=\"o\" type=\"66\">00af7e</attr>"
                        "<node name=\"child\" type=\"Leaf\">"
                        "<attr name=\"a\" type=\"260\"><item>1</item><item>2</item></attr>"
                        "<node name=\"grandchild\" type=\"\"/>"
                        "</node></node></nr>");
}

TEST_F(QuarrySerialization, IndentFlagPutsElementsOnTheirOwnLines) {
    Node leaf = Create(u"leaf");
    Node inner = AddNew(leaf.get(), u"inner");
    SetValue(inner.get(), u"v", EKN_TYPE_INT64, int64_t{7});
    Collector out;
    ASSERT_EQ(SerializeAll(out, {leaf.get()}, 0x101), kOk);
    EXPECT_EQ(out.text, "<nr>\r\n"
                        "<node name=\"leaf\" type=\"\">\r\n"
                        "  <node name=\"inner\" type=\"\">\r\n"
                        "    <attr name=\"v\" type=\"6\">7</attr>\r\n"
                        "  </node>\r\n"
                        "</node>\r\n"
                        "</nr>");
}

TEST_F(QuarrySerialization, DepthLimitsTheLevelsWritten) {
    Collector alone;
    ASSERT_EQ(SerializeAll(alone, {m_root.get()}, 0, 0), kOk);
    EXPECT_EQ(alone.text.find("child"), std::string::npos);
    EXPECT_NE(alone.text.find("name=\"s\""), std::string::npos);
    Collector oneLevel;
    ASSERT_EQ(SerializeAll(oneLevel, {m_root.get()}, 0, 1), kOk);
    EXPECT_NE(oneLevel.text.find("\"child\""), std::string::npos);
    EXPECT_EQ(oneLevel.text.find("grandchild"), std::string::npos);
}

TEST_F(QuarrySerialization, TextIsEscapedUtf8) {
    Node node = Create(u"q\"<\t", u"");
    const std::u16string value = {u'\u00E9', 0xD83D, 0xDE00, 0xD800, u'\x01', u'\n'};
    SetString(node.get(), u"v", value);
    Collector out;
    ASSERT_EQ(SerializeAll(out, {node.get()}), kOk);
    EXPECT_NE(out.text.find("name=\"q&quot;&lt;&#x9;\""), std::string::npos);
    // e-acute, a surrogate pair, an unpaired surrogate, a control character, a line feed.
    EXPECT_NE(out.text.find(">\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD&#x1;\n</attr>"),
              std::string::npos);
}

TEST_F(QuarrySerialization, SeveralCallsShareOneWrapperAndEmptyOutputIsJustTheWrapper) {
    Collector empty;
    ASSERT_EQ(SerializeAll(empty, {}), kOk);
    EXPECT_EQ(empty.text, "<nr></nr>");
    Node a = Create(u"a");
    Node b = Create(u"b");
    Collector both;
    ASSERT_EQ(SerializeAll(both, {a.get(), b.get()}), kOk);
    EXPECT_EQ(both.text, "<nr><node name=\"a\" type=\"\"/><node name=\"b\" type=\"\"/></nr>");
}

TEST_F(QuarrySerialization, LargeOutputArrivesInBoundedChunks) {
    Node big = BigTree();
    Collector out;
    ASSERT_EQ(SerializeAll(out, {big.get()}), kOk);
    EXPECT_GT(out.chunks.size(), 2u);
    for (const size_t chunk : out.chunks) {
        EXPECT_LE(chunk, 4096u);
        EXPECT_GT(chunk, 0u);
    }
    EXPECT_EQ(out.text.rfind("<nr><node name=\"big\"", 0), 0u);
    EXPECT_EQ(out.text.substr(out.text.size() - 12), "</node></nr>");
    size_t nodes = 0;
    for (size_t at = out.text.find("<node "); at != std::string::npos;
         at = out.text.find("<node ", at + 1)) {
        ++nodes;
    }
    EXPECT_EQ(nodes, 301u);
}

TEST_F(QuarrySerialization, SinkFailureStopsSerializationAndIsReturned) {
    Node big = BigTree();
    Collector out;
    out.failAtCall = 1;
    out.failure = static_cast<EKN_HRESULT>(0x80070070);
    void* context = nullptr;
    ASSERT_EQ(
        EknStartSerialization(EKN_SERIALIZATION_XML_TEXT, 0, &Collector::Sink, &out, &context),
        kOk);
    void* nodes[] = {big.get()};
    EXPECT_EQ(EknSerializeNodes(context, nodes, 1, EKN_DEPTH_ALL), out.failure);
    const size_t calls = out.chunks.size();
    EXPECT_EQ(calls, 2u); // one chunk delivered, the failing call, nothing after it
    EXPECT_EQ(EknSerializeNodes(context, nodes, 1, EKN_DEPTH_ALL), out.failure);
    EXPECT_EQ(EknFinalizeSerialization(context), out.failure);
    EXPECT_EQ(out.chunks.size(), calls);
    EXPECT_EQ(EknCloseSerializationContext(context), kOk);
}

TEST_F(QuarrySerialization, FailureOnTheFinalChunkIsReturnedByFinalize) {
    Collector out;
    out.failAtCall = 0;
    void* context = nullptr;
    ASSERT_EQ(
        EknStartSerialization(EKN_SERIALIZATION_XML_TEXT, 0, &Collector::Sink, &out, &context),
        kOk);
    void* nodes[] = {m_root.get()};
    EXPECT_EQ(EknSerializeNodes(context, nodes, 1, EKN_DEPTH_ALL), kOk); // still buffered
    EXPECT_EQ(EknFinalizeSerialization(context), kFail);
    EknCloseSerializationContext(context);
}

TEST_F(QuarrySerialization, SinkMayUseTheLibraryOnTheSerializedTree) {
    struct Reentrant {
        void* node;
        std::u16string seen;
        static EKN_HRESULT Sink(const void*, uint32_t, void* context) {
            auto* self = static_cast<Reentrant*>(context);
            self->seen = NameOf(self->node);
            return kOk;
        }
    } reentrant{m_root.get(), {}};
    void* context = nullptr;
    ASSERT_EQ(EknStartSerialization(EKN_SERIALIZATION_XML_TEXT, 0, &Reentrant::Sink, &reentrant,
                                    &context),
              kOk);
    void* nodes[] = {m_root.get()};
    EXPECT_EQ(EknSerializeNodes(context, nodes, 1, EKN_DEPTH_ALL), kOk);
    EXPECT_EQ(EknFinalizeSerialization(context), kOk);
    EknCloseSerializationContext(context);
    EXPECT_EQ(reentrant.seen, u"root");
}

TEST_F(QuarrySerialization, BadArgumentsAreRejected) {
    void* context = nullptr;
    EXPECT_EQ(EknStartSerialization(2, 0, &Collector::Sink, nullptr, &context), kInvalidArg);
    EXPECT_EQ(EknStartSerialization(1, 0, nullptr, nullptr, &context), kInvalidArg);
    EXPECT_EQ(EknStartSerialization(1, 0, &Collector::Sink, nullptr, nullptr), kPointer);
    Collector out;
    ASSERT_EQ(EknStartSerialization(1, 0, &Collector::Sink, &out, &context), kOk);
    void* withNull[] = {m_root.get(), nullptr};
    EXPECT_EQ(EknSerializeNodes(context, withNull, 2, EKN_DEPTH_ALL), kInvalidArg);
    EXPECT_EQ(EknSerializeNodes(context, nullptr, 1, EKN_DEPTH_ALL), kInvalidArg);
    EXPECT_EQ(EknSerializeNodes(context, withNull, 1, -1), kInvalidArg);
    EXPECT_EQ(EknSerializeNodes(m_root.get(), withNull, 1, 0),
              static_cast<EKN_HRESULT>(0x80070006));
    ASSERT_EQ(EknFinalizeSerialization(context), kOk);
    // A finalized context takes nothing more.
    void* nodes[] = {m_root.get()};
    EXPECT_EQ(EknSerializeNodes(context, nodes, 1, EKN_DEPTH_ALL), kUnexpected);
    EXPECT_EQ(EknFinalizeSerialization(context), kUnexpected);
    EXPECT_EQ(out.text, "<nr></nr>"); // nothing of the rejected calls was written
    EknCloseSerializationContext(context);
    EXPECT_EQ(EknFinalizeSerialization(nullptr), kInvalidArg);
}

} // namespace
