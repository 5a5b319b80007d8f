// Events as nodes: each Event Log API event becomes a root node of type "EventInfo" with the
// event's system properties, its formatted message and, for the events the insertion-string
// resolver selects, the names of the monitoring plan and item that the classic record's insertion
// strings carry.
#pragma once

#include "Halyard/Corvane/EventLogApiUtils.h"
#include "Halyard/Corvane/EvtVariantUtils.h"
#include "Halyard/Corvane/InsertionalStringsResolver.h"
#include "NodeTree/EkNodePtr.h"

#include "Base/Text.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Halyard {

// Sets a 64-bit integer attribute (type code 6) and traces "Set attribute: ". Node library
// failures throw.
void SetEventAttribute(const EkNodePtr& node, const wchar_t* name, uint64_t value);
// Sets a string attribute and traces "Set attribute: ". Node library failures throw.
void SetEventAttribute(const EkNodePtr& node, const wchar_t* name, std::wstring_view value);
// Sets the attribute of one system property: an integer for EventID, Qualifiers, Level, Task,
// Opcode, Keywords, TimeCreated, EventRecordId and Version, a string for ProviderName, Channel and
// Computer; any other property is logged ("Unknown event property. Name: ") and skipped.
void SetEventProperty(const EkNodePtr& node, const EVT_VARIANT& variant, uint32_t propertyId,
                      const wchar_t* name);

// The insertion strings of the classic record with that number in order: only strings that lie
// wholly inside the record are returned, and a record that claims more is logged at ERR. A null
// log handle or a failed read is logged and gives an empty list.
std::vector<std::wstring> GetIsertionalStringsById(HANDLE eventLog, uint32_t recordNumber);

// The name of an event level as the search reads it, in lower case; empty for levels without one
// (0 and 4 read as "information").
std::wstring_view LevelName(uint32_t level) noexcept;

// What the search reads of an event.
struct SearchedTexts {
    uint32_t level = 0;
    std::wstring_view message; // empty for an event without a provider
    std::wstring_view plan;    // empty unless the resolver names one
    std::wstring_view provider;
    std::wstring_view computer;
    uint64_t eventId = 0;
    std::wstring_view user;
};

// Whether the search text (lower case) occurs in the level's name or in the lower-cased message,
// plan name, provider, computer, event id (in decimal) or user.
bool ContainsSearchText(const SearchedTexts& texts, const Base::CaseBlindNeedle& searchText);

// Renders the events of one query context; used by one thread at a time (its owner serialises).
class EventMaker {
public:
    // Creates the system-properties render context, then the user-values one
    // ("Event/EventData/Data"); either failure throws.
    EventMaker();
    // Closes the cached publisher metadata, then the two render contexts.
    ~EventMaker();
    EventMaker(const EventMaker&) = delete;
    EventMaker& operator=(const EventMaker&) = delete;

    // FindEvent of each event, in order: every event's node without a search text. A failure of
    // any event throws and nothing is returned. `classicLog` may be empty, `resolver` null.
    std::vector<EkNodePtr> MakeEvents(const EventsApiUtils::SmartEvtVector& events,
                                      const EventsApiUtils::SmartHandle& classicLog,
                                      const InsertionalStringsResolver* resolver,
                                      std::wstring_view searchText = {});
    // The same for the events whose insertion string at `index` (RenderEventValues) equals one of
    // `values` exactly; the others are not rendered.
    std::vector<EkNodePtr> MakeEvents(const EventsApiUtils::SmartEvtVector& events,
                                      const EventsApiUtils::SmartHandle& classicLog,
                                      const InsertionalStringsResolver* resolver,
                                      const std::vector<std::wstring>& values, size_t index,
                                      std::wstring_view searchText = {});
    // MakeEvent of an event that contains `searchText` (lower case; ContainsSearchText), a null
    // node for one that does not; MakeEvent itself without a search text (null). The node of an
    // event that is not found is not built, unless DBG3 traces every event; the log is MakeEvent's.
    EkNodePtr FindEvent(EVT_HANDLE event, const EventsApiUtils::SmartHandle& classicLog,
                        const InsertionalStringsResolver* resolver,
                        const Base::CaseBlindNeedle* searchText);
    // The event's creation time in whole seconds, as "TimeCreated" gives it, from its system
    // render alone. Render failures throw.
    UtcSeconds TimeCreated(EVT_HANDLE event);
    // The event's node: the 13 system-property attributes in their fixed order ("EventId",
    // "Qualifier", "Task", "Version", "Level", "Opcode", "Keywords", "RecordId", "ProviderName",
    // "Channel", "Computer", "TimeCreated", "User"), then "Message" when the provider name is not
    // empty, then "MonitoringPlanName" and "ItemName" as the resolver selects. A user SID that no
    // account maps to gives its SID text (logged at DBG); each SID is looked up once per maker,
    // so an account renamed meanwhile keeps its old name here. Render and node failures throw.
    EkNodePtr MakeEvent(EVT_HANDLE event, const EventsApiUtils::SmartHandle& classicLog,
                        const InsertionalStringsResolver* resolver);
    // The event's "Event/EventData/Data" values in order; none when they are not a string array.
    std::vector<std::wstring> RenderEventValues(EVT_HANDLE event);
    // The event's message through its provider's cached metadata. With an unresolved insert the
    // text and that code come back. Any other failure is logged and wrapped under 0x80042001, and
    // the message is then that failure's text without its location. Never throws an HRX.
    HRES GetEventMessageString(EVT_HANDLE event, std::wstring_view provider, std::wstring& message);
    // What the message of an event becomes after a failure that its events share, made once for
    // all of them: the wrapped failure, the message text, and the text its log line carries.
    struct MessageFailure {
        std::optional<HRES> result;
        std::wstring messageText;
        std::wstring logText;
    };
    // A provider whose metadata could not be opened on this page: the open's failure, and what the
    // message of its events becomes.
    struct FailedProvider {
        HRES failure;
        MessageFailure message;
    };
    // The cached metadata of a provider (opened by CheckProviderHandle), or null with `failed` set
    // for a provider whose open failed. Throws what CheckProviderHandle throws, and
    // ERROR_NOT_FOUND (logged) should the metadata still not be cached.
    const EventsApiUtils::SmartHandle* GetProviderHandle(std::wstring_view provider,
                                                         FailedProvider*& failed);
    // Opens and caches the provider's metadata unless cached. An open that fails is remembered
    // for the events of that provider until ForgetFailures (on Windows each open is a call to the
    // Event Log service, and a log copied from another machine names providers that are not
    // installed in every event) and returned, for the first event and the others alike; while
    // DBG3 traces every call it is thrown instead, so that the traces show it leave.
    FailedProvider* CheckProviderHandle(std::wstring_view provider);
    // Forgets the failed provider opens and the account lookup failures that may pass, so that
    // they are tried again, and the classic records read: the query context calls it as each
    // page begins, so that a page asks once and the next page asks again.
    void ForgetFailures() noexcept;

private:
    // Accounts are remembered per maker; a log with more distinct users starts over.
    static constexpr size_t MaxCachedAccounts = 4096;

    // A provider's cached metadata, and the resolver's rules for its events once asked (of the
    // resolver of that serial; 0: not yet).
    struct CachedProvider {
        EventsApiUtils::SmartHandle metadata;
        uint64_t rulesSerial = 0;
        InsertionalStringsResolver::ProviderRules rules;
    };
    using ProviderMetadata = std::map<std::wstring, CachedProvider, std::less<>>;
    // Makes a provider's entry the last one found.
    void RememberLast(ProviderMetadata::value_type& provider) noexcept;

    // "User" of a SID: its account, or its SID text when the lookup fails (logged at DBG). A SID
    // is looked up once per maker when the lookup gives an account or says that none maps to it;
    // after any other failure (the domain controller unreachable, each lookup waiting for it) it
    // keeps its SID text until ForgetFailures.
    const std::wstring& UserText(PSID sid);
    // The search text prepared for MakeEvents' events (kept while the text stays the same); null
    // for an empty text.
    const Base::CaseBlindNeedle* SearchNeedle(std::wstring_view searchText);
    // The names of the monitoring plan and item of the event just rendered (RenderSystem), from
    // its classic record, when its message was delivered (`message`) and the resolver selects it:
    // views of the maker's insertion strings, valid until the next record's are read.
    struct PlanAndItem {
        std::optional<std::wstring_view> plan;
        std::optional<std::wstring_view> item;
    };
    PlanAndItem PlanAndItemOf(const HRES& message, std::wstring_view provider,
                              const EventsApiUtils::SmartHandle& classicLog,
                              const InsertionalStringsResolver* resolver);
    static void SetPlanAndItem(const EkNodePtr& node, const PlanAndItem& names);
    // The resolver's rules for the provider: kept with the provider's cached metadata, for its
    // next events, when it is the last provider found (as it is after its message).
    const InsertionalStringsResolver::ProviderRules&
    RulesOf(const InsertionalStringsResolver& resolver, std::wstring_view provider);
    // The first `kept` insertion strings of a classic record, as GetIsertionalStringsById gives
    // them. A page asks for its events' records newest first, and a seek read fills the room it
    // is given with the records that follow the one asked for: a record asked for just below the
    // one before is read backwards with room for a run of them, and the next ones asked for are
    // then found among those read (on Windows each read is a call to the Event Log service).
    // The strings stay the maker's, and valid until its next call.
    const std::vector<std::wstring>& ClassicInsertionStrings(HANDLE eventLog, uint32_t record,
                                                             size_t kept);
    // The message path's failure: logged, wrapped under 0x80042001, its text as the message.
    static HRES MessageNotObtained(const HRES& failure, std::wstring& message);
    // What the message of events that fail with `failure` becomes, made in `made` unless it was
    // made already (events that share a failure, a provider's open or a format failure's code,
    // share what the first of them made); returns `made`.
    static const MessageFailure& Describe(const HRES& failure, MessageFailure& made);
    // The failure that `made` describes: its line logged, its text as the message.
    static HRES MessageNotObtained(const MessageFailure& made, std::wstring& message);

    // The system render of an event, with the user and version by their paths when it lacks
    // them; SystemValue then reads a property of it (Null when absent).
    void RenderSystem(EVT_HANDLE event);
    const EVT_VARIANT& SystemValue(uint32_t id) const noexcept;

    // The user and version of an event whose system render lacks them, by their paths.
    void RenderUserAndVersion(EVT_HANDLE event);

    EventsApiUtils::SmartHandle m_systemContext;
    EventsApiUtils::SmartHandle m_valuesContext;
    // Made when a system render first lacks the user and version.
    EventsApiUtils::SmartHandle m_userAndVersionContext;
    // Provider name (exact) -> its publisher metadata; only grows, so its entries stay put.
    ProviderMetadata m_providerMetadata;
    // Provider name (exact) -> the failure of its open, until ForgetFailures.
    std::map<std::wstring, FailedProvider, std::less<>> m_failedProviders;
    // Format failure code -> what the message of its events becomes, until ForgetFailures: in a
    // log copied from another machine many events have no message in the metadata installed.
    std::map<HRESULT, MessageFailure> m_formatFailures;
    // The provider of the last event whose metadata was found or opened (its entry's name):
    // events come in runs of one provider.
    std::wstring_view m_lastProvider;
    CachedProvider* m_lastCached = nullptr;
    // The rules of a provider other than the last one found, asked afresh (RulesOf).
    InsertionalStringsResolver::ProviderRules m_uncachedRules;
    // Render output, reused from event to event.
    EventsApiUtils::ByteBuffer m_systemBuffer;
    DWORD m_systemCount = 0;
    EventsApiUtils::ByteBuffer m_valuesBuffer;
    EventsApiUtils::ByteBuffer m_userAndVersionBuffer;
    // Classic records, read for the plan and item names, where each begins, and the log they
    // were read from (ClassicInsertionStrings).
    EventsApiUtils::ByteBuffer m_recordBuffer;
    struct RecordAt {
        uint32_t number;
        size_t offset;
    };
    std::vector<RecordAt> m_recordsRead;
    HANDLE m_recordsLog = nullptr;
    uint32_t m_lastRecordAsked = 0;
    // The longest record read first: the room of a read that expects no run.
    size_t m_recordRoom = 0;
    // The insertion strings of the record read last, their room reused.
    std::vector<std::wstring> m_insertionStrings;
    DWORD m_userAndVersionCount = 0;
    // The message of the event being made, its capacity reused.
    std::wstring m_message;
    // The search text of the last search, prepared (SearchNeedle).
    std::optional<Base::CaseBlindNeedle> m_searchNeedle;
    // SID bytes -> "User" text.
    std::map<std::string, std::wstring, std::less<>> m_accounts;
    // SID bytes of the lookups that failed in a way that may pass, until ForgetFailures.
    std::set<std::string, std::less<>> m_failedAccounts;
    // The "User" text of a failed lookup that is not remembered.
    std::wstring m_unmappedUser;
};

} // namespace Halyard
