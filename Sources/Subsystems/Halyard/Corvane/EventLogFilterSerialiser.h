// Query building: a client's filter set (a node whose children are filter nodes, dispatched by
// node type) becomes the structured XML query of the Event Log API, a QueryList with one Select
// and at most one Suppress element. The builder is purely textual: it calls no Event Log function
// and checks no value; the Event Log API judges the query when it is used.
#pragma once

#include "NodeTree/EkNodePtr.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Halyard::EventLogFilterSerialiser {

// The item name that the item fix-up adds to an item filter that comes with a monitoring-plan
// filter; an event whose item value is this text carries no item name.
inline constexpr const wchar_t* FixedItemId = L"a3a7b447-337a-4254-917c-06cb684897a2";

// A range of event ids as the client wrote its two ends.
using EventIdRange = std::pair<std::wstring, std::wstring>;

// One-shot builder: construct with the channel path and the filter set (null for none), call
// Serialize once, destroy. The caller's nodes are never changed: the builder works on its own
// full-depth copy.
class Serrializer {
public:
    // Copies the filter set and applies the item fix-up to the copy: when the set holds an
    // "ItemFilter" and a "MonitoringPlanFilter", FixedItemId is appended to that item filter's
    // "Items". Raises ERROR_NOT_FOUND when that "Items" is missing.
    Serrializer(std::wstring channelPath, const EkNodePtr& filters);

    Serrializer(const Serrializer&) = delete;
    Serrializer& operator=(const Serrializer&) = delete;

    // Runs the handlers over the filter nodes and returns a new node without name and type that
    // carries "QueryString" (the QueryList text), "SearchString" (the last search filter's text,
    // empty if none) and "IsSimple" (true exactly when the set was null or had no children).
    // Children of unknown type are logged and skipped. A missing required attribute raises
    // ERROR_NOT_FOUND and nothing is built. Call once: it consumes the builder's state.
    EkNodePtr Serialize();

    // Classifies event-id records, appending to the outputs in record order: a record that
    // begins with "-" is a deny record (kept without the dash); otherwise splitting at every "-"
    // (empty pieces dropped) gives one piece, a simple record (kept as written), or two, a range;
    // any other record is logged and dropped. Numbers are not checked.
    static void SeparateEventsRecords(const std::vector<std::wstring>& records,
                                      std::vector<std::wstring>& simple,
                                      std::vector<EventIdRange>& ranges,
                                      std::vector<std::wstring>& deny);

private:
    using Handler = void (Serrializer::*)(const EkNodePtr& filter);

    // A child of the filter copy with its node type, read once for the fix-up and the dispatch.
    struct FilterNode {
        EkNodePtr node;
        std::wstring type;
    };

    void ApplyItemFixUp() const;

    void HandleDateFilter(const EkNodePtr& filter);
    void HandleLevelFilter(const EkNodePtr& filter);
    void HandleProviderFilter(const EkNodePtr& filter);
    void HandleSuppressProviderFilter(const EkNodePtr& filter);
    void HandleEventIdFilter(const EkNodePtr& filter);
    void HandleMonitoringPlanFilter(const EkNodePtr& filter);
    void HandleItemFilter(const EkNodePtr& filter);
    void HandleSearchFilter(const EkNodePtr& filter);

    std::wstring MakeSelectElement() const;
    // Overwrites m_suppressConditions with the whole suppress selection; empty when none.
    std::wstring MakeSuppressElement();

    // Node type (exact match) -> handler; keys are literals that outlive the table.
    std::unordered_map<std::wstring_view, Handler> m_handlers;
    EkNodePtr m_filters;
    // The children of m_filters in index order.
    std::vector<FilterNode> m_children;
    std::wstring m_channelPath;
    // " and "-joined conditions on the System element of selected events.
    std::wstring m_systemConditions;
    // " and "-joined conditions on the first event-data value (monitoring plans).
    std::wstring m_planConditions;
    // " and "-joined conditions on the second event-data value (items).
    std::wstring m_itemConditions;
    // " and "-joined conditions on the System element of suppressed events.
    std::wstring m_suppressConditions;
    std::wstring m_searchString;
};

// Text helpers of the builder.

// Escapes a monitoring-plan or item name in place: "&" -> "&amp;", a double quote -> two double
// quotes, "<" -> "&lt;", ">" -> "&gt;"; every character is escaped once.
void Escape(std::wstring& value);

// Escapes "&", "<" and ">" of a client value in place, so that it cannot end the element it is
// put in; values without them are left unchanged.
void XmlEscape(std::wstring& value);

// Fills a template printf-style: each "%s" takes the next argument, "%%" is one "%". Raises
// E_INVALIDARG when the template has another conversion or the argument count does not match.
std::wstring Format(std::wstring_view templateText, std::initializer_list<std::wstring_view> args);

// Replaces each value v by the template filled with (name, v).
void FormatEach(std::wstring_view templateText, std::wstring_view name,
                std::vector<std::wstring>& values);

// The non-empty values with the separator between two of them.
std::wstring Join(const std::vector<std::wstring>& values, std::wstring_view separator);

// Appends " and " (when the target is not empty) and the condition; an empty condition is
// ignored.
void AppendAnd(std::wstring& target, std::wstring_view condition);

} // namespace Halyard::EventLogFilterSerialiser
