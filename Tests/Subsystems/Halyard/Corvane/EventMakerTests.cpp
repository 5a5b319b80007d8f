#include "Halyard/Corvane/EventMaker.h"

#include "EventLogTestSupport.h"
#include "Halyard/Corvane/InsertionalStringsResolver.h"
#include "Logging/NodeDump.h"
#include "Win32/PalEventLogFaults.h"

#include <map>
#include <optional>
#include <set>

using namespace EventLogTesting;
using EventsApiUtils::SmartEvtVector;
using EventsApiUtils::SmartHandle;
using Halyard::EventMaker;

namespace {

using Names = std::vector<std::wstring>;

const Names SystemAttributes = {
    L"EventId",  L"Qualifier",    L"Task",    L"Version",  L"Level",       L"Opcode", L"Keywords",
    L"RecordId", L"ProviderName", L"Channel", L"Computer", L"TimeCreated", L"User"};

// Accounts of the test store and the well-known SIDs the store's events carry.
std::wstring ExpectedUser(const std::wstring& sid) {
    static const std::map<std::wstring, std::wstring> accounts = {
        {L"S-1-5-21-1004336348-1177238915-682003330-1001", L"CORVANE\\alice"},
        {L"S-1-5-21-1004336348-1177238915-682003330-1002", L"CORVANE\\bob"},
        {L"S-1-5-21-1004336348-1177238915-682003330-1003", L"CORVANE\\svc-backup"},
        {L"S-1-5-18", L"NT AUTHORITY\\SYSTEM"},
        {L"S-1-5-19", L"NT AUTHORITY\\LOCAL SERVICE"},
        {L"S-1-5-20", L"NT AUTHORITY\\NETWORK SERVICE"},
        {L"S-1-5-32-544", L"BUILTIN\\Administrators"},
        {L"S-1-1-0", L"Everyone"},
    };
    if (sid.empty()) {
        return L"N/A";
    }
    const auto found = accounts.find(sid);
    return found != accounts.end() ? found->second : sid;
}

// The node of an event against the event's XML: the system attributes in order with their
// values, and "Message" (the formatted message, or the failure text when the provider has no
// metadata) when the provider name is not empty.
void ExpectNodeAsStoreHoldsIt(const EkNodePtr& node, EVT_HANDLE event) {
    const EventXml xml(event);
    const std::wstring provider = xml.Attribute("Provider", "Name");
    SCOPED_TRACE(L"record " + xml.Text("EventRecordID"));
    Names names = SystemAttributes;
    if (!provider.empty()) {
        names.emplace_back(L"Message");
    }
    ASSERT_EQ(node.GetAttributeNames(), names);
    EXPECT_EQ(node.GetNodeType(), L"EventInfo");
    EXPECT_EQ(node.GetNodeName(), L"");
    EXPECT_EQ(node.GetInt64(L"EventId"), xml.Number("EventID"));
    const std::wstring qualifiers = xml.Attribute("EventID", "Qualifiers");
    EXPECT_EQ(node.GetInt64(L"Qualifier"), qualifiers.empty() ? 0 : std::stoll(qualifiers));
    EXPECT_EQ(node.GetInt64(L"Task"), xml.Number("Task"));
    EXPECT_EQ(node.GetInt64(L"Version"), xml.Number("Version"));
    EXPECT_EQ(node.GetInt64(L"Level"), xml.Number("Level"));
    EXPECT_EQ(node.GetInt64(L"Opcode"), xml.Number("Opcode"));
    EXPECT_EQ(node.GetInt64(L"Keywords"), xml.Number("Keywords", 16));
    EXPECT_EQ(node.GetInt64(L"RecordId"), xml.Number("EventRecordID"));
    EXPECT_EQ(node.GetString(L"ProviderName"), provider);
    EXPECT_EQ(node.GetString(L"Channel"), xml.Text("Channel"));
    EXPECT_EQ(node.GetString(L"Computer"), xml.Text("Computer"));
    EXPECT_EQ(node.GetString(L"TimeCreated"),
              xml.Attribute("TimeCreated", "SystemTime").substr(0, 19) + L"Z");
    EXPECT_EQ(node.GetString(L"User"), ExpectedUser(xml.Attribute("Security", "UserID")));
    if (provider.empty()) {
        return;
    }
    const std::wstring message = node.GetString(L"Message");
    if (const auto expected = ApiMessage(event, provider)) {
        EXPECT_EQ(message, *expected);
    } else {
        EXPECT_TRUE(message.starts_with(L"0x80042001 ")) << message;
        EXPECT_EQ(message.find(L" ["), std::wstring::npos) << "no location: " << message;
    }
}

// Renders the events in one batch; each node must be its event as the store holds it.
void ExpectRenderedAsStoreHoldsThem(EventMaker& maker, const SmartEvtVector& events) {
    const std::vector<EkNodePtr> nodes = maker.MakeEvents(events, nullptr, nullptr);
    ASSERT_EQ(nodes.size(), events.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        ExpectNodeAsStoreHoldsIt(nodes[i], *events[i]);
    }
}

EkNodePtr Node(const wchar_t* name, const wchar_t* type = nullptr) {
    return EkNodePtr::CreateNode(name, type);
}

// The Application channel's events, oldest first, and its classic log.
struct ApplicationEvents {
    QueriedEvents all = AllEvents(L"Application", EvtQueryChannelPath);
    const SmartEvtVector& events = all.events;
    SmartHandle classicLog = Halyard::GetEventLog(L"Application");
};

// Renders one Application record.
EkNodePtr MakeRecord(EventMaker& maker, uint32_t record, const SmartHandle& classicLog,
                     const Halyard::InsertionalStringsResolver* resolver) {
    const QueriedEvents one = ApplicationRecord(record);
    return maker.MakeEvent(*one.events.at(0), classicLog, resolver);
}

} // namespace

TEST(EventMaker, RendersEverySampleEventAsTheStoreHoldsIt) {
    EventMaker maker;
    for (const wchar_t* channel :
         {L"Application", L"System", L"Security", L"Corvane/Operational"}) {
        SCOPED_TRACE(channel);
        const QueriedEvents queried = AllEvents(channel, EvtQueryChannelPath);
        ASSERT_GE(queried.events.size(), 1500u);
        ExpectRenderedAsStoreHoldsThem(maker, queried.events);
    }
}

// Windows 11 and Server 2022 have rendered 16 system properties, without the user and the
// version: the events come out the same, and so does the log.
TEST(EventMaker, SixteenSystemPropertiesGiveTheSameEvents) {
    const ApplicationEvents application;
    std::vector<std::wstring> logged[2];
    for (const DWORD sixteen : {0u, 1u}) {
        PalEventLogSetBehaviour(PalSystemRender16, sixteen);
        const LogCapture log("ERR");
        EventMaker maker;
        ExpectRenderedAsStoreHoldsThem(maker, application.events);
        logged[sixteen] = log.Texts();
    }
    PalEventLogClearFaults();
    EXPECT_EQ(logged[1], logged[0]);
}

TEST(EventMaker, RendersRealLogsAsTheStoreHoldsThem) {
    const auto files = SharedEvtxFiles();
    if (files.empty()) {
        GTEST_SKIP() << "no shared evtx samples";
    }
    EventMaker maker;
    const LogCapture log("ERR");
    size_t rendered = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const QueriedEvents queried = AllEvents(file.wstring(), EvtQueryFilePath);
        ExpectRenderedAsStoreHoldsThem(maker, queried.events);
        rendered += queried.events.size();
    }
    EXPECT_EQ(rendered, 16018u);
    // Every system value has the type its property has on Windows.
    EXPECT_TRUE(log.Starting(L"Unknown event").empty()) << log.Starting(L"Unknown event")[0];
}

// A user SID that no account maps to (a deleted account, a foreign domain) renders as its SID
// text and the event is complete; the failed lookup is logged at DBG. Only that answer is
// remembered.
TEST(EventMaker, UnmappedUserRendersAsItsSidText) {
    const ApplicationEvents application;
    EventMaker maker;
    const LogCapture log("DBG");
    const EkNodePtr node = MakeRecord(maker, UnmappedUserRecord, application.classicLog, nullptr);
    EXPECT_EQ(node.GetString(L"User"), UnmappedSid);
    EXPECT_EQ(node.GetString(L"Message"), L"The demo service started in 12 ms.");
    const auto lines = log.Starting(L"Account of " + std::wstring(UnmappedSid) +
                                    L" not obtained due to: 0x80070534");
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(MakeRecord(maker, UpperCaseItemRecord, nullptr, nullptr).GetString(L"User"),
              L"Everyone");
    // A lookup that fails for a reason that passes (the domain controller unreachable) shows the
    // SID text, and keeps it without asking again until the maker forgets its failures.
    PalEventLogInjectFault("LookupAccountSidW", RPC_S_SERVER_UNAVAILABLE, 0, 1, 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(MakeRecord(maker, UnresolvedInsertRecord, nullptr, nullptr).GetString(L"User"),
                  L"S-1-5-18");
    }
    maker.ForgetFailures();
    EXPECT_EQ(MakeRecord(maker, UnresolvedInsertRecord, nullptr, nullptr).GetString(L"User"),
              L"NT AUTHORITY\\SYSTEM");
}

// A provider without metadata gets the failure text as its message; the failed open is remembered
// until the maker forgets its failures, then tried again; a provider with metadata opens it once.
// A message that fails to format gets its failure's text too: the same for each event of that
// failure, another for another failure, and a line for each event.
TEST(EventMaker, ProviderWithoutMetadataGetsTheFailureTextAndIsTriedAgain) {
    const ApplicationEvents application;
    EventMaker maker;
    const LogCapture log("DBG2");
    size_t imported = 0;
    std::set<std::wstring> messages;
    for (int page = 0; page < 2; ++page) {
        maker.ForgetFailures();
        for (const EkNodePtr& node : maker.MakeEvents(application.events, nullptr, nullptr)) {
            if (node.GetString(L"ProviderName") == L"Imported-Provider") {
                ++imported;
                const std::wstring message = node.GetString(L"Message");
                EXPECT_TRUE(message.starts_with(L"0x80042001 ")) << message;
                EXPECT_NE(message.find(L"(0x80070002 "), std::wstring::npos) << message;
                messages.insert(message);
            }
        }
    }
    ASSERT_GE(imported, 4u);
    // The first event of the provider on a page and the events after it read alike.
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(log.Count(L"Open provider metadata: Imported-Provider"), 2u);
    EXPECT_EQ(log.Count(L"Provider's metadata failed to open before: Imported-Provider"),
              imported - 2);
    EXPECT_EQ(log.Count(L"Open provider metadata: Halyard-Monitor"), 1u);
    EXPECT_GE(log.Count(L"Provider's metadata already opened: Halyard-Monitor"), 1u);
    const auto failureLines = [&] {
        return log
            .Starting(L"Halyard::EventMaker::GetEventMessageString failed: Failed getting event "
                      L"message due to: 0x80042001 ")
            .size();
    };
    EXPECT_EQ(failureLines(), imported);

    const auto messagesFailingWith = [&](DWORD error) {
        PalEventLogInjectFault("EvtFormatMessage", error, 0, 3, 0);
        std::set<std::wstring> texts;
        for (int i = 0; i < 3; ++i) {
            texts.insert(
                MakeRecord(maker, UpperCaseItemRecord, nullptr, nullptr).GetString(L"Message"));
        }
        return texts;
    };
    const std::set<std::wstring> notFound = messagesFailingWith(ERROR_EVT_MESSAGE_NOT_FOUND);
    const std::set<std::wstring> denied = messagesFailingWith(ERROR_ACCESS_DENIED);
    ASSERT_EQ(notFound.size(), 1u);
    ASSERT_EQ(denied.size(), 1u);
    EXPECT_TRUE(notFound.begin()->starts_with(L"0x80042001 ")) << *notFound.begin();
    EXPECT_NE(notFound.begin()->find(L"(0x80073AB3 "), std::wstring::npos) << *notFound.begin();
    EXPECT_NE(denied.begin()->find(L"(0x80070005 "), std::wstring::npos) << *denied.begin();
    EXPECT_EQ(failureLines(), imported + 6);
    const std::wstring message =
        MakeRecord(maker, UpperCaseItemRecord, nullptr, nullptr).GetString(L"Message");
    EXPECT_FALSE(message.starts_with(L"0x80042001 ")) << message;
}

// A search builds only the events it finds, yet finds exactly the events whose full nodes hold its
// text (as made when DBG3 traces every event), with the same nodes and the same log apart from
// the DBG3 lines; on the first events of each real log too.
TEST(EventMaker, SearchFindsWhatTheFullNodesShow) {
    const Halyard::InsertionalStringsResolver resolver(ResolverConfiguration());
    std::vector<std::pair<QueriedEvents, SmartHandle>> logs;
    logs.emplace_back(AllEvents(L"Application", EvtQueryChannelPath),
                      Halyard::GetEventLog(L"Application"));
    for (const auto& file : SharedEvtxFiles()) {
        logs.emplace_back(AllEvents(file.wstring(), EvtQueryFilePath), nullptr);
    }
    for (auto& log : logs) {
        log.first.events.resize(std::min<size_t>(log.first.events.size(), 400));
    }
    // The messages without indentation and without the callers' addresses, which differ.
    const auto untraced = [](const LogCapture& log) {
        std::vector<std::wstring> texts;
        for (const std::wstring& line : log.Lines()) {
            if (line.find(L"| DBG3 |") == std::wstring::npos) {
                std::wstring text = MessageOf(line);
                text.erase(0, text.find_first_not_of(L' '));
                texts.push_back(text.substr(0, text.rfind(L" [0x")));
            }
        }
        return texts;
    };
    for (const std::wstring_view search : {L"warn", L"2001", L"s-1-5-21", L"not in any event"}) {
        SCOPED_TRACE(testing::Message() << std::string(search.begin(), search.end()));
        size_t found = 0;
        for (const auto& [queried, classicLog] : logs) {
            std::vector<std::wstring> nodes[2];
            std::vector<std::wstring> logged[2];
            for (const int full : {0, 1}) {
                EventMaker maker;
                const LogCapture log(full ? "DBG3" : "DBG2");
                for (const EkNodePtr& node :
                     maker.MakeEvents(queried.events, classicLog, &resolver, search)) {
                    const std::wstring dump = Logging::DumpNode(node);
                    nodes[full].push_back(dump.substr(dump.find(L"]:"))); // without the handle
                }
                logged[full] = untraced(log);
            }
            EXPECT_EQ(nodes[0], nodes[1]);
            EXPECT_EQ(logged[0], logged[1]);
            found += nodes[0].size();
        }
        EXPECT_EQ(found == 0, search == L"not in any event") << found;
    }
}

// Every Application event with the names the resolver selects: plan and item for Halyard-Monitor
// 2001 (no item for the no-item text in lower case), the plan alone for the plans-only events (a
// message with an unresolvable insert included), nothing for an empty provider or a skipped
// provider. Oldest first, and newest first as a page reads them: there a classic read brings the
// records below the one asked for along, so that fewer reads than a quarter of the named events
// serve them all (the reads after those fail here).
TEST(EventMaker, PlanAndItemNamesAsTheResolverSays) {
    const ApplicationEvents application;
    const Halyard::InsertionalStringsResolver resolver(ResolverConfiguration());
    EventMaker maker;
    std::map<std::wstring, size_t> seen;
    for (const bool newestFirst : {false, true}) {
        SCOPED_TRACE(newestFirst ? "newest first" : "oldest first");
        const QueriedEvents reversed =
            newestFirst ? AllEvents(L"Application", EvtQueryChannelPath | EvtQueryReverseDirection)
                        : QueriedEvents{};
        const SmartEvtVector& events = newestFirst ? reversed.events : application.events;
        EventMaker pageMaker;
        if (newestFirst) {
            const size_t named = seen[L"ItemName"] + seen[L"MonitoringPlanName"];
            PalEventLogInjectFault("ReadEventLogW", ERROR_INVALID_PARAMETER,
                                   static_cast<DWORD>(named / 4), 1'000'000, 0);
        }
        const std::vector<EkNodePtr> nodes =
            (newestFirst ? pageMaker : maker).MakeEvents(events, application.classicLog, &resolver);
        PalEventLogClearFaults();
        ASSERT_EQ(nodes.size(), events.size());
        seen.clear();
        for (size_t i = 0; i < nodes.size(); ++i) {
            const EventXml xml(*events[i]);
            SCOPED_TRACE(L"record " + xml.Text("EventRecordID"));
            const std::wstring provider = xml.Attribute("Provider", "Name");
            const int64_t id = xml.Number("EventID");
            const std::vector<std::wstring> data = xml.Data();
            Names expected = SystemAttributes;
            std::wstring plan;
            std::wstring item;
            if (!provider.empty()) {
                expected.emplace_back(L"Message");
            }
            if (!provider.empty() &&
                (id == 2002 || id == 5 || (provider == L"Orchard Backup" && id == 100) ||
                 (provider == L"Halyard-Monitor" && id == 2001))) {
                expected.emplace_back(L"MonitoringPlanName");
                plan = data.at(0);
                if (id == 2001 && data.at(1) != L"a3a7b447-337a-4254-917c-06cb684897a2") {
                    expected.emplace_back(L"ItemName");
                    item = data.at(1);
                }
            }
            ASSERT_EQ(nodes[i].GetAttributeNames(), expected);
            EXPECT_EQ(nodes[i].GetString(L"MonitoringPlanName", L""), plan);
            EXPECT_EQ(nodes[i].GetString(L"ItemName", L""), item);
            ++seen[expected.back()];
        }
    }
    // The samples hold every case: events with both names, with a plan alone, with neither.
    EXPECT_GT(seen[L"ItemName"], 10u);
    EXPECT_GT(seen[L"MonitoringPlanName"], 10u);
    EXPECT_EQ(MakeRecord(maker, PlansOnlyRecord, application.classicLog, &resolver)
                  .GetString(L"MonitoringPlanName"),
              L"Plan Only");
    const EkNodePtr upper =
        MakeRecord(maker, UpperCaseItemRecord, application.classicLog, &resolver);
    EXPECT_EQ(upper.GetString(L"ItemName"), L"A3A7B447-337A-4254-917C-06CB684897A2");

    const Halyard::InsertionalStringsResolver skipping(
        ResolverConfiguration({L"Halyard-Monitor", L"Orchard Backup"}));
    for (const EkNodePtr& node :
         maker.MakeEvents(application.events, application.classicLog, &skipping)) {
        const std::wstring provider = node.GetString(L"ProviderName");
        if (provider == L"Halyard-Monitor" || provider == L"Orchard Backup") {
            EXPECT_FALSE(node.HasAttribute(L"MonitoringPlanName"));
        }
    }
    // A resolver made where the one before was (a reconfigured component's may be) is asked
    // afresh, although the maker keeps the rules of the provider it asked last.
    std::optional<Halyard::InsertionalStringsResolver> reconfigured(std::in_place,
                                                                    ResolverConfiguration());
    EXPECT_TRUE(MakeRecord(maker, UpperCaseItemRecord, application.classicLog, &*reconfigured)
                    .HasAttribute(L"MonitoringPlanName"));
    reconfigured.emplace(ResolverConfiguration({L"Halyard-Monitor"}));
    EXPECT_FALSE(MakeRecord(maker, UpperCaseItemRecord, application.classicLog, &*reconfigured)
                     .HasAttribute(L"MonitoringPlanName"));
}

// An unresolvable insert leaves the message with the insert as written, and the event still gets
// the plan name the resolver selects; so it does where the sizing call reports the insert error
// and where a short buffer gets a truncated copy with a success, as some Windows builds do.
TEST(EventMaker, UnresolvableInsertStillGivesTheMessage) {
    const ApplicationEvents application;
    const Halyard::InsertionalStringsResolver resolver(ResolverConfiguration());
    for (const DWORD behaviour : {0u, DWORD{PalFormatSizingInsertError}}) {
        PalEventLogSetBehaviour(behaviour, 1);
        EventMaker maker;
        const EkNodePtr node =
            MakeRecord(maker, UnresolvedInsertRecord, application.classicLog, &resolver);
        EXPECT_EQ(node.GetString(L"Message"), L"Backup of D:\\Edge completed: %2 files, %3 MB.");
        EXPECT_EQ(node.GetString(L"MonitoringPlanName", std::wstring()), L"D:\\Edge");
    }
    PalEventLogSetBehaviour(PalFormatTruncates, 1);
    EventMaker maker;
    const EkNodePtr node = MakeRecord(maker, LongMessageRecord, application.classicLog, &resolver);
    PalEventLogClearFaults();
    EXPECT_TRUE(node.GetString(L"Message").ends_with(L"while the service was still watching it."));
}

// Which events pass a filter on the second insertion string is paged over the whole log by the
// query context's manual-items test; here the edges of the value filter.
TEST(EventMaker, ValueFilterRendersOnlyEventsWhoseSecondStringMatches) {
    EventMaker maker;
    // An event with one insertion string never passes a filter on the second.
    const QueriedEvents one = ApplicationRecord(UnmappedUserRecord);
    EXPECT_TRUE(maker.MakeEvents(one.events, nullptr, nullptr, {L"12"}, 1).empty());
    EXPECT_EQ(maker.MakeEvents(one.events, nullptr, nullptr, {L"12"}, 0).size(), 1u);
    EXPECT_EQ(maker.RenderEventValues(*one.events.at(0)), std::vector<std::wstring>{L"12"});
    // Windows renders a single Data value as a plain string.
    PalEventLogSetBehaviour(PalSingleDataPlain, 1);
    EXPECT_EQ(maker.RenderEventValues(*one.events.at(0)), std::vector<std::wstring>{L"12"});
    EXPECT_EQ(maker.MakeEvents(one.events, nullptr, nullptr, {L"12"}, 0).size(), 1u);
    PalEventLogClearFaults();
}

// A render failure ends the whole batch; the next batch renders.
TEST(EventMaker, FailureOfOneEventFailsTheBatch) {
    const ApplicationEvents application;
    EventMaker maker;
    PalEventLogInjectFault("EvtRender", ERROR_INVALID_PARAMETER, 3, 1, 0);
    EXPECT_EQ(ThrownCode([&] { maker.MakeEvents(application.events, nullptr, nullptr); }),
              HresultFromWin32(ERROR_INVALID_PARAMETER));
    PalEventLogClearFaults();
    EXPECT_EQ(maker.MakeEvents(application.events, nullptr, nullptr).size(),
              application.events.size());
}

// Damaged classic records give only the insertion strings that lie wholly inside them, and the
// damage is logged; a record that claims fewer strings than it holds gives only those; a missing
// log or a record with another number gives none.
TEST(GetIsertionalStringsById, DamagedRecordsGiveOnlyTheStringsInsideThem) {
    const ApplicationEvents application;
    const HANDLE log = *application.classicLog;
    const std::vector<std::wstring> whole = {L"Plan Edge", L"A3A7B447-337A-4254-917C-06CB684897A2",
                                             L"Healthy"};
    ASSERT_EQ(Halyard::GetIsertionalStringsById(log, UpperCaseItemRecord), whole);
    const std::wstring failed =
        L"Halyard::`anonymous-namespace'::GetIsertionalStringsById failed: ";

    struct Case {
        DWORD damage;
        std::vector<std::wstring> strings;
        std::wstring line;
    };
    const Case cases[] = {
        {PalRecordExtraStrings, whole, L"Event record 100003 claims 103 insertion strings"},
        {PalRecordUnterminated, {whole[0], whole[1]}, L"Event record 100003 claims 3 "},
        {PalRecordStringsOutside, {}, L"Event record 100003 claims 3 "},
        {PalRecordOtherNumber, {}, L"0x80070490 "},
        {PalRecordFewerStrings, {whole[0], whole[1]}, L""}, // what it claims, nothing logged
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.damage);
        const LogCapture capture("ERR");
        PalEventLogDamageRecords(c.damage, 1);
        EXPECT_EQ(Halyard::GetIsertionalStringsById(log, UpperCaseItemRecord), c.strings);
        EXPECT_EQ(capture.Starting(failed + c.line).size(), c.line.empty() ? 0u : 1u);
    }
    {
        const LogCapture capture("ERR");
        PalEventLogDamageRecords(PalRecordOtherNumber, 1);
        Halyard::GetIsertionalStringsById(log, UpperCaseItemRecord);
        EXPECT_EQ(capture.Count(L"EventsApiUtils::ReadEventFromLog failed: Invalide event number "
                                L"readed: 100004 must be: 100003"),
                  1u);
    }
    {
        const LogCapture capture("ERR");
        EXPECT_TRUE(Halyard::GetIsertionalStringsById(nullptr, UpperCaseItemRecord).empty());
        EXPECT_EQ(capture.Count(L"EventsApiUtils::ReadEventFromLog failed: Invalide event log "
                                L"handle."),
                  1u);
        EXPECT_EQ(capture.Starting(failed + L"0x8007000D ").size(), 1u);
    }
    // Rendering goes on with the strings that are whole: the plan and the item.
    const Halyard::InsertionalStringsResolver resolver(ResolverConfiguration());
    EventMaker maker;
    PalEventLogDamageRecords(PalRecordUnterminated, 1);
    const EkNodePtr node =
        MakeRecord(maker, UpperCaseItemRecord, application.classicLog, &resolver);
    EXPECT_EQ(node.GetString(L"MonitoringPlanName"), whole[0]);
    EXPECT_EQ(node.GetString(L"ItemName"), whole[1]);
    PalEventLogClearFaults();
}

TEST(SetEventProperty, WritesIntegersAndTextsAndSkipsOtherProperties) {
    const EkNodePtr node = Node(nullptr, L"EventInfo");
    EVT_VARIANT level{};
    level.ByteVal = 4;
    level.Type = EvtVarTypeByte;
    EVT_VARIANT keywords{};
    keywords.UInt64Val = 0x8080000000000001ull;
    keywords.Type = EvtVarTypeHexInt64;
    const EVT_VARIANT null{};
    const LogCapture log("ERR");
    Halyard::SetEventProperty(node, level, EvtSystemLevel, L"Level");
    Halyard::SetEventProperty(node, keywords, EvtSystemKeywords, L"Keywords");
    Halyard::SetEventProperty(node, null, EvtSystemComputer, L"Computer");
    Halyard::SetEventProperty(node, level, EvtSystemProviderGuid, L"ProviderGuid");
    EXPECT_EQ(node.GetAttributeNames(), (Names{L"Level", L"Keywords", L"Computer"}));
    EXPECT_EQ(node.GetInt64(L"Level"), 4);
    EXPECT_EQ(static_cast<uint64_t>(node.GetInt64(L"Keywords")), 0x8080000000000001ull);
    uint16_t type = 0;
    ASSERT_TRUE(node.HasAttribute(L"Computer", &type));
    EXPECT_EQ(type, EKN_TYPE_STRING);
    EXPECT_EQ(node.GetString(L"Computer"), L"");
    EXPECT_EQ(log.Texts(), (Names{L"Unknown event property. Name: ProviderGuid Id: 1"}));
}

// At DBG3 every attribute is traced in its own scope, with its id, type and value, and the node
// is dumped.
TEST(EventMaker, TracesEachAttributeAtTheMostDetailedSeverity) {
    const QueriedEvents one = ApplicationRecord(UnmappedUserRecord);
    EventMaker maker;
    const LogCapture log("DBG3");
    maker.MakeEvent(*one.events.at(0), nullptr, nullptr);
    EXPECT_EQ(log.Count(L"Entering: Halyard::EventMaker::MakeEvent"), 1u);
    EXPECT_EQ(log.Count(L"Entering: Getting event attribute"), 13u);
    EXPECT_EQ(log.Count(L"Id: 2 Type: 6 Name: EventId"), 1u);
    EXPECT_EQ(log.Count(L"Value: 1000 Type: 6"), 1u);
    EXPECT_EQ(log.Count(L"Set attribute: EventId Val: 1000"), 1u);
    EXPECT_EQ(log.Count(L"Set attribute: User Val: " + std::wstring(UnmappedSid)), 1u);
    EXPECT_EQ(log.Count(L"Value at null"), 1u); // Qualifiers of a manifest event
    EXPECT_EQ(log.Starting(L"Result event node: EkNode[0x").size(), 1u);
}
