#include "Halyard/Corvane/InsertionalStringsResolver.h"

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

// Asked for every event read; a map without providers is not hashed into.
bool EventSelection::Selects(std::wstring_view provider, uint32_t eventId) const {
    if (commonEvents.count(eventId) != 0) {
        if (exclude.empty()) {
            return true;
        }
        const auto excluded = exclude.find(provider);
        return excluded == exclude.end() || excluded->second.count(eventId) == 0;
    }
    if (include.empty()) {
        return false;
    }
    const auto included = include.find(provider);
    return included != include.end() && included->second.count(eventId) != 0;
}

InsertionalStringsResolver::InsertionalStringsResolver(const EkNodePtr& configuration) {
    const EkNodePtr resolver = configuration.GetChildByName(L"InsertionalStringsResolver", true);
    m_plansOnly = ReadSelection(resolver, L"MonitoringPlansOnly");
    m_plansAndItem = ReadSelection(resolver, L"MonitoringPlansAndItem");
    std::vector<std::wstring> skipped;
    resolver.GetAttribute(L"EventsProvidersToSkip", skipped, true);
    m_providersToSkip.insert(skipped.begin(), skipped.end());
}

bool InsertionalStringsResolver::IsProviderSkipped(std::wstring_view provider) const {
    return !m_providersToSkip.empty() &&
           m_providersToSkip.find(provider) != m_providersToSkip.end();
}

bool InsertionalStringsResolver::IsPlansOnlyEvent(uint32_t eventId,
                                                  std::wstring_view provider) const {
    return m_plansOnly.has_value() && m_plansOnly->Selects(provider, eventId);
}

bool InsertionalStringsResolver::IsPlansAndItemEvent(uint32_t eventId,
                                                     std::wstring_view provider) const {
    return m_plansAndItem.has_value() && m_plansAndItem->Selects(provider, eventId);
}

std::vector<std::wstring> InsertionalStringsResolver::GetProvidersToSkip() const {
    return {m_providersToSkip.begin(), m_providersToSkip.end()};
}

} // namespace Halyard
