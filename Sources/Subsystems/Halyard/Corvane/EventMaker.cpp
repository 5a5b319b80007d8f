#include "Halyard/Corvane/EventMaker.h"

#include "Base/Text.h"
#include "Base/Utf.h"
#include "ErrorHandling/ErrorDescription.h"
#include "Halyard/Corvane/EventLogFilterSerialiser.h"
#include "Halyard/Corvane/EvtVariantUtils.h"
#include "Halyard/Corvane/InsertionalStringsResolver.h"
#include "Logging/NodeDump.h"
#include "Logging/TraceScope.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

namespace Halyard {

namespace {

using EventsApiUtils::ByteBuffer;
using EventsApiUtils::RawHandle;
using EventsApiUtils::SmartEvtVector;
using EventsApiUtils::SmartHandle;
using Logging::LOG_DBG;
using Logging::LOG_DBG2;
using Logging::LOG_DBG3;
using Logging::LOG_ERR;

using NodeTree::NodeName;

struct SystemProperty {
    uint32_t id;
    NodeName name;
    // How SetEventProperty reads the value: a number, a text, or neither (the SID, which the
    // event's node holds as its account name).
    enum class Kind { Number, Text, Other } kind;
};

// The attributes of an event node, in the order they are set.
constexpr std::array<SystemProperty, 13> SystemProperties = {{
    {EvtSystemEventID, L"EventId", SystemProperty::Kind::Number},
    {EvtSystemQualifiers, L"Qualifier", SystemProperty::Kind::Number},
    {EvtSystemTask, L"Task", SystemProperty::Kind::Number},
    {EvtSystemVersion, L"Version", SystemProperty::Kind::Number},
    {EvtSystemLevel, L"Level", SystemProperty::Kind::Number},
    {EvtSystemOpcode, L"Opcode", SystemProperty::Kind::Number},
    {EvtSystemKeywords, L"Keywords", SystemProperty::Kind::Number},
    {EvtSystemEventRecordId, L"RecordId", SystemProperty::Kind::Number},
    {EvtSystemProviderName, L"ProviderName", SystemProperty::Kind::Text},
    {EvtSystemChannel, L"Channel", SystemProperty::Kind::Text},
    {EvtSystemComputer, L"Computer", SystemProperty::Kind::Text},
    {EvtSystemTimeCreated, L"TimeCreated", SystemProperty::Kind::Number},
    {EvtSystemUserID, L"User", SystemProperty::Kind::Other},
}};

// The rest of an event node's names.
constexpr NodeName EventInfoType = L"EventInfo";
constexpr NodeName MessageName = L"Message";
constexpr NodeName MonitoringPlanNameName = L"MonitoringPlanName";
constexpr NodeName ItemNameName = L"ItemName";

// How a system property's value is read; Other for a property the event's node does not hold.
SystemProperty::Kind KindOf(uint32_t id) noexcept {
    for (const SystemProperty& property : SystemProperties) {
        if (property.id == id) {
            return property.kind;
        }
    }
    return SystemProperty::Kind::Other;
}

constexpr const wchar_t* InsertionStringsName =
    L"Halyard::`anonymous-namespace'::GetIsertionalStringsById";

// The variants of a render buffer by index; an index beyond the properties the render reported,
// or beyond the buffer, reads as Null.
class RenderedValues {
public:
    RenderedValues(const ByteBuffer& buffer, size_t properties) noexcept
        : m_values(reinterpret_cast<const EVT_VARIANT*>(buffer.data())),
          m_count(std::min(buffer.size() / sizeof(EVT_VARIANT), properties)) {}

    const EVT_VARIANT& operator[](size_t index) const noexcept {
        static const EVT_VARIANT Null{};
        return index < m_count ? m_values[index] : Null;
    }

private:
    const EVT_VARIANT* m_values;
    size_t m_count;
};

// The insertion strings of a classic record that lie wholly inside it: inside the bytes read and
// the length the record gives itself, before its trailing length and, when the data follows the
// strings as it should, before the data. Logs a record that claims more. The first `kept` are
// put in `strings`, whose strings' room is reused from record to record.
void InsertionStringsOf(std::span<const uint8_t> record, uint32_t recordNumber, size_t kept,
                        std::vector<std::wstring>& strings) {
    if (record.empty()) {
        strings.clear();
        return;
    }
    if (record.size() < sizeof(EVENTLOGRECORD)) {
        LOG_FAILURE(InsertionStringsName, L"Event record " << recordNumber
                                                           << L" is shorter than its header: "
                                                           << record.size() << L" bytes");
        strings.clear();
        return;
    }
    EVENTLOGRECORD header{};
    std::memcpy(&header, record.data(), sizeof(header));
    size_t end = record.size();
    if (header.Length >= sizeof(EVENTLOGRECORD) && header.Length < end) {
        end = header.Length;
    }
    end -= sizeof(DWORD);
    if (header.DataOffset >= header.StringOffset && header.DataOffset < end) {
        end = header.DataOffset;
    }
    size_t offset = header.StringOffset;
    size_t found = 0;
    size_t used = 0;
    while (found < header.NumStrings && offset < end) {
        size_t terminator = offset;
        while (terminator + 2 <= end && (record[terminator] != 0 || record[terminator + 1] != 0)) {
            terminator += 2;
        }
        if (terminator + 2 > end) {
            break; // no terminating null inside the record
        }
        if (found++ < kept) {
            if (used == strings.size()) {
                strings.emplace_back();
            }
            Base::AssignWideFromUtf16Le(
                {reinterpret_cast<const char*>(record.data() + offset), terminator - offset},
                strings[used++]);
        }
        offset = terminator + 2;
    }
    strings.resize(used);
    if (found < header.NumStrings) {
        LOG_FAILURE(InsertionStringsName, L"Event record " << recordNumber << L" claims "
                                                           << header.NumStrings
                                                           << L" insertion strings; " << found
                                                           << L" lie wholly inside it");
    }
}

// The byte length of a SID: its header and sub-authorities (at most 15, as FormatSidText reads).
size_t SidLength(PSID sid) noexcept {
    constexpr uint8_t MaxSubAuthorities = 15;
    const uint8_t count = static_cast<const uint8_t*>(sid)[1];
    return 8 + 4 * size_t{std::min(count, MaxSubAuthorities)};
}

// The value of a variant; with `traced`, through the traced getters. Untraced reads skip the
// DBG3 traces that are off anyway, and the cost of asking for each of them.
template <typename T>
T ValueOf(const EVT_VARIANT& variant, bool traced) {
    if (traced) {
        return GetVariantValue<T>(variant);
    }
    if constexpr (std::is_same_v<T, uint64_t>) {
        return GetIntegerValue(variant);
    } else if constexpr (std::is_same_v<T, std::wstring_view>) {
        return GetStringValue(variant);
    } else {
        return GetSidValue(variant);
    }
}

// The wide text of an attribute name, for the traces.
const wchar_t* WideOf(const wchar_t* name) noexcept {
    return name;
}
const wchar_t* WideOf(const NodeName& name) noexcept {
    return name.Wide();
}

// `Name` is a wide name or a NodeName (the event node's own attributes, encoded once).
template <typename Name, typename T>
void SetAttributeOf(const EkNodePtr& node, const Name& name, const T& value, bool traced) {
    if (traced) {
        SetEventAttribute(node, WideOf(name), value);
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        node.SetAttribute(name, static_cast<int64_t>(value));
    } else {
        node.SetAttribute(name, value.data(), static_cast<uint32_t>(value.size()));
    }
}

// SetEventProperty, its traces as `traced` says.
template <typename Name>
void SetProperty(const EkNodePtr& node, const EVT_VARIANT& variant, uint32_t propertyId,
                 const Name& name, bool traced) {
    switch (KindOf(propertyId)) {
    case SystemProperty::Kind::Number:
        SetAttributeOf(node, name, ValueOf<uint64_t>(variant, traced), traced);
        break;
    case SystemProperty::Kind::Text:
        SetAttributeOf(node, name, ValueOf<std::wstring_view>(variant, traced), traced);
        break;
    case SystemProperty::Kind::Other:
        LOG_AT(LOG_ERR,
               L"Unknown event property. Name: " << WideOf(name) << L" Id: " << propertyId);
        break;
    }
}

// The attribute of a system property other than the user: the creation time as its timestamp
// text, the others as SetEventProperty sets them.
void SetSystemAttribute(const EkNodePtr& node, const EVT_VARIANT& variant, uint32_t propertyId,
                        const NodeName& name, bool traced) {
    if (propertyId == EvtSystemTimeCreated) {
        SetAttributeOf(node, name, GetTimestampText(ValueOf<uint64_t>(variant, traced)).View(),
                       traced);
    } else {
        SetProperty(node, variant, propertyId, name, traced);
    }
}

// ContainsSearchText of what the search reads of a made event's node.
bool NodeContainsSearchText(const EkNodePtr& node, const Base::CaseBlindNeedle& searchText) {
    std::wstring message, plan, provider, computer, user;
    node.GetAttribute(L"Message", message);
    node.GetAttribute(L"MonitoringPlanName", plan);
    node.GetAttribute(L"ProviderName", provider);
    node.GetAttribute(L"Computer", computer);
    node.GetAttribute(L"User", user);
    return ContainsSearchText({node.GetUInt32(L"Level"), message, plan, provider, computer,
                               static_cast<uint64_t>(node.GetInt64(L"EventId")), user},
                              searchText);
}

} // namespace

std::wstring_view LevelName(uint32_t level) noexcept {
    using namespace std::string_view_literals; // lengths known when compiled
    switch (level) {
    case 0:
    case 4:
        return L"information"sv;
    case 1:
        return L"critical"sv;
    case 2:
        return L"error"sv;
    case 3:
        return L"warning"sv;
    case 5:
        return L"verbose"sv;
    default:
        return {};
    }
}

bool ContainsSearchText(const SearchedTexts& texts, const Base::CaseBlindNeedle& searchText) {
    if (LevelName(texts.level).find(searchText.Text()) != std::wstring_view::npos) {
        return true;
    }
    for (const std::wstring_view text :
         {texts.message, texts.plan, texts.provider, texts.computer, texts.user}) {
        if (searchText.FoundIn(text)) {
            return true;
        }
    }
    // The id's digits hold no needle but one of digits alone, and are written only for such a
    // one, on the stack: the search asks this of every event it reads.
    const std::wstring& needle = searchText.Text();
    if (!std::all_of(needle.begin(), needle.end(),
                     [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
        return false;
    }
    Base::DecimalRoom room;
    return searchText.FoundIn(Base::DecimalDigits(texts.eventId, room));
}

void SetEventAttribute(const EkNodePtr& node, const wchar_t* name, uint64_t value) {
    LOG_AT(LOG_DBG3, L"Set attribute: " << name << L" Val: " << value);
    node.SetAttribute(name, static_cast<int64_t>(value));
}

void SetEventAttribute(const EkNodePtr& node, const wchar_t* name, std::wstring_view value) {
    LOG_AT(LOG_DBG3, L"Set attribute: " << name << L" Val: " << value);
    node.SetAttribute(name, value.data(), static_cast<uint32_t>(value.size()));
}

void SetEventProperty(const EkNodePtr& node, const EVT_VARIANT& variant, uint32_t propertyId,
                      const wchar_t* name) {
    SetProperty(node, variant, propertyId, name, true);
}

std::vector<std::wstring> GetIsertionalStringsById(HANDLE eventLog, uint32_t recordNumber) {
    try {
        std::vector<std::wstring> strings;
        InsertionStringsOf(EventsApiUtils::ReadEventFromLog(eventLog, recordNumber), recordNumber,
                           SIZE_MAX, strings);
        return strings;
    } catch (const HRX& failure) {
        LOG_FAILURE(InsertionStringsName, failure);
        return {};
    }
}

EventMaker::EventMaker() {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::EventMaker");
    m_systemContext = EventsApiUtils::CreateRenderContext(EvtRenderContextSystem, nullptr, 0);
    LPCWSTR paths[] = {L"Event/EventData/Data"};
    m_valuesContext = EventsApiUtils::CreateRenderContext(EvtRenderContextValues, paths, 1);
}

EventMaker::~EventMaker() {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::~EventMaker");
    m_providerMetadata.clear();
    m_valuesContext.reset();
    m_systemContext.reset();
}

std::vector<EkNodePtr> EventMaker::MakeEvents(const SmartEvtVector& events,
                                              const SmartHandle& classicLog,
                                              const InsertionalStringsResolver* resolver,
                                              std::wstring_view searchText) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::MakeEvents");
    const Base::CaseBlindNeedle* const needle = SearchNeedle(searchText);
    std::vector<EkNodePtr> nodes;
    nodes.reserve(needle == nullptr ? events.size() : 0);
    for (const SmartHandle& event : events) {
        if (EkNodePtr node = FindEvent(RawHandle(event), classicLog, resolver, needle)) {
            nodes.push_back(std::move(node));
        }
    }
    return nodes;
}

std::vector<EkNodePtr> EventMaker::MakeEvents(const SmartEvtVector& events,
                                              const SmartHandle& classicLog,
                                              const InsertionalStringsResolver* resolver,
                                              const std::vector<std::wstring>& values, size_t index,
                                              std::wstring_view searchText) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::MakeEvents");
    const Base::CaseBlindNeedle* const needle = SearchNeedle(searchText);
    std::vector<EkNodePtr> nodes;
    for (const SmartHandle& event : events) {
        const std::vector<std::wstring> strings = RenderEventValues(RawHandle(event));
        if (strings.size() > index &&
            std::find(values.begin(), values.end(), strings[index]) != values.end()) {
            if (EkNodePtr node = FindEvent(RawHandle(event), classicLog, resolver, needle)) {
                nodes.push_back(std::move(node));
            }
        }
    }
    return nodes;
}

void EventMaker::RenderSystem(EVT_HANDLE event) {
    m_systemCount = EventsApiUtils::RenderEvent(RawHandle(m_systemContext), event, m_systemBuffer);
    // Windows 11 and Server 2022 have rendered 16 system properties, without the user and the
    // version: those two are then rendered by their paths.
    if (m_systemCount <= EvtSystemUserID) {
        RenderUserAndVersion(event);
    } else {
        m_userAndVersionCount = 0;
    }
}

const EVT_VARIANT& EventMaker::SystemValue(uint32_t id) const noexcept {
    if (id < m_systemCount) {
        return RenderedValues(m_systemBuffer, m_systemCount)[id];
    }
    return RenderedValues(m_userAndVersionBuffer,
                          m_userAndVersionCount)[id == EvtSystemUserID ? 0 : 1];
}

EkNodePtr EventMaker::MakeEvent(EVT_HANDLE event, const SmartHandle& classicLog,
                                const InsertionalStringsResolver* resolver) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::MakeEvent");
    RenderSystem(event);
    EkNodePtr node = EkNodePtr::CreateNode(EventInfoType);
    // The per-attribute traces are asked for once per event.
    const bool traced = Logging::LogManager::Instance().IsEnabled(LOG_DBG3);
    for (const SystemProperty& property : SystemProperties) {
        const EVT_VARIANT& variant = SystemValue(property.id);
        std::unique_ptr<Logging::TraceScope> scope;
        if (traced) {
            scope = Logging::OpenTraceScope(LOG_DBG3, L"Getting event attribute",
                                            CORVANE_WIDEN(__FILE__), __LINE__);
            LOG_AT(LOG_DBG3, L"Id: " << property.id << L" Type: " << variant.Type << L" Name: "
                                     << property.name.Wide());
        }
        if (property.id == EvtSystemUserID) {
            const PSID sid = ValueOf<PSID>(variant, traced);
            SetAttributeOf(node, property.name,
                           sid != nullptr ? std::wstring_view(UserText(sid)) : L"N/A", traced);
        } else {
            SetSystemAttribute(node, variant, property.id, property.name, traced);
        }
    }
    const std::wstring_view provider = GetStringValue(SystemValue(EvtSystemProviderName));
    if (!provider.empty()) {
        m_message.clear();
        const HRES result = GetEventMessageString(event, provider, m_message);
        node.SetAttribute(MessageName, m_message);
        SetPlanAndItem(node, PlanAndItemOf(result, provider, classicLog, resolver));
    }
    LOG_AT(LOG_DBG3, L"Result event node: " << Logging::NodeDump{node});
    return node;
}

EkNodePtr EventMaker::FindEvent(EVT_HANDLE event, const SmartHandle& classicLog,
                                const InsertionalStringsResolver* resolver,
                                const Base::CaseBlindNeedle* searchText) {
    if (searchText == nullptr) {
        return MakeEvent(event, classicLog, resolver);
    }
    if (Logging::LogManager::Instance().IsEnabled(LOG_DBG3)) {
        // Every event is traced in full at this severity, found or not.
        EkNodePtr node = MakeEvent(event, classicLog, resolver);
        return NodeContainsSearchText(node, *searchText) ? node : EkNodePtr();
    }
    // What the search reads, gathered with the calls MakeEvent makes and in its order (the
    // account, the message, the classic record), so that the log is the same; the node is built
    // only for an event that is found.
    RenderSystem(event);
    const PSID sid = GetSidValue(SystemValue(EvtSystemUserID));
    const std::wstring_view user = sid != nullptr ? std::wstring_view(UserText(sid)) : L"N/A";
    const std::wstring_view provider = GetStringValue(SystemValue(EvtSystemProviderName));
    PlanAndItem names;
    m_message.clear();
    if (!provider.empty()) {
        const HRES result = GetEventMessageString(event, provider, m_message);
        names = PlanAndItemOf(result, provider, classicLog, resolver);
    }
    const SearchedTexts texts{static_cast<uint32_t>(GetIntegerValue(SystemValue(EvtSystemLevel))),
                              m_message,
                              names.plan.value_or(std::wstring_view()),
                              provider,
                              GetStringValue(SystemValue(EvtSystemComputer)),
                              GetIntegerValue(SystemValue(EvtSystemEventID)),
                              user};
    if (!ContainsSearchText(texts, *searchText)) {
        return {};
    }
    EkNodePtr node = EkNodePtr::CreateNode(EventInfoType);
    for (const SystemProperty& property : SystemProperties) {
        if (property.id == EvtSystemUserID) {
            node.SetAttribute(property.name, user.data(), static_cast<uint32_t>(user.size()));
        } else {
            SetSystemAttribute(node, SystemValue(property.id), property.id, property.name, false);
        }
    }
    if (!provider.empty()) {
        node.SetAttribute(MessageName, m_message);
        SetPlanAndItem(node, names);
    }
    return node;
}

const Base::CaseBlindNeedle* EventMaker::SearchNeedle(std::wstring_view searchText) {
    if (searchText.empty()) {
        return nullptr;
    }
    if (!m_searchNeedle || m_searchNeedle->Text() != searchText) {
        m_searchNeedle.emplace(std::wstring(searchText));
    }
    return &*m_searchNeedle;
}

const std::wstring& EventMaker::UserText(PSID sid) {
    const std::string_view key(static_cast<const char*>(sid), SidLength(sid));
    if (const auto found = m_accounts.find(key); found != m_accounts.end()) {
        return found->second;
    }
    if (m_failedAccounts.find(key) != m_failedAccounts.end()) {
        m_unmappedUser = FormatSidText(sid);
        return m_unmappedUser;
    }
    std::wstring text;
    try {
        text = GetAccountName(sid, std::wstring());
    } catch (const HRX& failure) {
        // A deleted account or one of a foreign domain: the event keeps its SID.
        text = FormatSidText(sid);
        LOG_AT(LOG_DBG, L"Account of " << text << L" not obtained due to: " << failure);
        if (failure.Code() != HresultFromWin32(ERROR_NONE_MAPPED)) {
            // A failure that may pass: the SID is asked again once the failure is forgotten.
            m_failedAccounts.emplace(key);
            m_unmappedUser = std::move(text);
            return m_unmappedUser;
        }
    }
    if (m_accounts.size() >= MaxCachedAccounts) {
        m_accounts.clear();
    }
    return m_accounts.emplace(std::string(key), std::move(text)).first->second;
}

EventMaker::PlanAndItem EventMaker::PlanAndItemOf(const HRES& message, std::wstring_view provider,
                                                  const SmartHandle& classicLog,
                                                  const InsertionalStringsResolver* resolver) {
    PlanAndItem names;
    // A partial message still belongs to the event its insertion strings name.
    const bool delivered = message.Succeeded() || EventsApiUtils::IsPartialMessage(message.Code());
    if (!delivered || resolver == nullptr) {
        return names;
    }
    const InsertionalStringsResolver::ProviderRules& rules = RulesOf(*resolver, provider);
    if (rules.skipped) {
        return names;
    }
    const auto eventId = static_cast<uint32_t>(GetIntegerValue(SystemValue(EvtSystemEventID)));
    const bool plansOnly = rules.plansOnly.Selects(eventId);
    const bool plansAndItem = rules.plansAndItem.Selects(eventId);
    if (!plansOnly && !plansAndItem) {
        return names;
    }
    const auto record = static_cast<uint32_t>(GetIntegerValue(SystemValue(EvtSystemEventRecordId)));
    const std::vector<std::wstring>& strings =
        ClassicInsertionStrings(RawHandle(classicLog), record, 2);
    if (strings.empty()) {
        return names;
    }
    names.plan = strings[0];
    if (plansAndItem && strings.size() >= 2 &&
        strings[1] != EventLogFilterSerialiser::FixedItemId) {
        names.item = strings[1];
    }
    return names;
}

const InsertionalStringsResolver::ProviderRules&
EventMaker::RulesOf(const InsertionalStringsResolver& resolver, std::wstring_view provider) {
    if (m_lastCached == nullptr || provider != m_lastProvider) {
        m_uncachedRules = resolver.RulesFor(provider);
        return m_uncachedRules;
    }
    if (m_lastCached->rulesSerial != resolver.Serial()) {
        m_lastCached->rules = resolver.RulesFor(provider);
        m_lastCached->rulesSerial = resolver.Serial();
    }
    return m_lastCached->rules;
}

const std::vector<std::wstring>& EventMaker::ClassicInsertionStrings(HANDLE eventLog,
                                                                     uint32_t record, size_t kept) {
    // Records asked for at most this far below the one before are taken for a run of them, read
    // with this much room (a few dozen records; one record may need more, and gets it).
    constexpr uint32_t NearRecords = 16;
    constexpr size_t RunRoom = 8192;
    const uint32_t previous = std::exchange(m_lastRecordAsked, record);
    if (eventLog != nullptr && eventLog == m_recordsLog) {
        for (const RecordAt& at : m_recordsRead) {
            if (at.number == record) {
                InsertionStringsOf(std::span(m_recordBuffer).subspan(at.offset), record, kept,
                                   m_insertionStrings);
                return m_insertionStrings;
            }
        }
    }
    m_recordsRead.clear();
    m_recordsLog = eventLog;
    const bool inRun = previous > record && previous - record <= NearRecords;
    try {
        EventsApiUtils::ReadEventFromLog(eventLog, record, EVENTLOG_BACKWARDS_READ,
                                         inRun ? RunRoom : m_recordRoom, m_recordBuffer);
    } catch (const HRX& failure) {
        LOG_FAILURE(InsertionStringsName, failure);
        m_insertionStrings.clear();
        return m_insertionStrings;
    }
    // Where the records read begin, up to the first whose length does not fit what was read.
    for (size_t offset = 0; offset + sizeof(EVENTLOGRECORD) <= m_recordBuffer.size();) {
        EVENTLOGRECORD header{};
        std::memcpy(&header, m_recordBuffer.data() + offset, sizeof(header));
        if (header.Length < sizeof(EVENTLOGRECORD) ||
            header.Length > m_recordBuffer.size() - offset) {
            break;
        }
        if (offset == 0) {
            m_recordRoom = std::max<size_t>(m_recordRoom, header.Length);
        }
        m_recordsRead.push_back({header.RecordNumber, offset});
        offset += header.Length;
    }
    InsertionStringsOf(m_recordBuffer, record, kept, m_insertionStrings);
    return m_insertionStrings;
}

void EventMaker::SetPlanAndItem(const EkNodePtr& node, const PlanAndItem& names) {
    if (names.plan) {
        node.SetAttribute(MonitoringPlanNameName, names.plan->data(),
                          static_cast<uint32_t>(names.plan->size()));
    }
    if (names.item) {
        node.SetAttribute(ItemNameName, names.item->data(),
                          static_cast<uint32_t>(names.item->size()));
    }
}

UtcSeconds EventMaker::TimeCreated(EVT_HANDLE event) {
    const DWORD rendered =
        EventsApiUtils::RenderEvent(RawHandle(m_systemContext), event, m_systemBuffer);
    return ParseUtcTime(GetTimestampText(GetIntegerValue(RenderedValues(
                                             m_systemBuffer, rendered)[EvtSystemTimeCreated]))
                            .View());
}

void EventMaker::RenderUserAndVersion(EVT_HANDLE event) {
    if (!m_userAndVersionContext) {
        LPCWSTR paths[] = {L"Event/System/Security/@UserID", L"Event/System/Version"};
        m_userAndVersionContext =
            EventsApiUtils::CreateRenderContext(EvtRenderContextValues, paths, 2);
    }
    m_userAndVersionCount = EventsApiUtils::RenderEvent(RawHandle(m_userAndVersionContext), event,
                                                        m_userAndVersionBuffer);
}

std::vector<std::wstring> EventMaker::RenderEventValues(EVT_HANDLE event) {
    const DWORD rendered =
        EventsApiUtils::RenderEvent(RawHandle(m_valuesContext), event, m_valuesBuffer);
    std::vector<std::wstring> strings;
    const EVT_VARIANT& first = RenderedValues(m_valuesBuffer, rendered)[0];
    // Windows renders a single Data value as a plain string.
    if (first.Type == EvtVarTypeString) {
        strings.emplace_back(first.StringVal != nullptr ? first.StringVal : L"");
        return strings;
    }
    if (first.Type != (EvtVarTypeString | EVT_VARIANT_TYPE_ARRAY) || first.StringArr == nullptr) {
        return strings;
    }
    strings.reserve(first.Count);
    for (DWORD i = 0; i < first.Count; ++i) {
        strings.emplace_back(first.StringArr[i] != nullptr ? first.StringArr[i] : L"");
    }
    return strings;
}

HRES EventMaker::GetEventMessageString(EVT_HANDLE event, std::wstring_view provider,
                                       std::wstring& message) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::GetEventMessageString");
    try {
        FailedProvider* failed = nullptr;
        const SmartHandle* metadata = GetProviderHandle(provider, failed);
        if (metadata == nullptr) {
            return MessageNotObtained(Describe(failed->failure, failed->message), message);
        }
        const DWORD error = EventsApiUtils::FormatEventMessageError(**metadata, event, message);
        if (error == ERROR_SUCCESS) {
            return {};
        }
        const HRESULT code = HresultFromWin32(error);
        if (!EventsApiUtils::IsPartialMessage(code)) {
            // The formatting's failure carries no error object: it is described by its code
            // alone, the same for every event that fails with it, and its HRES (which captures
            // the callers of the first of them) is made once.
            MessageFailure& made = m_formatFailures[code];
            if (!made.result) {
                HRES failure;
                failure = Win32Error{error};
                Describe(failure, made);
            }
            return MessageNotObtained(made, message);
        }
        HRES formatted;
        formatted = Win32Error{error};
        if (code != EventsApiUtils::HR_UNRESOLVED_VALUE_INSERT) {
            // The message with an insert left as written is still the message: it is kept, and
            // the failure logged.
            HRES failure;
            failure = WrapError(HR_EVENT_MESSAGE_NOT_OBTAINED, formatted, ERRDESC_NO_LOCATION);
            LOG_AT(LOG_ERR, L"Halyard::EventMaker::GetEventMessageString"
                                << L" failed: " << L"Failed getting event message due to: "
                                << failure);
        }
        return formatted;
    } catch (const HRX& failure) {
        return MessageNotObtained(failure, message);
    }
}

HRES EventMaker::MessageNotObtained(const HRES& failure, std::wstring& message) {
    MessageFailure made;
    Describe(failure, made);
    return MessageNotObtained(made, message);
}

const EventMaker::MessageFailure& EventMaker::Describe(const HRES& failure, MessageFailure& made) {
    if (!made.result) {
        HRES result;
        result = WrapError(HR_EVENT_MESSAGE_NOT_OBTAINED, failure, ERRDESC_NO_LOCATION);
        made.logText = ErrorText(result);
        made.messageText =
            FormatErrorDescription(BuildErrorDescription(result), ERRDESC_NO_LOCATION);
        made.result = std::move(result);
    }
    return made;
}

HRES EventMaker::MessageNotObtained(const MessageFailure& made, std::wstring& message) {
    LOG_FAILURE(L"Halyard::EventMaker::GetEventMessageString",
                L"Failed getting event message due to: " << made.logText);
    message = made.messageText;
    return *made.result;
}

const SmartHandle* EventMaker::GetProviderHandle(std::wstring_view provider,
                                                 FailedProvider*& failed) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::GetProviderHandle");
    failed = CheckProviderHandle(provider);
    if (failed != nullptr) {
        return nullptr;
    }
    // CheckProviderHandle makes the provider the last one found whenever its metadata is cached.
    if (m_lastCached == nullptr || provider != m_lastProvider) {
        LOG_AT(LOG_ERR, L"Provider's metadata not found: " << provider);
        RaiseError(HR_NOT_FOUND);
    }
    return &m_lastCached->metadata;
}

EventMaker::FailedProvider* EventMaker::CheckProviderHandle(std::wstring_view provider) {
    TRACE_SCOPE(LOG_DBG3, L"Halyard::EventMaker::CheckProviderHandle");
    if (m_lastCached != nullptr && provider == m_lastProvider) {
        LOG_AT(LOG_DBG2, L"Provider's metadata already opened: " << provider);
        return nullptr;
    }
    if (const auto found = m_providerMetadata.find(provider); found != m_providerMetadata.end()) {
        RememberLast(*found);
        LOG_AT(LOG_DBG2, L"Provider's metadata already opened: " << provider);
        return nullptr;
    }
    if (const auto failed = m_failedProviders.find(provider); failed != m_failedProviders.end()) {
        LOG_AT(LOG_DBG2, L"Provider's metadata failed to open before: " << provider);
        if (Logging::LogManager::Instance().IsEnabled(LOG_DBG3)) {
            throw HRX(failed->second.failure);
        }
        return &failed->second;
    }
    LOG_AT(LOG_DBG2, L"Open provider metadata: " << provider);
    std::wstring name(provider);
    SmartHandle metadata;
    const HRES opened = EventsApiUtils::OpenPublisherMetadata(name, metadata);
    if (opened.Failed()) {
        FailedProvider& failed =
            m_failedProviders.emplace(std::move(name), FailedProvider{opened, {}}).first->second;
        if (Logging::LogManager::Instance().IsEnabled(LOG_DBG3)) {
            throw HRX(opened);
        }
        return &failed;
    }
    RememberLast(
        *m_providerMetadata.emplace(std::move(name), CachedProvider{std::move(metadata)}).first);
    return nullptr;
}

void EventMaker::RememberLast(ProviderMetadata::value_type& provider) noexcept {
    m_lastProvider = provider.first;
    m_lastCached = &provider.second;
}

void EventMaker::ForgetFailures() noexcept {
    m_failedProviders.clear();
    m_formatFailures.clear();
    m_failedAccounts.clear();
    m_recordsRead.clear();
    m_recordsLog = nullptr;
    m_lastRecordAsked = 0;
}

} // namespace Halyard
