#include "NodeTree/EkNodePtr.h"
#include "NodeTree/NodeSerializer.h"

#include <gtest/gtest.h>

namespace {

HRESULT CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const HRES& failure) {
        return failure.Code();
    }
    return S_OK;
}

} // namespace

TEST(EkNodePtr, CopiesAreHandlesToTheSameNode) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"Request", L"Type");
    const EkNodePtr copy(node);
    copy.SetAttribute(L"Seen", true);
    EXPECT_TRUE(node.GetBool(L"Seen"));

    EkNodePtr other = EkNodePtr::CreateNode(L"Other", nullptr);
    other = node;
    EXPECT_EQ(other.GetNodeName(), L"Request");
    const EkNodePtr& self = other;
    other = self; // self-assignment keeps the handle
    EXPECT_EQ(other.GetNodeName(), L"Request");

    EkNodePtr moved(std::move(other));
    EXPECT_FALSE(other); // NOLINT(bugprone-use-after-move): the source becomes null
    EXPECT_EQ(moved.GetNodeType(), L"Type");
    void* raw = moved.Detach();
    EXPECT_FALSE(moved);
    const EkNodePtr reattached(raw, true);
    EXPECT_EQ(reattached.GetNodeName(), L"Request");
}

TEST(EkNodePtr, StringsAround128CharactersReadWhole) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"n", nullptr);
    for (size_t length : {0u, 1u, 127u, 128u, 129u, 5000u}) {
        const std::wstring value(length, L'x');
        node.SetAttribute(L"Text", value);
        EXPECT_EQ(node.GetString(L"Text"), value) << length;
    }
    const std::wstring longName(300, L'N');
    const EkNodePtr named = EkNodePtr::CreateNode(longName.c_str(), longName.c_str());
    EXPECT_EQ(named.GetNodeName(), longName);
    EXPECT_EQ(named.GetNodeType(), longName);
}

TEST(EkNodePtr, NonAsciiTextSurvivesTheUtf16Boundary) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"n", nullptr);
    const std::wstring text = L"Gr\u00FC\u00DFe \u20AC \U0001F600 end";
    node.SetAttribute(L"Text", text);
    EXPECT_EQ(node.GetString(L"Text"), text);
    node.SetAttribute(L"List", std::vector<std::wstring>{text, L""});
    std::vector<std::wstring> list;
    ASSERT_TRUE(node.GetAttribute(L"List", list));
    EXPECT_EQ(list, (std::vector<std::wstring>{text, L""}));
}

TEST(EkNodePtr, AbsentAttributesAndDefaults) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"n", nullptr);
    std::wstring text = L"stale";
    EXPECT_FALSE(node.GetAttribute(L"Missing", text));
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(CodeOf([&] { node.GetString(L"Missing"); }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([&] { node.GetUInt32(L"Missing"); }), HR_NOT_FOUND);
    EXPECT_EQ(CodeOf([&] { node.GetGuid(L"Missing"); }), HR_NOT_FOUND);
    EXPECT_EQ(node.GetUInt32(L"Missing", 1000u), 1000u);
    EXPECT_EQ(node.GetString(L"Missing", L"dflt"), L"dflt");

    // A value stored with type code 0 counts as absent for the optional readers.
    node.SetRawAttribute(L"Untyped", EKN_TYPE_NONE, nullptr, 0);
    EXPECT_EQ(node.GetUInt32(L"Untyped", 7u), 7u);
    EXPECT_EQ(node.GetString(L"Untyped", L"d"), L"d");
    std::vector<uint32_t> values;
    EXPECT_FALSE(node.GetUInt32List(L"Untyped", values));
}

TEST(EkNodePtr, ListsOfStringsKeepEmptyMembers) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"n", nullptr);
    const std::vector<std::wstring> three = {L"a", L"", L"b"};
    node.SetAttribute(L"List", three);
    std::vector<uint8_t> raw;
    uint16_t type = 0;
    ASSERT_TRUE(node.GetRawAttribute(L"List", raw, type));
    EXPECT_EQ(type, EKN_TYPE_STRING_LIST);
    EXPECT_EQ(raw.size(), 10u) << "letter, NUL, NUL, letter, NUL";

    std::vector<std::wstring> read;
    ASSERT_TRUE(node.GetAttribute(L"List", read));
    EXPECT_EQ(read, three);

    for (const auto& list : {std::vector<std::wstring>{}, std::vector<std::wstring>{L""}}) {
        node.SetAttribute(L"List", list);
        ASSERT_TRUE(node.GetAttribute(L"List", read));
        EXPECT_EQ(read, list);
    }
    EXPECT_EQ(CodeOf([&] { node.GetAttribute(L"None", read, true); }), HR_NOT_FOUND);
}

TEST(EkNodePtr, IntegerReadersAndArrays) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"n", nullptr);
    node.SetAttribute(L"Position", int64_t{40});
    EXPECT_EQ(node.GetInt64(L"Position"), 40);
    EXPECT_EQ(node.GetUInt32(L"Position"), 40u) << "the library converts between integers";

    node.SetAttribute(L"Pages", std::vector<int64_t>{1, 2, 3});
    std::vector<int64_t> pages;
    ASSERT_TRUE(node.GetAttribute(L"Pages", pages));
    EXPECT_EQ(pages, (std::vector<int64_t>{1, 2, 3}));

    std::vector<uint32_t> levels;
    node.SetAttribute(L"Levels", std::vector<int32_t>{1, 2});
    ASSERT_TRUE(node.GetUInt32List(L"Levels", levels));
    EXPECT_EQ(levels, (std::vector<uint32_t>{1, 2}));
    node.SetAttribute(L"Level", int32_t{4});
    ASSERT_TRUE(node.GetUInt32List(L"Level", levels));
    EXPECT_EQ(levels, (std::vector<uint32_t>{4}));

    node.SetAttribute(L"Empty", std::vector<int64_t>{});
    ASSERT_TRUE(node.GetAttribute(L"Empty", pages));
    EXPECT_TRUE(pages.empty());

    const GUID id = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    node.SetAttribute(L"SessionId", id);
    EXPECT_TRUE(node.GetGuid(L"SessionId") == id);
}

TEST(EkNodePtr, ChildrenInOrderAndByName) {
    const EkNodePtr root = EkNodePtr::CreateNode(L"root", nullptr);
    for (const wchar_t* name : {L"a", L"b", L"c"}) {
        root.AddChild(EkNodePtr::CreateNode(name, nullptr));
    }
    std::wstring names;
    ForEachChild(root, [&](const EkNodePtr& child) { names += child.GetNodeName(); });
    EXPECT_EQ(names, L"abc");
    EXPECT_FALSE(root.GetChildByName(L"zz", false));
    EXPECT_EQ(CodeOf([&] { root.GetChildByName(L"zz", true); }), HR_NOT_FOUND);
    EXPECT_FALSE(root.GetChildByIndex(3, false));
    EXPECT_EQ(root.GetChildByName(L"b").GetParent().GetNodeName(), L"root");
    EXPECT_FALSE(root.GetParent());
    EXPECT_EQ(root.GetChildByName(L"c").GetNodeName(EKN_NAME_FULL_PATH), L"\\root\\c");

    // Removal, and a clone whole by default (the depths are QuarryClone's tests).
    root.RemoveChild(root.GetChildByName(L"b"));
    EXPECT_EQ(root.CloneNode().GetChildCount(), 2u);
}

// The names in the order they were first set; a list longer than the first buffer of 128
// characters is read whole.
TEST(EkNodePtr, AttributeNamesInOrderOfFirstSetting) {
    const EkNodePtr node = EkNodePtr::CreateNode(L"n", nullptr);
    EXPECT_TRUE(node.GetAttributeNames().empty());
    std::vector<std::wstring> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back(L"Attribute" + std::to_wstring(11 - i) + L"-" + std::wstring(i, L'x'));
        node.SetAttribute(names.back().c_str(), int32_t{i});
    }
    node.SetAttribute(names[3].c_str(), L"replaced"); // keeps its place
    EXPECT_EQ(node.GetAttributeNames(), names);
}

TEST(CopyAttribute, ReportsWhetherTheTargetChanged) {
    const EkNodePtr source = EkNodePtr::CreateNode(L"s", nullptr);
    const EkNodePtr target = EkNodePtr::CreateNode(L"t", nullptr);
    std::vector<uint8_t> scratch;
    source.SetAttribute(L"Value", int64_t{5});
    bool changed = false;
    CopyAttribute(L"Value", source, L"Copy", target, scratch, &changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(target.GetInt64(L"Copy"), 5);
    CopyAttribute(L"Value", source, L"Copy", target, scratch, &changed);
    EXPECT_FALSE(changed);

    target.SetAttribute(L"Copy", int32_t{5});
    CopyAttribute(L"Value", source, L"Copy", target, scratch, &changed);
    EXPECT_TRUE(changed) << "another type code is a change";
    uint16_t type = 0;
    ASSERT_TRUE(target.HasAttribute(L"Copy", &type));
    EXPECT_EQ(type, EKN_TYPE_INT64);

    CopyAttribute(L"Absent", source, L"X", target, scratch);
    EXPECT_FALSE(target.HasAttribute(L"X"));
    EXPECT_EQ(
        CodeOf([&] { CopyAttribute(L"Absent", source, L"X", target, scratch, nullptr, true); }),
        HR_NOT_FOUND);
}

TEST(FindNodeByPath, RelativeAndAbsolutePaths) {
    const EkNodePtr root = EkNodePtr::CreateNode(L"root", nullptr);
    const EkNodePtr a = EkNodePtr::CreateNode(L"a", nullptr);
    const EkNodePtr b = EkNodePtr::CreateNode(L"b", nullptr);
    const EkNodePtr c = EkNodePtr::CreateNode(L"c", nullptr);
    root.AddChild(a);
    a.AddChild(b);
    root.AddChild(c);

    EXPECT_EQ(FindNodeByPath(root, L"a\\b").GetNodeName(), L"b");
    EXPECT_FALSE(FindNodeByPath(root, L"a\\x"));
    EXPECT_EQ(FindNodeByPath(b, L"\\root\\c").GetNodeName(), L"c") << "climbs to the common prefix";
    EXPECT_FALSE(FindNodeByPath(b, L"\\root\\c", FIND_NO_CLIMB));
    EXPECT_EQ(FindNodeByPath(root, L"\\root\\a\\b").GetNodeName(), L"b");
    EXPECT_EQ(FindNodeByPath(a, L"\\root\\a").GetNodeName(), L"a");
    EXPECT_EQ(FindNodeByPath(b, L"\\root").GetNodeName(), L"root");
    // Shares only the leading "\": not found, or an error when it must exist.
    EXPECT_FALSE(FindNodeByPath(b, L"\\other\\a"));
    EXPECT_EQ(CodeOf([&] { FindNodeByPath(b, L"\\other\\a", FIND_MUST_EXIST); }), HR_NOT_FOUND);
    // "\ro" is not the component "\root".
    EXPECT_FALSE(FindNodeByPath(a, L"\\ro\\a"));
}

TEST(NodeSerializer, TextIsWrappedAndHoldsTheTree) {
    const EkNodePtr root = EkNodePtr::CreateNode(L"Root", L"T");
    root.SetAttribute(L"Name", L"a<b&c");
    root.AddChild(EkNodePtr::CreateNode(L"Child", nullptr));
    // The flags and the depth reach the library: indented lines, the child left out at depth 0.
    EXPECT_EQ(
        SerializeNodesToText(&root, 1, 0x101, EKN_DEPTH_ALL),
        "<nr>\r\n<node name=\"Root\" type=\"T\">\r\n  <attr name=\"Name\" "
        "type=\"2\">a&lt;b&amp;c</attr>\r\n  <node name=\"Child\" type=\"\"/>\r\n</node>\r\n</nr>");
    EXPECT_EQ(
        SerializeNodesToText(&root, 1, 0, 0),
        "<nr><node name=\"Root\" type=\"T\"><attr name=\"Name\" type=\"2\">a&lt;b&amp;c</attr>"
        "</node></nr>");
    EXPECT_EQ(SerializeNodesToText(nullptr, 0, 0x101, 0).find("<nr>"), 0u);
}
