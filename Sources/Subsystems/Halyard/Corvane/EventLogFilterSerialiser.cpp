#include "Halyard/Corvane/EventLogFilterSerialiser.h"

#include "Base/XmlEscape.h"
#include "ErrorHandling/ErrorHandling.h"
#include "Logging/LogManager.h"
#include "Logging/NodeDump.h"
#include "Logging/TraceScope.h"

#include <cstddef>

namespace Halyard::EventLogFilterSerialiser {

namespace {

constexpr std::wstring_view kDateFilter = L"DateFilter";
constexpr std::wstring_view kLevelFilter = L"LevelFilter";
constexpr std::wstring_view kProviderFilter = L"ProviderFilter";
constexpr std::wstring_view kSuppressProviderFilter = L"SuppressProviderFilter";
constexpr std::wstring_view kEventIdFilter = L"EventIdFilter";
constexpr std::wstring_view kMonitoringPlanFilter = L"MonitoringPlanFilter";
constexpr std::wstring_view kItemFilter = L"ItemFilter";
constexpr std::wstring_view kSearchFilter = L"SearchFilter";

constexpr const wchar_t* kSeparateEventsRecordsName =
    L"Halyard::EventLogFilterSerialiser::Serrializer::SeparateEventsRecords";

// Escapes every value of a list with `escape`.
template <typename EscapeFn>
void EscapeEach(std::vector<std::wstring>& values, EscapeFn escape) {
    for (std::wstring& value : values) {
        escape(value);
    }
}

// Replaces each character of `value` that `replacement` maps to a non-empty text, in one pass; a
// value without such characters is not touched.
template <typename ReplacementFn>
void ReplaceCharacters(std::wstring& value, ReplacementFn replacement) {
    size_t position = 0;
    while (position < value.size() && replacement(value[position]).empty()) {
        ++position;
    }
    if (position == value.size()) {
        return;
    }
    std::wstring result;
    result.reserve(value.size() + value.size() / 8 + 8);
    result.append(value, 0, position);
    for (; position < value.size(); ++position) {
        const std::wstring_view text = replacement(value[position]);
        if (text.empty()) {
            result.push_back(value[position]);
        } else {
            result.append(text);
        }
    }
    value = std::move(result);
}

// The " or "-joined "Name=value" conditions of a list, wrapped in parentheses; empty for an empty
// list.
std::wstring MakeIdsCondition(std::vector<std::wstring>& ids) {
    FormatEach(L"%s=%s", L"EventID", ids);
    std::wstring joined = Join(ids, L" or ");
    return joined.empty() ? std::wstring() : Format(L"(%s)", {joined});
}

// The " or "-joined "@Name='provider'" conditions of a list; empty for an empty list. An
// apostrophe in a name is doubled, as the query reads one inside the quoted name: a name such as
// "O'Brien Tools" would otherwise end the text early and make the query invalid.
std::wstring MakeProvidersText(std::vector<std::wstring>& providers) {
    EscapeEach(providers, [](std::wstring& provider) {
        XmlEscape(provider);
        ReplaceCharacters(provider, [](wchar_t c) -> std::wstring_view {
            return c == L'\'' ? L"''" : std::wstring_view();
        });
    });
    FormatEach(L"%s='%s'", L"@Name", providers);
    return Join(providers, L" or ");
}

// The names of a list attribute, each escaped (Escape) and filled into `condition`, joined with
// `separator`.
std::wstring EscapedConditions(const EkNodePtr& filter, const wchar_t* attribute,
                               std::wstring_view condition, std::wstring_view separator) {
    std::vector<std::wstring> names;
    filter.GetAttribute(attribute, names, true);
    for (std::wstring& name : names) {
        Escape(name);
        name = Format(condition, {name});
    }
    return Join(names, separator);
}

} // namespace

void Escape(std::wstring& value) {
    // One pass gives what replacing "&", the double quote, "<" and ">" in turn gives, because no
    // replacement text holds a character that a later replacement looks for, and each scan goes
    // on after the text it inserted.
    ReplaceCharacters(value, [](wchar_t c) -> std::wstring_view {
        switch (c) {
        case L'&':
            return L"&amp;";
        case L'"':
            return L"\"\"";
        case L'<':
            return L"&lt;";
        case L'>':
            return L"&gt;";
        default:
            return {};
        }
    });
}

void XmlEscape(std::wstring& value) {
    if (value.find_first_of(L"&<>") != std::wstring::npos) {
        value = Base::XmlEscaped(value, Base::kEscapeMarkup);
    }
}

std::wstring Format(std::wstring_view templateText, std::initializer_list<std::wstring_view> args) {
    // First pass: check the template against the arguments and size the result.
    size_t length = 0;
    size_t conversions = 0;
    for (size_t i = 0; i < templateText.size(); ++i) {
        if (templateText[i] != L'%') {
            ++length;
            continue;
        }
        if (i + 1 == templateText.size()) {
            RaiseError(E_INVALIDARG);
        }
        const wchar_t conversion = templateText[++i];
        if (conversion == L'%') {
            ++length;
        } else if (conversion == L's' && conversions < args.size()) {
            length += args.begin()[conversions++].size();
        } else {
            RaiseError(E_INVALIDARG);
        }
    }
    if (conversions != args.size()) {
        RaiseError(E_INVALIDARG);
    }

    std::wstring result;
    result.reserve(length);
    const std::wstring_view* arg = args.begin();
    size_t literalStart = 0;
    for (size_t i = 0; i < templateText.size(); ++i) {
        if (templateText[i] != L'%') {
            continue;
        }
        result.append(templateText.substr(literalStart, i - literalStart));
        if (templateText[++i] == L'%') {
            result.push_back(L'%');
        } else {
            result.append(*arg++);
        }
        literalStart = i + 1;
    }
    result.append(templateText.substr(literalStart));
    return result;
}

void FormatEach(std::wstring_view templateText, std::wstring_view name,
                std::vector<std::wstring>& values) {
    for (std::wstring& value : values) {
        value = Format(templateText, {name, value});
    }
}

std::wstring Join(const std::vector<std::wstring>& values, std::wstring_view separator) {
    size_t length = 0;
    for (const std::wstring& value : values) {
        if (!value.empty()) {
            length += value.size() + separator.size();
        }
    }
    std::wstring result;
    result.reserve(length);
    for (const std::wstring& value : values) {
        if (value.empty()) {
            continue;
        }
        if (!result.empty()) {
            result.append(separator);
        }
        result.append(value);
    }
    return result;
}

void AppendAnd(std::wstring& target, std::wstring_view condition) {
    if (condition.empty()) {
        return;
    }
    if (!target.empty()) {
        target.append(L" and ");
    }
    target.append(condition);
}

Serrializer::Serrializer(std::wstring channelPath, const EkNodePtr& filters)
    : m_handlers{
          {kDateFilter, &Serrializer::HandleDateFilter},
          {kLevelFilter, &Serrializer::HandleLevelFilter},
          {kProviderFilter, &Serrializer::HandleProviderFilter},
          {kSuppressProviderFilter, &Serrializer::HandleSuppressProviderFilter},
          {kEventIdFilter, &Serrializer::HandleEventIdFilter},
          {kMonitoringPlanFilter, &Serrializer::HandleMonitoringPlanFilter},
          {kItemFilter, &Serrializer::HandleItemFilter},
          {kSearchFilter, &Serrializer::HandleSearchFilter},
      },
      m_channelPath(std::move(channelPath)) {
    if (filters) {
        m_filters = filters.CloneNode(EKN_DEPTH_ALL, 0);
        const uint64_t count = m_filters.GetChildCount();
        m_children.reserve(static_cast<size_t>(count));
        for (uint64_t i = 0; i < count; ++i) {
            FilterNode& child = m_children.emplace_back();
            child.node = m_filters.GetChildByIndex(i, true);
            child.node.GetNodeType(child.type);
        }
        ApplyItemFixUp();
    }
}

void Serrializer::ApplyItemFixUp() const {
    // The first pair of an item filter and a monitoring-plan filter decides; of several item (or
    // plan) filters before the pair is complete, the last one counts.
    const EkNodePtr* item = nullptr;
    const EkNodePtr* plan = nullptr;
    for (const FilterNode& child : m_children) {
        if (child.type == kItemFilter) {
            item = &child.node;
        } else if (child.type == kMonitoringPlanFilter) {
            plan = &child.node;
        }
        if (item != nullptr && plan != nullptr) {
            break;
        }
    }
    if (item == nullptr || plan == nullptr) {
        return;
    }
    std::vector<std::wstring> items;
    item->GetAttribute(L"Items", items, true);
    items.emplace_back(FixedItemId);
    item->SetAttribute(L"Items", items);
}

EkNodePtr Serrializer::Serialize() {
    // Simple: no filter set, or one without children.
    const bool isSimple = m_children.empty();
    for (const FilterNode& child : m_children) {
        const auto handler = m_handlers.find(child.type);
        if (handler == m_handlers.end()) {
            LOG_AT(Logging::LOG_DBG, L"Invalid filter node: " << Logging::NodeDump{child.node});
            continue;
        }
        (this->*(handler->second))(child.node);
    }

    const std::wstring selectElement = MakeSelectElement();
    const std::wstring suppressElement = MakeSuppressElement();
    const std::wstring query = Format(L"<QueryList><Query Id=\"0\">%s%s</Query></QueryList>",
                                      {selectElement, suppressElement});
    LOG_AT(Logging::LOG_DBG, L"Serialized filters: " << query);

    EkNodePtr result = EkNodePtr::CreateNode(nullptr, nullptr);
    result.SetAttribute(L"QueryString", query);
    result.SetAttribute(L"SearchString", m_searchString);
    result.SetAttribute(L"IsSimple", isSimple);
    return result;
}

std::wstring Serrializer::MakeSelectElement() const {
    std::vector<std::wstring> parts;
    if (!m_systemConditions.empty()) {
        parts.push_back(Format(L"System[%s]", {m_systemConditions}));
    }
    if (!m_planConditions.empty()) {
        parts.emplace_back(L"EventData[Data]");
    }
    if (!m_itemConditions.empty()) {
        parts.push_back(Format(L"EventData[%s]", {m_itemConditions}));
    }
    const std::wstring selection =
        parts.empty() ? std::wstring(L"*") : Format(L"*[%s]", {Join(parts, L" and ")});
    return Format(L"<Select Path=\"%s\">%s</Select>", {m_channelPath, selection});
}

std::wstring Serrializer::MakeSuppressElement() {
    if (m_suppressConditions.empty() && m_planConditions.empty()) {
        return {};
    }
    std::wstring selection;
    if (!m_planConditions.empty()) {
        selection = Format(L"EventData[%s]", {m_planConditions});
    }
    if (!m_suppressConditions.empty()) {
        if (!selection.empty()) {
            selection.append(L" or ");
        }
        selection.append(Format(L"System[%s]", {m_suppressConditions}));
    }
    m_suppressConditions = Format(L"*[%s]", {selection});
    return Format(L"<Suppress Path=\"%s\">%s</Suppress>", {m_channelPath, m_suppressConditions});
}

void Serrializer::HandleDateFilter(const EkNodePtr& filter) {
    std::wstring since;
    std::wstring to;
    filter.GetAttribute(L"Since", since);
    filter.GetAttribute(L"To", to);
    XmlEscape(since);
    XmlEscape(to);
    std::wstring condition;
    if (!since.empty() && !to.empty()) {
        condition = Format(L"@SystemTime &gt;= '%s' and @SystemTime &lt;= '%s'", {since, to});
    } else if (!since.empty()) {
        condition = Format(L"@SystemTime &gt;= '%s'", {since});
    } else if (!to.empty()) {
        condition = Format(L"@SystemTime &lt;= '%s'", {to});
    } else {
        return;
    }
    AppendAnd(m_systemConditions, Format(L"TimeCreated[%s]", {condition}));
}

void Serrializer::HandleLevelFilter(const EkNodePtr& filter) {
    std::vector<std::wstring> levels;
    filter.GetAttribute(L"Levels", levels, true);
    EscapeEach(levels, XmlEscape);
    FormatEach(L"%s=%s", L"Level", levels);
    AppendAnd(m_systemConditions, Format(L"(%s)", {Join(levels, L" or ")}));
}

void Serrializer::HandleProviderFilter(const EkNodePtr& filter) {
    std::vector<std::wstring> providers;
    filter.GetAttribute(L"Providers", providers, true);
    std::wstring text = MakeProvidersText(providers);
    if (text.empty()) {
        // A condition that no event meets.
        text = L"Error";
    }
    AppendAnd(m_systemConditions, Format(L"Provider[%s]", {text}));
}

void Serrializer::HandleSuppressProviderFilter(const EkNodePtr& filter) {
    std::vector<std::wstring> providers;
    filter.GetAttribute(L"Providers", providers, true);
    AppendAnd(m_suppressConditions, Format(L"Provider[%s]", {MakeProvidersText(providers)}));
}

void Serrializer::HandleEventIdFilter(const EkNodePtr& filter) {
    std::vector<std::wstring> records;
    filter.GetAttribute(L"EventIds", records, true);
    std::vector<std::wstring> simple;
    std::vector<EventIdRange> ranges;
    std::vector<std::wstring> deny;
    SeparateEventsRecords(records, simple, ranges, deny);
    records.clear();
    records.shrink_to_fit();

    EscapeEach(simple, XmlEscape);
    EscapeEach(deny, XmlEscape);

    std::vector<std::wstring> rangeConditions;
    rangeConditions.reserve(ranges.size());
    for (EventIdRange& range : ranges) {
        XmlEscape(range.first);
        XmlEscape(range.second);
        rangeConditions.push_back(
            Format(L"(%s)", {Format(L"%s &gt;= %s and %s &lt;= %s",
                                    {L"EventID", range.first, L"EventID", range.second})}));
    }

    const std::wstring selected =
        Join({MakeIdsCondition(simple), Join(rangeConditions, L" or ")}, L" or ");
    if (!selected.empty()) {
        AppendAnd(m_systemConditions, Format(L"(%s)", {selected}));
    }
    AppendAnd(m_suppressConditions, MakeIdsCondition(deny));
}

void Serrializer::HandleMonitoringPlanFilter(const EkNodePtr& filter) {
    AppendAnd(m_planConditions,
              EscapedConditions(filter, L"MonitoringPlans", L"Data[1]!=\"%s\"", L" and "));
}

void Serrializer::HandleItemFilter(const EkNodePtr& filter) {
    AppendAnd(m_itemConditions, EscapedConditions(filter, L"Items", L"Data[2]=\"%s\"", L" or "));
}

void Serrializer::HandleSearchFilter(const EkNodePtr& filter) {
    m_searchString = filter.GetString(L"SearchString");
}

void Serrializer::SeparateEventsRecords(const std::vector<std::wstring>& records,
                                        std::vector<std::wstring>& simple,
                                        std::vector<EventIdRange>& ranges,
                                        std::vector<std::wstring>& deny) {
    TRACE_SCOPE(Logging::LOG_DBG3, kSeparateEventsRecordsName);
    for (const std::wstring& record : records) {
        if (!record.empty() && record.front() == L'-') {
            LOG_AT(Logging::LOG_DBG3, record << L" is deny.");
            deny.emplace_back(record, 1);
            continue;
        }
        // The non-empty pieces between dashes; three are enough to know the record is unknown.
        std::wstring_view pieces[3];
        size_t pieceCount = 0;
        size_t start = 0;
        while (start <= record.size() && pieceCount < 3) {
            size_t end = record.find(L'-', start);
            if (end == std::wstring::npos) {
                end = record.size();
            }
            if (end > start) {
                pieces[pieceCount++] = std::wstring_view(record).substr(start, end - start);
            }
            start = end + 1;
        }
        if (pieceCount == 1) {
            LOG_AT(Logging::LOG_DBG3, record << L" is simple.");
            simple.push_back(record);
        } else if (pieceCount == 2) {
            LOG_AT(Logging::LOG_DBG3, record << L" is range.");
            ranges.emplace_back(std::wstring(pieces[0]), std::wstring(pieces[1]));
        } else {
            LOG_FAILURE(kSeparateEventsRecordsName, L"Unknown events record type: " << record);
        }
    }
}

} // namespace Halyard::EventLogFilterSerialiser
