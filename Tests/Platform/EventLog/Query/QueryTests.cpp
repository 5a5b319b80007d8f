#include "PalEventLog/Query/Query.h"
#include "Platform/EventLog/TestStore.h"

#include "Win32/WinError.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace PalEventLog;
using namespace PalEventLog::Testing;

namespace {

class QueryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string xml;
        xml += EventXml("Application", 1, 4624, 2, "Alpha", "2024-01-01T10:00:00.0000000Z",
                        "<Data Name='Plan'>Plan A</Data><Data Name='Item'>Srv1</Data>",
                        "<Security UserID='S-1-5-18'/>");
        xml += EventXml("Application", 2, 4701, 4, "Beta", "2024-02-01T10:00:00.5000000Z",
                        "<Data>R&amp;D</Data><Data>a\"b</Data><Data>42</Data>");
        xml += EventXml("Application", 3, 100, 3, "Alpha", "2023-12-31T23:59:59.9990000Z", "");
        m_store = StoreOf(xml);
        Store::ReadLock lock(*m_store);
        m_channel = m_store->FindChannel(L"Application");
        ASSERT_EQ(m_channel->events.size(), 3u);
    }

    // Record ids of the events an XPath matches.
    std::vector<uint64_t> Matching(const std::wstring& xpath) {
        Expression e;
        QueryError error;
        EXPECT_TRUE(Expression::CompileFilter(xpath, e, error))
            << xpath << ": " << Base::Utf8FromWide(error.message);
        std::vector<uint64_t> ids;
        for (const Event& event : m_channel->events) {
            if (e.Matches(*m_store, *m_channel, event, 0)) {
                ids.push_back(event.recordId);
            }
        }
        return ids;
    }

    DWORD CompileError(const std::wstring& xpath, std::wstring* message = nullptr) {
        Expression e;
        QueryError error;
        if (Expression::CompileFilter(xpath, e, error)) {
            return 0;
        }
        if (message) {
            *message = error.message;
        }
        return error.code;
    }

    std::shared_ptr<Store> m_store;
    Channel* m_channel = nullptr;
};

using Ids = std::vector<uint64_t>;

// Each filter with the records it matches (1: Level 2, Alpha, S-1-5-18, Data Plan A and Srv1;
// 2: Level 4, Beta, Data R&D, a"b and 42; 3: Level 3, Alpha, no EventData).
TEST_F(QueryTest, FiltersMatchAsWindowsEvaluatesThem) {
    std::wstring nested = L"*[System[";
    for (int level = 45; level > 4; --level) {
        nested += L"Level=" + std::to_wstring(level) + L" or (";
    }
    nested += L"Level=2" + std::wstring(41, L')') + L"]]";
    const std::pair<std::wstring, Ids> cases[] = {
        {L"*", {1, 2, 3}},
        {L"Event", {1, 2, 3}},
        // Numbers compare numerically; values the events lack (Opcode, Version) match nothing,
        // whatever the comparison.
        {L"*[System[(Level=2)]]", {1}},
        {L"*[System[Level<=3]]", {1, 3}},
        {L"*[System[EventID >= 4700 and EventID <= 4702]]", {2}},
        {L"*[System[(EventID=4624) or (EventID=100)]]", {1, 3}},
        {L"*[System[EventRecordID!=2]]", {1, 3}},
        {L"*[System[Keywords=0x80000000000000]]", {1, 2, 3}},
        {L"*[System[Opcode=0 or Version!=1]]", {}},
        {L"*[System[Task=0 and Level>=3 and EventRecordID>1]]", {2, 3}},
        {L"*[System[Level=2] or System[EventID=100]]", {1, 3}},
        {nested, {1}},
        // Quoted numbers compare as text.
        {L"*[System[Level='2']]", {1}},
        {L"*[System[Level='02']]", {}},
        {L"*[System[Level=02]]", {1}},
        // Times compare as times, fractions included; a literal that is no date-time orders
        // nothing.
        {L"*[System[TimeCreated[@SystemTime >= '2024-01-01T00:00:00.000Z' and "
         L"@SystemTime <= '2024-01-31T23:59:59.999Z']]]",
         {1}},
        {L"*[System[TimeCreated[@SystemTime>'2024-02-01T10:00:00.4Z']]]", {2}},
        {L"*[System[TimeCreated[@SystemTime>='2024-01-01']]]", {}},
        // Attributes and existence.
        {L"*[System[Provider[@Name='Alpha']]]", {1, 3}},
        {L"*[System[Security[@UserID='S-1-5-18']]]", {1}},
        {L"*[System/Security]", {1}},
        {L"*[EventData[Data]]", {1, 2}},
        {L"Event/System[Level=4]", {2}},
        {L"*[System[Unknown=1]]", {}},
        // Data comparisons are existential.
        {L"*[EventData[Data='Srv1']]", {1}},
        {L"*[EventData[Data!='Srv1']]", {1, 2}},
        {L"*[EventData[Data=42]]", {2}},
        {L"*[EventData[Data[@Name='Plan']='Plan A']]", {1}},
        {L"*[EventData[Data[@Name='Item']='Plan A']]", {}},
        // Positions select leaf nodes.
        {L"*[EventData[Data[2]='Srv1']]", {1}},
        {L"*[EventData[Data[1]='Srv1']]", {}},
        {L"*[EventData[Data[position()=3]=42]]", {2}},
        {L"*[EventData[Data[1]!=\"Plan A\" and Data[1]!=\"R&D\"]]", {}},
        // Doubled delimiters are escaped quotes; entities are not decoded in a bare XPath.
        {L"*[EventData[Data=\"a\"\"b\"]]", {2}},
        {L"*[EventData[Data='R&D']]", {2}},
        {L"*[System[band(Keywords,0x80000000000000)]]", {1, 2, 3}},
        {L"*[System[band(Keywords,0x10000000000000)]]", {}},
        {L"*[System[band(Level,6)=4]]", {2}},
    };
    for (const auto& [xpath, ids] : cases) {
        EXPECT_EQ(Matching(xpath), ids) << Base::Utf8FromWide(xpath);
    }
}

// timediff() measures from the time the match is made at: a day, in milliseconds.
TEST_F(QueryTest, TimediffMeasuresFromTheMatchTime) {
    Expression e;
    QueryError error;
    ASSERT_TRUE(Expression::CompileFilter(
        L"*[System[TimeCreated[timediff(@SystemTime) <= 86400000]]]", e, error));
    const Event& first = m_channel->events[0];
    EXPECT_TRUE(e.Matches(*m_store, *m_channel, first, first.timeCreated + 1000));
    EXPECT_FALSE(e.Matches(*m_store, *m_channel, first, first.timeCreated + 864000010000ull));
}

TEST_F(QueryTest, ValuePathsSelectTypedValues) {
    Expression e;
    QueryError error;
    ASSERT_TRUE(Expression::CompileValuePath(L"/Event/System/TimeCreated/@SystemTime", e, error));
    std::vector<Expression::Value> values;
    e.ForEachValue(*m_store, *m_channel, m_channel->events[1], [&](const Expression::Value& v) {
        values.push_back(v);
        return true;
    });
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].type, Expression::Value::Type::Time);
    EXPECT_EQ(values[0].number, *ParseSystemTime(L"2024-02-01T10:00:00.5Z"));
    ASSERT_TRUE(Expression::CompileValuePath(L"Event/EventData/Data", e, error));
    EXPECT_TRUE(e.IsEventDataArrayPath());
    ASSERT_TRUE(Expression::CompileValuePath(L"Event/EventData/Data[1]", e, error));
    EXPECT_FALSE(e.IsEventDataArrayPath());
    EXPECT_FALSE(Expression::CompileValuePath(L"//Event/System", e, error));
}

TEST_F(QueryTest, InvalidQueriesNameTheProblem) {
    std::wstring message;
    EXPECT_EQ(CompileError(L"*[System[Level=]]", &message), ERROR_EVT_INVALID_QUERY);
    EXPECT_NE(message.find(L"position"), std::wstring::npos) << Base::Utf8FromWide(message);
    for (const wchar_t* xpath : {L"*[System[Level=2]", L"Foo[System]", L"*[System[1]]", L"*//Level",
                                 L"*[System[count(Level)=1]]", L"*[System[Level='2]]",
                                 L"*[System[2=2]]", L"*[System[Level=2]] extra"}) {
        EXPECT_EQ(CompileError(xpath), ERROR_EVT_INVALID_QUERY) << Base::Utf8FromWide(xpath);
    }
}

// Each query text that does not compile, with the code it fails with: XML that does not parse, an
// XPath that does not (named by its Query's Id), XML that is no query list, and a bare XPath, whose
// entities are not decoded.
TEST(CompiledQuery, ErrorsHaveTheirCodes) {
    const struct {
        const wchar_t* text;
        const wchar_t* path;
        DWORD code;
    } cases[] = {
        {L"<QueryList><Query Id='0'><Select Path='A'>*[System[Level<3]]</Select></Query>"
         L"</QueryList>",
         L"", ERROR_EVT_MALFORMED_XML_TEXT},
        {L"<QueryList><Query Id='7'><Select Path='A'>*[System[Level=]]</Select></Query>"
         L"</QueryList>",
         L"", ERROR_EVT_INVALID_QUERY},
        {L"<Foo/>", L"A", ERROR_EVT_INVALID_QUERY},
        {L"*[System[Level &lt; 3]]", L"A", ERROR_EVT_INVALID_QUERY},
    };
    for (const auto& c : cases) {
        CompiledQuery q;
        QueryError error;
        EXPECT_FALSE(CompiledQuery::Compile(c.text, c.path, false, q, error))
            << Base::Utf8FromWide(c.text);
        EXPECT_EQ(error.code, c.code) << Base::Utf8FromWide(c.text);
        if (c.text == cases[1].text) {
            EXPECT_NE(error.message.find(L"Id='7'"), std::wstring::npos);
        }
    }
}

TEST(CompiledQuery, StrictModeRefusesOverlongSelections) {
    std::wstring xpath = L"*[System[EventID=1";
    for (int i = 2; i <= 21; ++i) {
        xpath += L" or EventID=" + std::to_wstring(i);
    }
    xpath += L"]]";
    CompiledQuery q;
    QueryError error;
    EXPECT_TRUE(CompiledQuery::Compile(xpath.c_str(), L"A", false, q, error));
    ::setenv("PAL_EVENTLOG_STRICT_QUERIES", "1", 1);
    EXPECT_FALSE(CompiledQuery::Compile(xpath.c_str(), L"A", false, q, error));
    ::unsetenv("PAL_EVENTLOG_STRICT_QUERIES");
    EXPECT_EQ(error.code, ERROR_EVT_INVALID_QUERY);
    EXPECT_NE(error.message.find(L"21 conditions"), std::wstring::npos)
        << Base::Utf8FromWide(error.message);
}

} // namespace
