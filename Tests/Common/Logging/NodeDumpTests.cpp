#include "Logging/NodeDump.h"

#include "ErrorHandling/ErrorDescription.h"
#include "ErrorHandling/ErrorHandling.h"
#include "Logging/LogManager.h"

#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace Logging;

namespace {

// Root "Req" (type "Request") with "Password" and a child "Login" (type "Credentials") with
// "Password" and "User", and a grandchild "Token" with "Secret".
EkNodePtr SampleTree() {
    EkNodePtr root = EkNodePtr::CreateNode(L"Req", L"Request");
    root.SetAttribute(L"Password", L"root-pass");
    EkNodePtr login = EkNodePtr::CreateNode(L"Login", L"Credentials");
    login.SetAttribute(L"Password", L"login-pass");
    login.SetAttribute(L"User", L"alice");
    EkNodePtr token = EkNodePtr::CreateNode(L"Token", L"Token");
    token.SetAttribute(L"Secret", L"s3cr3t");
    login.AddChild(token);
    root.AddChild(login);
    return root;
}

} // namespace

TEST(ParseHiddenNodeTypeAttrs, ItemsTypesAndNames) {
    const auto table =
        ParseHiddenNodeTypeAttrs(L" Credentials : Password , User ;;*:Secret;Credentials:Pin,");
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.at(L"Credentials"), (std::set<std::wstring>{L"Password", L"User", L"Pin"}));
    EXPECT_EQ(table.at(L"*"), (std::set<std::wstring>{L"Secret"}));
    EXPECT_TRUE(ParseHiddenNodeTypeAttrs(L"").empty());
}

TEST(ParseHiddenNodeTypeAttrs, ItemWithoutOrWithTwoColonsIsInvalid) {
    for (const wchar_t* bad : {L"Password", L"a:b:c", L"Credentials:Password;Secret"}) {
        try {
            ParseHiddenNodeTypeAttrs(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const HRX& error) {
            EXPECT_EQ(error.Code(), E_INVALIDARG);
        }
    }
}

TEST(MaskHiddenAttributes, TreeWithoutHiddenAttributesIsNotCopied) {
    const EkNodePtr root = SampleTree();
    const auto table = ParseHiddenNodeTypeAttrs(L"Other:Password;*:Missing");
    EXPECT_FALSE(MaskHiddenAttributes(root, table));
    EXPECT_FALSE(MaskHiddenAttributes(root, {}));
    // The dump then shows the node itself.
    EXPECT_TRUE(DumpNode(root, table).starts_with(L"EkNode[" + HexAddress(root.Get()) + L"]:"));
}

// Every node, a same-named sibling too, by "*" or by its type; the original keeps its values.
TEST(MaskHiddenAttributes, StarMasksEveryNodeAndTheOriginalKeepsItsValues) {
    const EkNodePtr root = SampleTree();
    root.AddChild(root.GetChildByName(L"Login").CloneNode());
    const EkNodePtr masked =
        MaskHiddenAttributes(root, ParseHiddenNodeTypeAttrs(L"*:Password;Token:Secret"));
    ASSERT_TRUE(masked);
    ASSERT_NE(masked.Get(), root.Get());
    EXPECT_EQ(masked.GetString(L"Password"), HiddenValueMask);
    for (uint64_t i = 0; i < 2; ++i) {
        const EkNodePtr login = masked.GetChildByIndex(i);
        EXPECT_EQ(login.GetString(L"Password"), HiddenValueMask) << i;
        EXPECT_EQ(login.GetString(L"User"), L"alice");
        EXPECT_EQ(login.GetChildByName(L"Token").GetString(L"Secret"), HiddenValueMask) << i;
    }
    EXPECT_EQ(root.GetString(L"Password"), L"root-pass");
    EXPECT_EQ(root.GetChildByName(L"Login").GetString(L"Password"), L"login-pass");
}

TEST(DumpNode, HeaderAndTextWithoutTheWrapper) {
    EXPECT_EQ(DumpNode(EkNodePtr(), {}), L"EkNode[<null>]");
    const EkNodePtr root = SampleTree();
    const std::wstring dump = DumpNode(root, ParseHiddenNodeTypeAttrs(L"Credentials:Password"));
    ASSERT_TRUE(dump.starts_with(L"EkNode[0x")) << dump;
    const auto header = dump.find(L"]:\r\n");
    ASSERT_NE(header, std::wstring::npos);
    EXPECT_EQ(header, 9u + 16u); // 16 hexadecimal digits
    const std::wstring text = dump.substr(header + 4);
    EXPECT_FALSE(text.starts_with(L"<nr>"));
    EXPECT_FALSE(text.ends_with(L"</nr>"));
    EXPECT_NE(text.find(L"root-pass"), std::wstring::npos);
    EXPECT_EQ(text.find(L"login-pass"), std::wstring::npos);
    EXPECT_NE(text.find(L"********"), std::wstring::npos);
}

TEST(NodeDumpLogSite, MalformedSettingEndsTheMessageWithTheExceptionMark) {
    ::setenv("GS_Logger_HiddenNodeTypeAttrs", "Credentials", 1);
    std::vector<std::wstring> messages;
    {
        LogCapture log;
        ASSERT_TRUE(log.Registered());
        const EkNodePtr root = SampleTree();
        LOG_AT(Logging::LOG_ERR, L"Request: " << NodeDump{root});
        messages = log.Messages();
    }
    ::unsetenv("GS_Logger_HiddenNodeTypeAttrs");
    EXPECT_EQ(messages, std::vector<std::wstring>{L"Request: ... (***EXCEPTION***)"});
}
