#include "Halyard/Corvane/EventLogFilterSerialiser.h"

#include "Common/Logging/LogTestSupport.h"
#include "Support/TestPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace Halyard::EventLogFilterSerialiser;

namespace {

using List = std::vector<std::wstring>;

EkNodePtr NewSet() {
    return EkNodePtr::CreateNode(L"Filters", nullptr);
}

// Adds a filter node of the given type to the set; with a list attribute when one is named.
EkNodePtr AddFilter(const EkNodePtr& set, const wchar_t* type, const wchar_t* listName = nullptr,
                    const List& values = {}) {
    EkNodePtr filter = EkNodePtr::CreateNode(L"Filter", type);
    if (listName != nullptr) {
        filter.SetAttribute(listName, values);
    }
    set.AddChild(filter);
    return filter;
}

struct Built {
    std::wstring query;
    std::wstring search;
    bool simple;
};

Built Build(const EkNodePtr& set, const wchar_t* channel = L"Application") {
    Serrializer builder(channel, set);
    const EkNodePtr result = builder.Serialize();
    return {result.GetString(L"QueryString"), result.GetString(L"SearchString"),
            result.GetBool(L"IsSimple")};
}

// The query of a Select (and, when given, a Suppress) on the Application channel.
std::wstring Query(const std::wstring& selection, const std::wstring& suppression = {}) {
    std::wstring query =
        L"<QueryList><Query Id=\"0\"><Select Path=\"Application\">" + selection + L"</Select>";
    if (!suppression.empty()) {
        query += L"<Suppress Path=\"Application\">" + suppression + L"</Suppress>";
    }
    return query + L"</Query></QueryList>";
}

template <typename Action>
HRESULT CodeOf(Action&& action) {
    try {
        action();
    } catch (const HRX& error) {
        return error.Code();
    }
    return S_OK;
}

} // namespace

// The documented forms, character for character: the worked examples, the whole log, and the
// channel path in both elements.
TEST(Serrializer, DocumentedExamples) {
    Serrializer builder(L"Application", EkNodePtr());
    const EkNodePtr result = builder.Serialize();
    EXPECT_EQ(result.GetNodeName(), L"");
    EXPECT_EQ(result.GetNodeType(), L"");
    const Built absent = Build(EkNodePtr());
    EXPECT_EQ(absent.query, Query(L"*"));
    EXPECT_EQ(absent.search, L"");
    EXPECT_TRUE(absent.simple);
    const Built empty = Build(NewSet());
    EXPECT_EQ(empty.query, absent.query);
    EXPECT_TRUE(empty.simple);

    EkNodePtr set = NewSet();
    const EkNodePtr date = AddFilter(set, L"DateFilter");
    date.SetAttribute(L"Since", std::wstring(L"2024-01-01T00:00:00.000Z"));
    date.SetAttribute(L"To", std::wstring(L"2024-01-31T23:59:59.999Z"));
    AddFilter(set, L"LevelFilter", L"Levels", {L"1", L"2"});
    AddFilter(set, L"EventIdFilter", L"EventIds", {L"4624", L"4700-4702", L"-4625"});
    const Built built = Build(set);
    EXPECT_EQ(
        built.query,
        LR"(<QueryList><Query Id="0"><Select Path="Application">*[System[TimeCreated[@SystemTime &gt;= '2024-01-01T00:00:00.000Z' and @SystemTime &lt;= '2024-01-31T23:59:59.999Z'] and (Level=1 or Level=2) and ((EventID=4624) or (EventID &gt;= 4700 and EventID &lt;= 4702))]]</Select><Suppress Path="Application">*[System[(EventID=4625)]]</Suppress></Query></QueryList>)");
    EXPECT_EQ(built.search, L"");
    EXPECT_FALSE(built.simple);

    set = NewSet();
    AddFilter(set, L"MonitoringPlanFilter", L"MonitoringPlans", {L"Plan A", L"R&D"});
    AddFilter(set, L"ItemFilter", L"Items", {L"Srv1"});
    EXPECT_EQ(
        Build(set).query,
        LR"(<QueryList><Query Id="0"><Select Path="Application">*[EventData[Data] and EventData[Data[2]="Srv1" or Data[2]="a3a7b447-337a-4254-917c-06cb684897a2"]]</Select><Suppress Path="Application">*[EventData[Data[1]!="Plan A" and Data[1]!="R&amp;D"]]</Suppress></Query></QueryList>)");

    set = NewSet();
    AddFilter(set, L"SuppressProviderFilter", L"Providers", {L"X"});
    AddFilter(set, L"MonitoringPlanFilter", L"MonitoringPlans", {L"P"});
    EXPECT_EQ(Build(set).query,
              Query(L"*[EventData[Data]]",
                    LR"(*[EventData[Data[1]!="P"] or System[Provider[@Name='X']]])"));

    set = NewSet();
    AddFilter(set, L"EventIdFilter", L"EventIds", {L"-1"});
    EXPECT_EQ(
        Build(set, L"Microsoft-Windows-Foo/Operational").query,
        LR"(<QueryList><Query Id="0"><Select Path="Microsoft-Windows-Foo/Operational">*</Select><Suppress Path="Microsoft-Windows-Foo/Operational">*[System[(EventID=1)]]</Suppress></Query></QueryList>)");

    // Lists present but empty keep their fixed forms; the item fix-up adds the fixed item to the
    // empty item list.
    set = NewSet();
    AddFilter(set, L"ProviderFilter", L"Providers", {});
    AddFilter(set, L"LevelFilter", L"Levels", {});
    AddFilter(set, L"SuppressProviderFilter", L"Providers", {});
    AddFilter(set, L"MonitoringPlanFilter", L"MonitoringPlans", {});
    AddFilter(set, L"ItemFilter", L"Items", {});
    AddFilter(set, L"EventIdFilter", L"EventIds", {});
    EXPECT_EQ(Build(set).query, Query(L"*[System[Provider[Error] and ()] and EventData[Data[2]=\"" +
                                          std::wstring(FixedItemId) + L"\"]]",
                                      L"*[System[Provider[]]]"));
}

// The item fix-up works on a copy: the caller's filters keep their items.
TEST(Serrializer, ItemFixUpChangesOnlyTheCopy) {
    const EkNodePtr set = NewSet();
    const EkNodePtr item = AddFilter(set, L"ItemFilter", L"Items", {L"Srv1"});
    AddFilter(set, L"MonitoringPlanFilter", L"MonitoringPlans", {L"P"});

    const Built built = Build(set);
    EXPECT_NE(built.query.find(FixedItemId), std::wstring::npos);
    List items;
    ASSERT_TRUE(item.GetAttribute(L"Items", items, true));
    EXPECT_EQ(items, List{L"Srv1"});
}

// The search text is handed on (the last one counts), never put in the query.
TEST(Serrializer, SearchFilterIsHandedOnNotQueried) {
    const EkNodePtr set = NewSet();
    AddFilter(set, L"SearchFilter").SetAttribute(L"SearchString", std::wstring(L"first"));
    AddFilter(set, L"SearchFilter").SetAttribute(L"SearchString", std::wstring(L"Logon <x>"));
    const Built built = Build(set);
    EXPECT_EQ(built.query, Query(L"*"));
    EXPECT_EQ(built.search, L"Logon <x>");
    EXPECT_FALSE(built.simple);
}

// Builders on several threads build what one builder builds alone.
TEST(Serrializer, BuildersOnSeveralThreadsShareNothing) {
    const auto build = [](size_t t) {
        const EkNodePtr set = NewSet();
        AddFilter(set, L"LevelFilter", L"Levels", {std::to_wstring(t)});
        AddFilter(set, L"MonitoringPlanFilter", L"MonitoringPlans", {L"P"});
        AddFilter(set, L"ItemFilter", L"Items", {L"I"});
        return Build(set).query;
    };
    std::vector<std::wstring> queries(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < queries.size(); ++t) {
        threads.emplace_back([&queries, &build, t] {
            for (int round = 0; round < 200; ++round) {
                queries[t] = build(t);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t t = 0; t < queries.size(); ++t) {
        EXPECT_EQ(queries[t], build(t));
    }
}

// Bad input.

TEST(Serrializer, MissingRequiredAttributeRaisesNotFound) {
    const struct {
        const wchar_t* type;
        const wchar_t* attribute;
    } required[] = {{L"LevelFilter", L"Levels"},
                    {L"ProviderFilter", L"Providers"},
                    {L"SuppressProviderFilter", L"Providers"},
                    {L"EventIdFilter", L"EventIds"},
                    {L"MonitoringPlanFilter", L"MonitoringPlans"},
                    {L"ItemFilter", L"Items"},
                    {L"SearchFilter", L"SearchString"}};
    for (const auto& kind : required) {
        const EkNodePtr set = NewSet();
        AddFilter(set, L"LevelFilter", L"Levels", {L"1"});
        // Present under another name only.
        AddFilter(set, kind.type, L"Other", {L"x"});
        Serrializer builder(L"Application", set);
        EkNodePtr result;
        EXPECT_EQ(CodeOf([&] { result = builder.Serialize(); }), HR_NOT_FOUND) << kind.type;
        EXPECT_FALSE(result) << kind.type;
    }
}

TEST(Serrializer, ItemFixUpWithoutItemsRaisesNotFoundAtConstruction) {
    const EkNodePtr set = NewSet();
    AddFilter(set, L"MonitoringPlanFilter", L"MonitoringPlans", {L"P"});
    AddFilter(set, L"ItemFilter");
    EXPECT_EQ(CodeOf([&] { Serrializer builder(L"Application", set); }), HR_NOT_FOUND);
}

// Client values cannot leave the element they are put in: a value that tries to close the Select
// and open one on another channel stays text inside the configured channel's selection.
TEST(Serrializer, ClientValuesCannotInjectElements) {
    const std::wstring attack =
        LR"(x']]</Select><Select Path="Security">*</Select><Select Path="Application">*[System[Provider[@Name='x)";
    const std::wstring escaped =
        LR"(x']]&lt;/Select&gt;&lt;Select Path="Security"&gt;*&lt;/Select&gt;&lt;Select Path="Application"&gt;*[System[Provider[@Name='x)";
    // In a provider name the apostrophes are doubled as well: the name stays one quoted text.
    const std::wstring inName =
        LR"(x'']]&lt;/Select&gt;&lt;Select Path="Security"&gt;*&lt;/Select&gt;&lt;Select Path="Application"&gt;*[System[Provider[@Name=''x)";

    const EkNodePtr set = NewSet();
    const EkNodePtr date = AddFilter(set, L"DateFilter");
    date.SetAttribute(L"Since", attack);
    date.SetAttribute(L"To", std::wstring(L"&"));
    AddFilter(set, L"LevelFilter", L"Levels", {attack});
    AddFilter(set, L"ProviderFilter", L"Providers", {attack});
    AddFilter(set, L"SuppressProviderFilter", L"Providers", {L"<S>"});
    AddFilter(set, L"EventIdFilter", L"EventIds", {L"<1>", L"<2-&3", L"-</Suppress>"});

    const Built built = Build(set);
    EXPECT_EQ(built.query,
              Query(L"*[System[TimeCreated[@SystemTime &gt;= '" + escaped +
                        L"' and @SystemTime &lt;= '&amp;'] and (Level=" + escaped +
                        L") and Provider[@Name='" + inName +
                        L"'] and ((EventID=&lt;1&gt;) or (EventID &gt;= &lt;2 and EventID &lt;= "
                        L"&amp;3))]]",
                    L"*[System[Provider[@Name='&lt;S&gt;'] and (EventID=&lt;/Suppress&gt;)]]"));
    // Exactly the markup of one Select and one Suppress remains.
    EXPECT_EQ(std::count(built.query.begin(), built.query.end(), L'<'), 8);
    EXPECT_EQ(built.query.find(L"Path=\"Security\">"), std::wstring::npos);
}

TEST(Serrializer, HugeInputsAreBuiltWhole) {
    const EkNodePtr set = NewSet();
    List ids;
    for (int i = 0; i < 100000; ++i) {
        ids.push_back(std::to_wstring(i));
    }
    AddFilter(set, L"EventIdFilter", L"EventIds", ids);
    const std::wstring provider(1 << 20, L'p');
    AddFilter(set, L"ProviderFilter", L"Providers", {provider});

    const std::wstring query = Build(set).query;
    size_t conditions = 0;
    for (size_t at = query.find(L"EventID="); at != std::wstring::npos;
         at = query.find(L"EventID=", at + 1)) {
        ++conditions;
    }
    EXPECT_EQ(conditions, 100000u);
    EXPECT_NE(query.find(L" or EventID=99999)) and Provider[@Name='" + provider + L"']]]</Select>"),
              std::wstring::npos);
}

// The queries as the Event Log runs them.

namespace {

struct StoreEvent {
    uint64_t record;
    int level;
    int id;
    const char* provider;
    const char* time;
    std::vector<std::string> data; // escaped XML text of each Data; none: no EventData
};

// Application's events in the store of this program.
const std::vector<StoreEvent> kStoreEvents = {
    {1, 2, 4624, "Alpha", "2024-01-05T10:00:00.000Z", {"Plan A", "Srv1"}},
    {2, 4, 4625, "Alpha", "2024-01-10T00:00:00.000Z", {"R&amp;D", "Srv2"}},
    {3, 3, 4700, "Beta", "2024-01-20T00:00:00.000Z", {"x&lt;y&gt;", "Srv1"}},
    {4,
     1,
     4702,
     "Beta",
     "2024-02-01T00:00:00.000Z",
     {"say \"hi\"", "a3a7b447-337a-4254-917c-06cb684897a2"}},
    {5, 2, 4703, "Gamma", "2023-12-31T23:59:59.999Z", {}},
    {6, 4, 4701, "Alpha", "2024-01-31T23:59:59.999Z", {"Plan A", "Srv3"}},
    {7, 4, 4800, "Beta", "2024-01-15T00:00:00.000Z", {"Plan A", "Srv1"}},
    {8,
     4,
     4900,
     "O&apos;Brien",
     "2024-03-01T00:00:00.000Z",
     {"R&amp;D", "Srv &quot;3&quot; &lt;4&gt;"}},
};

// The store: a folder of the events above, chosen before the program's first Event Log call and
// removed at exit. Not watched: nothing is added to it.
class QueryStore {
public:
    QueryStore() {
        std::string xml;
        for (const StoreEvent& e : kStoreEvents) {
            xml += "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                   "<Provider Name='" +
                   std::string(e.provider) + "'/><EventID>" + std::to_string(e.id) +
                   "</EventID><Level>" + std::to_string(e.level) +
                   "</Level><TimeCreated SystemTime='" + e.time + "'/><EventRecordID>" +
                   std::to_string(e.record) +
                   "</EventRecordID><Channel>Application</Channel><Computer>c</Computer></System>";
            if (!e.data.empty()) {
                xml += "<EventData>";
                for (const std::string& value : e.data) {
                    xml += "<Data>" + value + "</Data>";
                }
                xml += "</EventData>";
            }
            xml += "</Event>\n";
        }
        m_folder.Write("Application.xml", xml);
        ::setenv("PAL_EVENTLOG_DIR", m_folder.Path().c_str(), 1);
        ::setenv("PAL_EVENTLOG_POLL_MS", "0", 1);
    }

private:
    TempDirectory m_folder;
};
const QueryStore g_queryStore;

// The record ids the query selects, in order; nothing (and a failure) when EvtQuery refuses it.
std::vector<uint64_t> Selected(const std::wstring& query) {
    std::vector<uint64_t> records;
    EVT_HANDLE resultSet = EvtQuery(nullptr, L"Application", query.c_str(), EvtQueryChannelPath);
    EXPECT_NE(resultSet, nullptr) << "error " << GetLastError();
    EVT_HANDLE context = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
    EVT_HANDLE events[16];
    DWORD returned = 0;
    while (resultSet != nullptr && EvtNext(resultSet, 16, events, 0, 0, &returned)) {
        for (DWORD i = 0; i < returned; ++i) {
            EVT_VARIANT values[64];
            DWORD used = 0;
            DWORD count = 0;
            EXPECT_TRUE(EvtRender(context, events[i], EvtRenderEventValues, sizeof values, values,
                                  &used, &count));
            records.push_back(values[EvtSystemEventRecordId].UInt64Val);
            EvtClose(events[i]);
        }
    }
    EvtClose(context);
    if (resultSet != nullptr) {
        EvtClose(resultSet);
    }
    return records;
}

using Records = std::vector<uint64_t>;

// One filter of a case: a date filter's values are its Since and To (when given), a search
// filter's its text; any other filter gets its list, as integers when `integers` says so.
struct FilterRow {
    const wchar_t* type;
    const wchar_t* attribute;
    List values;
    bool integers = false;
};

void Add(const EkNodePtr& set, const FilterRow& row) {
    const EkNodePtr filter = AddFilter(set, row.type);
    if (std::wstring_view(row.type) == L"DateFilter") {
        for (size_t i = 0; i < row.values.size(); ++i) {
            filter.SetAttribute(i == 0 ? L"Since" : L"To", row.values[i]);
        }
    } else if (std::wstring_view(row.type) == L"SearchFilter") {
        filter.SetAttribute(L"SearchString", row.values.at(0));
    } else if (row.integers) {
        std::vector<int32_t> numbers;
        for (const std::wstring& value : row.values) {
            numbers.push_back(std::stoi(value));
        }
        filter.SetAttribute(row.attribute, numbers);
    } else {
        filter.SetAttribute(row.attribute, row.values);
    }
}

} // namespace

// Every kind of filter, alone and in the combinations whose conditions meet, selects exactly the
// events it describes when the Event Log runs its query.
TEST(SerrializerQueries, SelectTheEventsTheFiltersDescribe) {
    if (TestPlatform::IsWine()) {
        GTEST_SKIP() << "Wine's wevtapi runs no query";
    }
    const List planned = {L"Plan A", L"R&D", L"say \"hi\""};
    struct Case {
        const char* what;
        std::vector<FilterRow> filters;
        Records expected;
    };
    const std::vector<Case> cases = {
        {"no filter", {}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"dates, both bounds included",
         {{L"DateFilter", nullptr, {L"2024-01-05T10:00:00.000Z", L"2024-01-31T23:59:59.999Z"}}},
         {1, 2, 3, 6, 7}},
        {"since only", {{L"DateFilter", nullptr, {L"2024-01-20T00:00:00.000Z"}}}, {3, 4, 6, 8}},
        {"to only", {{L"DateFilter", nullptr, {L"", L"2024-01-10T00:00:00.000Z"}}}, {1, 2, 5}},
        {"no bound", {{L"DateFilter", nullptr, {L""}}}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"levels", {{L"LevelFilter", L"Levels", {L"1", L"2"}}}, {1, 4, 5}},
        {"levels written as integers",
         {{L"LevelFilter", L"Levels", {L"4", L"1"}, true}},
         {2, 4, 6, 7, 8}},
        {"repeated kinds all hold",
         {{L"LevelFilter", L"Levels", {L"2", L"4"}},
          {L"ProviderFilter", L"Providers", {L"Alpha", L"Beta"}},
          {L"LevelFilter", L"Levels", {L"4"}}},
         {2, 6, 7}},
        {"unknown types (case included) are skipped",
         {{L"TimeFilter", L"Levels", {L"1"}},
          {L"levelfilter", L"Levels", {L"2"}},
          {L"", L"Levels", {L"3"}},
          {L"LevelFilter", L"Levels", {L"4"}}},
         {2, 6, 7, 8}},
        {"providers, one with an apostrophe",
         {{L"ProviderFilter", L"Providers", {L"Alpha", L"O'Brien"}}},
         {1, 2, 6, 8}},
        {"no provider", {{L"ProviderFilter", L"Providers", {}}}, {}},
        {"suppressed providers, one with an apostrophe",
         {{L"SuppressProviderFilter", L"Providers", {L"Beta", L"O'Brien"}}},
         {1, 2, 5, 6}},
        {"event ids, a range and a denied one",
         {{L"EventIdFilter", L"EventIds", {L"4624", L"4700-4702", L"-4701"}}},
         {1, 3, 4}},
        {"event ids, denied only",
         {{L"EventIdFilter", L"EventIds", {L"-4625", L"-4800"}}},
         {1, 3, 4, 5, 6, 8}},
        {"event ids, ranges only",
         {{L"EventIdFilter", L"EventIds", {L"4624-4625", L"4701-4702"}}},
         {1, 2, 4, 6}},
        {"a denied id suppresses only with the suppressed provider",
         {{L"SuppressProviderFilter", L"Providers", {L"Alpha"}},
          {L"EventIdFilter", L"EventIds", {L"-4625", L"-4800"}}},
         {1, 3, 4, 5, 6, 7, 8}},
        {"plans with &, <, > and quotes",
         {{L"MonitoringPlanFilter", L"MonitoringPlans", {L"R&D", L"x<y>", L"say \"hi\""}}},
         {2, 3, 4, 8}},
        {"items, one with quotes, < and >",
         {{L"ItemFilter", L"Items", {L"Srv1", L"Srv \"3\" <4>"}}},
         {1, 3, 7, 8}},
        {"items with plans take the fixed item too",
         {{L"ItemFilter", L"Items", {L"Srv1"}},
          {L"MonitoringPlanFilter", L"MonitoringPlans", {L"Plan A", L"say \"hi\""}}},
         {1, 4, 7}},
        {"the fixed item goes to the last item filter before the plans",
         {{L"ItemFilter", L"Items", {L"Srv1"}},
          {L"ItemFilter", L"Items", {L"Srv1", L"Srv2"}},
          {L"MonitoringPlanFilter", L"MonitoringPlans", planned},
          {L"ItemFilter", L"Items", {L"Srv1"}}},
         {1, 2, 7}},
        {"plans or a suppressed provider",
         {{L"SuppressProviderFilter", L"Providers", {L"Beta"}},
          {L"MonitoringPlanFilter", L"MonitoringPlans", {L"Plan A"}}},
         {1, 6}},
        {"everything at once",
         {{L"SearchFilter", nullptr, {L"x"}},
          {L"DateFilter", nullptr, {L"", L"2024-01-31T00:00:00Z"}},
          {L"LevelFilter", L"Levels", {L"2", L"3", L"4"}},
          {L"ProviderFilter", L"Providers", {L"Alpha", L"Beta"}},
          {L"EventIdFilter", L"EventIds", {L"4600-4800", L"-4625"}},
          {L"ItemFilter", L"Items", {L"Srv1", L"Srv2"}}},
         {1, 3, 7}},
    };
    for (const Case& c : cases) {
        const EkNodePtr set = NewSet();
        for (const FilterRow& row : c.filters) {
            Add(set, row);
        }
        const std::wstring query = Build(set).query;
        EXPECT_EQ(Selected(query), c.expected) << c.what << "\n" << Base::Utf8FromWide(query);
    }
}

// A list that is present but empty makes a condition the Event Log refuses; the caller then
// reports its filter error.
TEST(SerrializerQueries, AnEmptyLevelListIsRefusedByTheEventLog) {
    if (TestPlatform::IsWine()) {
        GTEST_SKIP() << "Wine's wevtapi runs no query";
    }
    const EkNodePtr set = NewSet();
    AddFilter(set, L"LevelFilter", L"Levels", {});
    const std::wstring query = Build(set).query;
    EXPECT_EQ(EvtQuery(nullptr, L"Application", query.c_str(), EvtQueryChannelPath), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_EVT_INVALID_QUERY));
}

// Event-id records.

// What the builder logs at the most detailed severity: each record's class, the record it cannot
// classify, the trace of the classification, the node it skips and the query it built.
TEST(SerrializerLog, NamesRecordsSkippedNodesAndTheQuery) {
    const LogCapture log("DBG3");
    ASSERT_TRUE(log.Registered());
    const EkNodePtr set = NewSet();
    AddFilter(set, L"EventIdFilter", L"EventIds", {L"4624", L"4700-4702", L"-4625", L"1-2-3"});
    AddFilter(set, L"TimeFilter", L"Levels", {L"7"});
    const Built built = Build(set);
    for (const std::wstring& text :
         {std::wstring(L"Entering: Halyard::EventLogFilterSerialiser::Serrializer::"
                       L"SeparateEventsRecords"),
          std::wstring(L"4624 is simple."), std::wstring(L"4700-4702 is range."),
          std::wstring(L"-4625 is deny."),
          std::wstring(L"Halyard::EventLogFilterSerialiser::Serrializer::SeparateEventsRecords "
                       L"failed: Unknown events record type: 1-2-3"),
          L"Serialized filters: " + built.query}) {
        EXPECT_EQ(log.Count(text), 1u) << Base::Utf8FromWide(text);
    }
    const std::vector<std::wstring> skipped = log.Starting(L"Invalid filter node: EkNode[0x");
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_NE(skipped[0].find(L"TimeFilter"), std::wstring::npos) << Base::Utf8FromWide(skipped[0]);
}

TEST(SeparateEventsRecords, ClassifiesEveryRecordForm) {
    List simple;
    std::vector<EventIdRange> ranges;
    List deny;
    Serrializer::SeparateEventsRecords({L"4624", L"4624-", L"-4625", L"4700-4702", L"4700--4702",
                                        L"1-2-3", L"", L"-", L"--5", L"9-1", L"-x-y", L"a"},
                                       simple, ranges, deny);
    EXPECT_EQ(simple, (List{L"4624", L"4624-", L"a"}));
    EXPECT_EQ(ranges,
              (std::vector<EventIdRange>{{L"4700", L"4702"}, {L"4700", L"4702"}, {L"9", L"1"}}));
    EXPECT_EQ(deny, (List{L"4625", L"", L"-5", L"x-y"}));
}

// The text helper the handlers fill their templates with; the other helpers show in the queries.

TEST(FilterTextHelpers, FormatFillsPercentSAndRejectsWhatItCannotFill) {
    EXPECT_EQ(Format(L"%s=%s", {L"Level", L"1"}), L"Level=1");
    EXPECT_EQ(Format(L"100%% of %s", {L"%s"}), L"100% of %s");
    EXPECT_EQ(Format(L"", {}), L"");

    EXPECT_EQ(CodeOf([] { Format(L"%s=%s", {L"one"}); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { Format(L"%s", {L"one", L"two"}); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { Format(L"%d", {L"1"}); }), E_INVALIDARG);
    EXPECT_EQ(CodeOf([] { Format(L"trailing %", {}); }), E_INVALIDARG);
}
