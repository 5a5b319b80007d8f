// Which events carry the names of a monitoring plan (their first insertion string) and of an item
// of that plan (their second), per provider and event id, and which providers are never looked at.
// Read once from the component's configuration and never changed, so any number of threads may
// ask at once without locking.
#pragma once

#include "Base/Text.h"
#include "NodeTree/EkNodePtr.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Halyard {

// Event ids selected for every provider ("CommonEvents") unless a provider excludes them, plus ids
// that single providers include. Provider names compare exactly.
struct EventSelection {
    using ProviderEvents =
        std::unordered_map<std::wstring, std::set<uint32_t>, Base::WideTextHash, std::equal_to<>>;

    std::set<uint32_t> commonEvents;
    ProviderEvents include;
    ProviderEvents exclude;

    // From a selection node: "CommonEvents" and the "ProviderMap" children of "Include" and
    // "Exclude" (children of other types are ignored; of two maps for one provider the first
    // wins). A map without "ProviderName" raises ERROR_NOT_FOUND.
    static EventSelection FromNode(const EkNodePtr& node);

    // The selection as it stands for one provider, its lists found once: a page mostly holds runs
    // of one provider's events, and then asks for each without the provider's name. It points
    // into the selection. Made of no selection, it selects nothing.
    struct OfProvider {
        const std::set<uint32_t>* common = nullptr;
        const std::set<uint32_t>* included = nullptr; // null: the provider includes nothing
        const std::set<uint32_t>* excluded = nullptr; // null: the provider excludes nothing

        // A common id unless the provider excludes it; another id when the provider includes it.
        bool Selects(uint32_t eventId) const;
    };
    OfProvider For(std::wstring_view provider) const;
};

class InsertionalStringsResolver {
public:
    // From the configuration node that holds the child "InsertionalStringsResolver" (required,
    // with the required list "EventsProvidersToSkip" and the optional selections
    // "MonitoringPlansOnly" and "MonitoringPlansAndItem"). Missing required parts raise
    // ERROR_NOT_FOUND.
    explicit InsertionalStringsResolver(const EkNodePtr& configuration);
    InsertionalStringsResolver(const InsertionalStringsResolver&) = delete;
    InsertionalStringsResolver& operator=(const InsertionalStringsResolver&) = delete;

    // What the resolver says of one provider's events, found once for the provider; it points
    // into the resolver. A skipped provider's events are not looked at; of another's, plansOnly
    // selects those whose first insertion string names a plan (none without
    // "MonitoringPlansOnly"), plansAndItem those whose first two name a plan and an item (none
    // without "MonitoringPlansAndItem").
    struct ProviderRules {
        bool skipped = false;
        EventSelection::OfProvider plansOnly;
        EventSelection::OfProvider plansAndItem;
    };
    ProviderRules RulesFor(std::wstring_view provider) const;
    // Tells this resolver from every other, one made later at the same address included: rules
    // kept from RulesFor hold for a resolver of the same serial.
    uint64_t Serial() const noexcept { return m_serial; }

    // The providers to skip, in no particular order.
    std::vector<std::wstring> GetProvidersToSkip() const;

private:
    uint64_t m_serial;
    std::optional<EventSelection> m_plansOnly;
    std::optional<EventSelection> m_plansAndItem;
    std::unordered_set<std::wstring, Base::WideTextHash, std::equal_to<>> m_providersToSkip;
};

} // namespace Halyard
