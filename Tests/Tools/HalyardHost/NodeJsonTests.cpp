// Node trees as JSON: every type code there and back with the same bytes, the documented value
// forms, and malformed input refused with the place named.
#include "NodeJson.h"

#include <gtest/gtest.h>

#include <cstring>

using HalyardHost::NodeFromJson;
using HalyardHost::NodeJsonError;
using HalyardHost::NodeToJson;
using HalyardHost::NodeToJsonText;
using Json = nlohmann::ordered_json;

namespace {

// Every attribute of two nodes: the same names in the same order, type codes and bytes; then the
// children likewise.
void ExpectSameTree(const EkNodePtr& a, const EkNodePtr& b) {
    EXPECT_EQ(a.GetNodeName(), b.GetNodeName());
    EXPECT_EQ(a.GetNodeType(), b.GetNodeType());
    const auto names = a.GetAttributeNames();
    ASSERT_EQ(names, b.GetAttributeNames());
    for (const std::wstring& name : names) {
        std::vector<uint8_t> left;
        std::vector<uint8_t> right;
        uint16_t leftType = 0;
        uint16_t rightType = 0;
        ASSERT_TRUE(a.GetRawAttribute(name.c_str(), left, leftType));
        ASSERT_TRUE(b.GetRawAttribute(name.c_str(), right, rightType));
        EXPECT_EQ(leftType, rightType) << "attribute " << name.size();
        EXPECT_EQ(left, right);
    }
    ASSERT_EQ(a.GetChildCount(), b.GetChildCount());
    for (uint64_t i = 0; i < a.GetChildCount(); ++i) {
        ExpectSameTree(a.GetChildByIndex(i), b.GetChildByIndex(i));
    }
}

std::string ErrorOf(const std::string& text) {
    try {
        static_cast<void>(NodeFromJson(Json::parse(text)));
    } catch (const NodeJsonError& failure) {
        return failure.what();
    }
    return "accepted";
}

} // namespace

TEST(NodeJson, EveryTypeCodeGoesThereAndBackWithTheSameBytes) {
    const EkNodePtr root = EkNodePtr::CreateNode(L"GetDataRequest", L"R\u00e9quest");
    root.SetAttribute(L"Text", L"line\nwith \"quotes\", \u00e9 and \U0001F600");
    root.SetAttribute(L"Empty", L"");
    root.SetAttribute(L"Int32", int32_t{-2147483647 - 1});
    root.SetRawAttribute(L"UInt32", EKN_TYPE_UINT32, "\xff\xff\xff\xff", 4);
    root.SetAttribute(L"Int64", int64_t{-9223372036854775807 - 1});
    root.SetAttribute(L"Keywords", static_cast<int64_t>(0x8080000000000000ull));
    root.SetAttribute(L"Flag", true);
    root.SetAttribute(L"Id", GUID{0x00345678, 0x0ABC, 0x00F0, {1, 2, 3, 4, 5, 6, 7, 0xFF}});
    root.SetAttribute(L"List", std::vector<std::wstring>{L"a", L"", L"\u00fc"});
    root.SetAttribute(L"NoList", std::vector<std::wstring>{});
    root.SetAttribute(L"Ints", std::vector<int32_t>{-1, 0, 7});
    root.SetRawAttribute(L"UInts", EKN_TYPE_UINT32_ARRAY, "\x01\x00\x00\x00\xff\xff\xff\xff", 8);
    root.SetAttribute(L"Longs", std::vector<int64_t>{INT64_MIN, INT64_MAX});
    root.SetRawAttribute(L"Opaque", 0x42, "\x00\x01\xfe", 3);
    root.SetRawAttribute(L"Untyped", EKN_TYPE_NONE, nullptr, 0);
    const EkNodePtr first = EkNodePtr::CreateNode(L"ContinuationMark", nullptr);
    first.SetAttribute(L"Position", int64_t{40});
    const EkNodePtr second = EkNodePtr::CreateNode(L"", L"LevelFilter");
    second.AddChild(EkNodePtr::CreateNode(L"deeper", nullptr));
    root.AddChild(first);
    root.AddChild(second);

    // Every character that JSON escapes, and some it does not.
    std::u16string odd;
    for (char16_t c = 1; c < 0x20; ++c) {
        odd += c;
    }
    odd += u"\"\\/\x7f\u2028\u00e9\U0001F600";
    odd += u'\0';
    root.SetRawAttribute(L"Odd", EKN_TYPE_STRING, odd.data(),
                         static_cast<uint32_t>(odd.size() * sizeof(char16_t)));
    root.SetRawAttribute(L"OddList", EKN_TYPE_STRING_LIST, odd.data(),
                         static_cast<uint32_t>(odd.size() * sizeof(char16_t)));

    // The text written straight from the tree is what nlohmann writes of the same form, and of the
    // document built from the tree.
    const std::string text = NodeToJsonText(root);
    EXPECT_EQ(Json::parse(text).dump(-1, ' ', false), text);
    EXPECT_EQ(NodeToJson(root).dump(-1, ' ', false), text);
    EXPECT_NE(text.find(R"(\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e)"),
              std::string::npos);
    EXPECT_NE(text.find("\\u001f\\\"\\\\/\x7f\xe2\x80\xa8\xc3\xa9\xf0\x9f\x98\x80\""),
              std::string::npos);
    const EkNodePtr rebuilt = NodeFromJson(Json::parse(text));
    ExpectSameTree(root, rebuilt);
    EXPECT_EQ(NodeToJsonText(rebuilt), text);
}

TEST(NodeJson, TextLeavesOutEmptyMembersInTheDocumentedOrder) {
    const EkNodePtr root = EkNodePtr::CreateNode(L"Response", L"Page");
    root.SetAttribute(L"ResultCode", int32_t{-1});
    root.SetAttribute(L"Count", int64_t{12});
    root.AddChild(EkNodePtr::CreateNode(L"", nullptr));
    const EkNodePtr events = EkNodePtr::CreateNode(L"Events", nullptr);
    events.SetAttribute(L"Ids", std::vector<int64_t>{});
    root.AddChild(events);
    EXPECT_EQ(
        NodeToJsonText(root),
        R"({"name":"Response","type":"Page","attributes":[)"
        R"({"name":"ResultCode","type":3,"value":-1},{"name":"Count","type":6,"value":"12"}],)"
        R"("children":[{"name":""},{"name":"Events","attributes":[)"
        R"({"name":"Ids","type":262,"value":[]}]}]})");
}

TEST(NodeJson, ValuesHaveTheDocumentedForms) {
    const Json json = Json::parse(R"({
        "name": "Filters",
        "type": "DateFilter",
        "attributes": [
            {"name": "Since", "type": 2, "value": "2024-01-01T00:00:00Z"},
            {"name": "Big", "type": 6, "value": "-9223372036854775808"},
            {"name": "Small", "type": 6, "value": 5},
            {"name": "Count", "type": 4, "value": 4294967295},
            {"name": "On", "type": 7, "value": false},
            {"name": "Session", "type": 13, "value": "{00000001-0002-0003-0405-060708090A0B}"},
            {"name": "Levels", "type": 258, "value": ["1", "", "2"]},
            {"name": "Pages", "type": 262, "value": ["0", 10]},
            {"name": "Blob", "type": 9, "hex": "00ff10"}
        ]})");
    const EkNodePtr node = NodeFromJson(json);
    EXPECT_EQ(node.GetNodeName(), L"Filters");
    EXPECT_EQ(node.GetNodeType(), L"DateFilter");
    EXPECT_EQ(node.GetString(L"Since"), L"2024-01-01T00:00:00Z");
    EXPECT_EQ(node.GetInt64(L"Big"), INT64_MIN);
    EXPECT_EQ(node.GetInt64(L"Small"), 5);
    EXPECT_EQ(node.GetUInt32(L"Count"), 4294967295u);
    EXPECT_FALSE(node.GetBool(L"On"));
    const GUID session = node.GetGuid(L"Session");
    EXPECT_EQ(session.Data1, 1u);
    EXPECT_EQ(session.Data4[7], 0x0B);
    std::vector<std::wstring> levels;
    ASSERT_TRUE(node.GetAttribute(L"Levels", levels));
    EXPECT_EQ(levels, (std::vector<std::wstring>{L"1", L"", L"2"}));
    std::vector<int64_t> pages;
    ASSERT_TRUE(node.GetAttribute(L"Pages", pages));
    EXPECT_EQ(pages, (std::vector<int64_t>{0, 10}));
    std::vector<uint8_t> blob;
    uint16_t type = 0;
    ASSERT_TRUE(node.GetRawAttribute(L"Blob", blob, type));
    EXPECT_EQ(type, 9);
    EXPECT_EQ(blob, (std::vector<uint8_t>{0x00, 0xFF, 0x10}));

    // 64-bit values are written as text, so a browser reads them without losing digits.
    const Json back = NodeToJson(node);
    EXPECT_EQ(back["attributes"][1]["value"], "-9223372036854775808");
    EXPECT_EQ(back["attributes"][5]["value"], "{00000001-0002-0003-0405-060708090A0B}");
    EXPECT_EQ(back["attributes"][7]["value"], Json::parse(R"(["0", "10"])"));
}

TEST(NodeJson, MalformedTreesAreRefusedWithThePlaceNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {R"([])", "node: a node is an object"},
        {R"({"name": "A", "colour": 1})", "colour: unknown member"},
        {R"({"name": 7})", "name: a string is needed"},
        {R"({"attributes": {}})", "attributes: an array is needed"},
        {R"({"attributes": [{"name": "x"}]})", "attributes[0]: an attribute needs"},
        {R"({"attributes": [{"name": "", "type": 2, "value": ""}]})", "cannot be empty"},
        {R"({"attributes": [{"name": "x", "type": 70000, "value": 1}]})",
         "type code is an integer"},
        {R"({"attributes": [{"name": "x", "type": -1, "value": 1}]})", "type code is an integer"},
        {R"({"attributes": [{"name": "x", "type": 3, "value": "1"}]})", "type 3 needs"},
        {R"({"attributes": [{"name": "x", "type": 3, "value": 2147483648}]})", "type 3 needs"},
        {R"({"attributes": [{"name": "x", "type": 4, "value": -1}]})", "type 4 needs"},
        {R"({"attributes": [{"name": "x", "type": 6, "value": "12a"}]})", "type 6 needs"},
        {R"({"attributes": [{"name": "x", "type": 6, "value": 1.5}]})", "type 6 needs"},
        {R"({"attributes": [{"name": "x", "type": 7, "value": 1}]})", "type 7 needs"},
        {R"({"attributes": [{"name": "x", "type": 13, "value": "{1-2}"}]})", "type 13 needs"},
        {R"({"attributes": [{"name": "x", "type": 258, "value": ["a", 1]}]})",
         "attributes[0].value[1]: a string is needed"},
        {R"({"attributes": [{"name": "x", "type": 258, "value": ["a\u0000b"]}]})", "NUL"},
        {R"({"attributes": [{"name": "x", "type": 260, "value": [1, -1]}]})",
         "value[1]: type 4 needs"},
        {R"({"attributes": [{"name": "x", "type": 2, "hex": "00"}]})", "carries \"value\""},
        {R"({"attributes": [{"name": "x", "type": 9, "value": 1}]})", "carries its bytes"},
        {R"({"attributes": [{"name": "x", "type": 9, "hex": "0g"}]})", "not hexadecimal"},
        {R"({"attributes": [{"name": "x", "type": 9, "hex": "000"}]})", "in pairs"},
        {R"({"children": [{"name": "a"}, {"name": "b", "children": 3}]})",
         "children[1].children: an array is needed"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_NE(ErrorOf(text).find(expected), std::string::npos)
            << text << " gave: " << ErrorOf(text);
    }

    Json deep = Json::object();
    for (int level = 0; level <= HalyardHost::MaxNodeJsonDepth; ++level) {
        deep = Json{{"children", Json::array({deep})}};
    }
    EXPECT_NE(ErrorOf(deep.dump()).find("nested deeper than"), std::string::npos);
    const Json wide = {{"children", Json::array()}, {"attributes", Json::array()}};
    Json children = wide;
    children["children"] = Json(HalyardHost::MaxNodeJsonChildren + 1, Json::object());
    EXPECT_NE(ErrorOf(children.dump()).find("more than 1000 children"), std::string::npos);
    Json attributes = wide;
    for (size_t i = 0; i <= HalyardHost::MaxNodeJsonAttributes; ++i) {
        attributes["attributes"].push_back({{"name", "a"}, {"type", 7}, {"value", true}});
    }
    EXPECT_NE(ErrorOf(attributes.dump()).find("more than 256 attributes"), std::string::npos);
}

TEST(NodeJson, LoneSurrogatesOfTheNodeLibraryBecomeReplacementCharacters) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"N", nullptr);
    const char16_t broken[] = {u'a', 0xD800, u'b', 0};
    node.SetRawAttribute(L"Text", EKN_TYPE_STRING, broken, sizeof(broken));
    const Json json = NodeToJson(node);
    EXPECT_EQ(json["attributes"][0]["value"], "a\xEF\xBF\xBD"
                                              "b");
    Json parsed;
    EXPECT_NO_THROW(parsed = Json::parse(json.dump()));
    EXPECT_EQ(parsed, json);
}
