// Fuzz target: the filter-set builder (Halyard::EventLogFilterSerialiser::Serrializer) over filter
// sets read from the bytes: filter nodes of every kind and of unknown types, attributes missing,
// mistyped or malformed, lists of any length, texts with XML and XPath markup. Properties: the
// builder either builds or raises an HRX for a missing or unconvertible attribute; it never
// changes the caller's nodes; what it builds is a well-formed QueryList whose one Query holds one
// Select and at most one Suppress over the channel, with the client's texts kept inside them as
// text; "IsSimple" is true exactly for a set without children; and the Event Log stand-in compiles
// the query or refuses it as an invalid query, never as malformed XML.
#include "FuzzSupport.h"
#include "NodeTreeFromBytes.h"

#include "Halyard/Corvane/EventLogFilterSerialiser.h"
#include "NodeTree/NodeSerializer.h"
#include "PalEventLog/Query/Query.h"

#include "Base/Utf.h"
#include "Win32/WinError.h"

#include <pugixml.hpp>

using Halyard::EventLogFilterSerialiser::Serrializer;

namespace {

const Fuzz::NodeVocabulary kVocabulary{
    .names = {L"DateFilter", L"LevelFilter", L"ProviderFilter", L"SuppressProviderFilter",
              L"EventIdFilter", L"MonitoringPlanFilter", L"ItemFilter", L"SearchFilter",
              L"Filters"},
    .attributes = {L"Since", L"To", L"Levels", L"Providers", L"EventIds", L"MonitoringPlans",
                   L"Items", L"SearchString"},
    .texts = {L"1",
              L"2",
              L"4624",
              L"4700-4702",
              L"4700--4702",
              L"-4625",
              L"-",
              L"1-2-3",
              L"4624-",
              L"",
              L"2024-01-01T00:00:00.000Z",
              L"Plan A",
              L"R&D",
              L"a\"b",
              L"x' or '1'='1",
              L"<Select>",
              L"]]>",
              L"&amp;",
              L"%s",
              L"%"},
};

constexpr const wchar_t* kChannel = L"Application";

std::string Text(const EkNodePtr& node) {
    return SerializeNodesToText(&node, 1, 0, EKN_DEPTH_ALL);
}

bool IsChannelElement(const pugi::xml_node& element, const char* name) {
    return std::string_view(element.name()) == name &&
           std::string_view(element.attribute("Path").value()) == "Application" &&
           std::distance(element.attributes_begin(), element.attributes_end()) == 1 &&
           (element.first_child().empty() || (element.first_child().type() == pugi::node_pcdata &&
                                              element.first_child().next_sibling().empty()));
}

void CheckQuery(const std::wstring& query) {
    const std::string utf8 = Base::Utf8FromWide(query);
    pugi::xml_document document;
    FUZZ_CHECK(document.load_buffer(utf8.data(), utf8.size()));
    const pugi::xml_node list = document.document_element();
    FUZZ_CHECK(std::string_view(list.name()) == "QueryList" && list.next_sibling().empty());
    const pugi::xml_node queryElement = list.first_child();
    FUZZ_CHECK(std::string_view(queryElement.name()) == "Query" &&
               std::string_view(queryElement.attribute("Id").value()) == "0" &&
               queryElement.next_sibling().empty());
    const pugi::xml_node select = queryElement.first_child();
    FUZZ_CHECK(IsChannelElement(select, "Select"));
    const pugi::xml_node suppress = select.next_sibling();
    FUZZ_CHECK(suppress.empty() ||
               (IsChannelElement(suppress, "Suppress") && suppress.next_sibling().empty()));

    PalEventLog::CompiledQuery compiled;
    PalEventLog::QueryError error;
    if (!PalEventLog::CompiledQuery::Compile(query.c_str(), L"", false, compiled, error)) {
        FUZZ_CHECK(error.code == ERROR_EVT_INVALID_QUERY);
    }
}

bool IsAttributeFailure(HRESULT code) {
    return code == HR_NOT_FOUND || Fuzz::IsConversionFailure(code);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    int budget = 24;
    const EkNodePtr filters = input.ConsumeIntegralInRange<int>(0, 15) == 0
                                  ? EkNodePtr()
                                  : Fuzz::NodeTreeFromBytes(input, kVocabulary, 2, budget);
    const std::string before = filters ? Text(filters) : std::string();
    try {
        Serrializer builder(kChannel, filters);
        const EkNodePtr result = builder.Serialize();
        CheckQuery(result.GetString(L"QueryString"));
        FUZZ_CHECK(result.GetBool(L"IsSimple") == (!filters || filters.GetChildCount() == 0));
        std::wstring search;
        FUZZ_CHECK(result.GetAttribute(L"SearchString", search));
    } catch (const HRX& failure) {
        FUZZ_CHECK(IsAttributeFailure(failure.Code()));
    }
    FUZZ_CHECK(!filters || Text(filters) == before);
    return 0;
}
