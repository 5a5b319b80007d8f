#include "Halyard/Corvane/InsertionalStringsResolver.h"

#include "EventLogTestSupport.h"

#include <set>

using namespace EventLogTesting;
using Halyard::InsertionalStringsResolver;

namespace {

EkNodePtr Node(const wchar_t* name, const wchar_t* type = nullptr) {
    return EkNodePtr::CreateNode(name, type);
}

// A configuration node holding the resolver node.
EkNodePtr Configuration(const EkNodePtr& resolver) {
    return WithChildren(Node(L"Configuration"), {resolver});
}

EkNodePtr ResolverNode(const std::vector<std::wstring>& skipped) {
    const EkNodePtr resolver = Node(L"InsertionalStringsResolver");
    resolver.SetAttribute(L"EventsProvidersToSkip", skipped);
    return resolver;
}

} // namespace

// Common ids for every provider unless excluded; included ids for their provider only. The
// first map of a provider wins, and children that are no "ProviderMap" are ignored.
TEST(InsertionalStringsResolver, SelectsCommonEventsWithIncludesAndExcludes) {
    const EkNodePtr plansAndItem = Node(L"MonitoringPlansAndItem");
    plansAndItem.SetAttribute(L"CommonEvents", std::vector<int32_t>{4000, 4001});
    plansAndItem.AddChild(
        WithChildren(Node(L"Exclude"), {ProviderMap(L"P", {4001}), ProviderMap(L"P", {4000}),
                                        ProviderMap(L"Q", {4000}, L"Other")}));
    plansAndItem.AddChild(WithChildren(Node(L"Include"), {ProviderMap(L"Q", {5000})}));
    const EkNodePtr resolver = ResolverNode({L"Skipped", L"Another"});
    resolver.AddChild(plansAndItem);
    const InsertionalStringsResolver r(Configuration(resolver));

    EXPECT_TRUE(r.RulesFor(L"P").plansAndItem.Selects(4000));
    EXPECT_TRUE(r.RulesFor(L"Q").plansAndItem.Selects(4001));
    EXPECT_FALSE(r.RulesFor(L"P").plansAndItem.Selects(4001));
    EXPECT_TRUE(r.RulesFor(L"Q").plansAndItem.Selects(5000));
    EXPECT_FALSE(r.RulesFor(L"P").plansAndItem.Selects(5000));
    EXPECT_TRUE(
        r.RulesFor(L"Q").plansAndItem.Selects(4000)); // excluded only by a node of another type
    EXPECT_FALSE(r.RulesFor(L"q").plansAndItem.Selects(5000)); // provider names compare exactly
    EXPECT_FALSE(r.RulesFor(L"P").plansOnly.Selects(4000));
    EXPECT_TRUE(r.RulesFor(L"Skipped").skipped);
    EXPECT_FALSE(r.RulesFor(L"Skipped").plansAndItem.Selects(4000)); // its events are not looked at
    EXPECT_FALSE(r.RulesFor(L"skipped").skipped);
    const std::vector<std::wstring> skipped = r.GetProvidersToSkip();
    EXPECT_EQ(std::set<std::wstring>(skipped.begin(), skipped.end()),
              (std::set<std::wstring>{L"Skipped", L"Another"}));
}

TEST(InsertionalStringsResolver, ReadsIdListsInEitherForm) {
    const EkNodePtr plansOnly = Node(L"MonitoringPlansOnly");
    plansOnly.SetAttribute(L"CommonEvents", int32_t{7});
    const EkNodePtr include = Node(L"Include");
    const EkNodePtr single = Node(L"Map", L"ProviderMap");
    single.SetAttribute(L"ProviderName", L"P");
    single.SetAttribute(L"Events", std::wstring(L"9"));
    const EkNodePtr none = Node(L"Map", L"ProviderMap");
    none.SetAttribute(L"ProviderName", L"Q");
    include.AddChild(single);
    include.AddChild(none);
    plansOnly.AddChild(include);
    const EkNodePtr resolver = ResolverNode({});
    resolver.AddChild(plansOnly);
    const InsertionalStringsResolver r(Configuration(resolver));
    EXPECT_TRUE(r.RulesFor(L"anyone").plansOnly.Selects(7));
    EXPECT_TRUE(r.RulesFor(L"P").plansOnly.Selects(9));
    EXPECT_FALSE(r.RulesFor(L"Q").plansOnly.Selects(9));
    EXPECT_FALSE(r.RulesFor(L"anyone").plansAndItem.Selects(7));
    EXPECT_TRUE(r.GetProvidersToSkip().empty());
}

TEST(InsertionalStringsResolver, RequiredPartsMustBeThere) {
    // No selections resolve nothing, but the skip list is still required.
    const InsertionalStringsResolver empty(Configuration(ResolverNode({})));
    EXPECT_FALSE(empty.RulesFor(L"P").plansOnly.Selects(1));
    EXPECT_FALSE(empty.RulesFor(L"P").plansAndItem.Selects(1));
    EXPECT_EQ(ThrownCode([] {
                  InsertionalStringsResolver r(Configuration(Node(L"InsertionalStringsResolver")));
              }),
              HR_NOT_FOUND);
    EXPECT_EQ(ThrownCode([] { InsertionalStringsResolver r(Node(L"Configuration")); }),
              HR_NOT_FOUND);
    const EkNodePtr resolver = ResolverNode({});
    const EkNodePtr nameless = Node(L"Map", L"ProviderMap");
    resolver.AddChild(
        WithChildren(Node(L"MonitoringPlansOnly"), {WithChildren(Node(L"Include"), {nameless})}));
    EXPECT_EQ(ThrownCode([&] { InsertionalStringsResolver r(Configuration(resolver)); }),
              HR_NOT_FOUND);
}
