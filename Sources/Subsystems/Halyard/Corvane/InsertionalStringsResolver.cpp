#include "Halyard/Corvane/InsertionalStringsResolver.h"

#include <atomic>

namespace Halyard {

namespace {

// An id list attribute: absent or typed 0 is empty, an array is read as unsigned 32-bit values,
// anything else as one unsigned 32-bit value.
std::set<uint32_t> ReadIds(const EkNodePtr& node, const wchar_t* name) {
    std::vector<uint32_t> ids;
    node.GetUInt32List(name, ids);
    return {ids.begin(), ids.end()};
}

// The "ProviderMap" children of `node`'s child `name` (when there is one) into `maps`.
void ReadProviderMaps(const EkNodePtr& node, const wchar_t* name,
                      EventSelection::ProviderEvents& maps) {
    const EkNodePtr list = node.GetChildByName(name, false);
    if (!list) {
        return;
    }
    std::wstring type;
    ForEachChild(list, [&](const EkNodePtr& child) {
        child.GetNodeType(type);
        if (type != L"ProviderMap") {
            return;
        }
        std::wstring provider = child.GetString(L"ProviderName");
        if (maps.find(provider) == maps.end()) {
            maps.emplace(std::move(provider), ReadIds(child, L"Events"));
        }
    });
}

std::optional<EventSelection> ReadSelection(const EkNodePtr& node, const wchar_t* name) {
    const EkNodePtr selection = node.GetChildByName(name, false);
    if (!selection) {
        return std::nullopt;
    }
    return EventSelection::FromNode(selection);
}

} // namespace

EventSelection EventSelection::FromNode(const EkNodePtr& node) {
    EventSelection selection;
    selection.commonEvents = ReadIds(node, L"CommonEvents");
    ReadProviderMaps(node, L"Include", selection.include);
    ReadProviderMaps(node, L"Exclude", selection.exclude);
    return selection;
}

// A map without providers is not hashed into.
EventSelection::OfProvider EventSelection::For(std::wstring_view provider) const {
    OfProvider of;
    of.common = &commonEvents;
    if (!include.empty()) {
        if (const auto found = include.find(provider); found != include.end()) {
            of.included = &found->second;
        }
    }
    if (!exclude.empty()) {
        if (const auto found = exclude.find(provider); found != exclude.end()) {
            of.excluded = &found->second;
        }
    }
    return of;
}

bool EventSelection::OfProvider::Selects(uint32_t eventId) const {
    if (common == nullptr) {
        return false;
    }
    if (common->count(eventId) != 0) {
        return excluded == nullptr || excluded->count(eventId) == 0;
    }
    return included != nullptr && included->count(eventId) != 0;
}

InsertionalStringsResolver::InsertionalStringsResolver(const EkNodePtr& configuration) {
    static std::atomic<uint64_t> made{0};
    m_serial = ++made;
    const EkNodePtr resolver = configuration.GetChildByName(L"InsertionalStringsResolver", true);
    m_plansOnly = ReadSelection(resolver, L"MonitoringPlansOnly");
    m_plansAndItem = ReadSelection(resolver, L"MonitoringPlansAndItem");
    std::vector<std::wstring> skipped;
    resolver.GetAttribute(L"EventsProvidersToSkip", skipped, true);
    m_providersToSkip.insert(skipped.begin(), skipped.end());
}

InsertionalStringsResolver::ProviderRules
InsertionalStringsResolver::RulesFor(std::wstring_view provider) const {
    ProviderRules rules;
    rules.skipped =
        !m_providersToSkip.empty() && m_providersToSkip.find(provider) != m_providersToSkip.end();
    if (!rules.skipped) {
        if (m_plansOnly) {
            rules.plansOnly = m_plansOnly->For(provider);
        }
        if (m_plansAndItem) {
            rules.plansAndItem = m_plansAndItem->For(provider);
        }
    }
    return rules;
}

std::vector<std::wstring> InsertionalStringsResolver::GetProvidersToSkip() const {
    return {m_providersToSkip.begin(), m_providersToSkip.end()};
}

} // namespace Halyard
