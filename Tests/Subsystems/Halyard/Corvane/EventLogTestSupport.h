// Helpers of the event-log layer's tests: the test store, log capture, and events as the store
// renders them in XML (the oracle the nodes are compared with).
#pragma once

#include "Common/Logging/LogTestSupport.h"
#include "Halyard/Corvane/EventLogApiUtils.h"
#include "NodeTree/EkNodePtr.h"
#include "Support/SharedData.h"
#include "Trellis/Trellis.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace EventLogTesting {

// The store of these tests (the sample store's files and Data/EdgeEvents.xml), chosen before the
// first Event Log call of the program.
inline const bool TestStoreSelected = [] {
    ::setenv("PAL_EVENTLOG_DIR", CORVANE_TEST_STORE, 1);
    return true;
}();

// Record numbers of Data/EdgeEvents.xml.
constexpr uint32_t UnresolvedInsertRecord = 100001;
constexpr uint32_t UnmappedUserRecord = 100002;
constexpr uint32_t UpperCaseItemRecord = 100003;
constexpr uint32_t NoProviderRecord = 100004;
constexpr uint32_t PlansOnlyRecord = 100005;
constexpr uint32_t LongMessageRecord = 100006;
constexpr const wchar_t* UnmappedSid = L"S-1-5-21-1111111111-2222222222-3333333333-4444";

// Real logs written by Windows, outside the project; empty when absent.
inline std::vector<std::filesystem::path> SharedEvtxFiles() {
    return SharedData::EvtxFiles();
}

// The request the calling thread serves while it lives.
class Request {
public:
    Request() { EXPECT_EQ(TrBeginRequest(&m_request), S_OK); }
    ~Request() { TrEndRequest(m_request); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    void* Get() const { return m_request; }

private:
    void* m_request = nullptr;
};

// The HRESULT an action throws as an HRX; S_OK when it throws nothing.
template <typename Action>
HRESULT ThrownCode(Action&& action) {
    try {
        action();
    } catch (const HRX& failure) {
        return failure.Code();
    }
    return S_OK;
}

// The events of a query with the result set that keeps them valid.
struct QueriedEvents {
    EventsApiUtils::SmartHandle resultSet;
    EventsApiUtils::SmartEvtVector events;
};

// Every event of a query, oldest first (newest first with EvtQueryReverseDirection).
inline QueriedEvents AllEvents(const std::wstring& path, DWORD flags, const wchar_t* query = L"*") {
    QueriedEvents result;
    result.resultSet =
        EventsApiUtils::MakeSmartEvtHandle(EvtQuery(nullptr, path.c_str(), query, flags));
    EXPECT_NE(*result.resultSet, nullptr) << "EvtQuery failed: " << GetLastError();
    if (*result.resultSet == nullptr) {
        return result;
    }
    for (;;) {
        EventsApiUtils::SmartEvtVector batch;
        if (EventsApiUtils::GetNextData(*result.resultSet, 100, 0, batch).Failed()) {
            return result;
        }
        for (auto& event : batch) {
            result.events.push_back(std::move(event));
        }
    }
}

// The Application event with that record number.
inline QueriedEvents ApplicationRecord(uint32_t record) {
    const std::wstring query = L"*[System[EventRecordID=" + std::to_wstring(record) + L"]]";
    QueriedEvents result = AllEvents(L"Application", EvtQueryChannelPath, query.c_str());
    EXPECT_EQ(result.events.size(), 1u) << "record " << record;
    return result;
}

// One event as its XML render shows it.
struct EventXml {
    pugi::xml_document document;
    pugi::xml_node system;

    explicit EventXml(EVT_HANDLE event) {
        DWORD used = 0;
        DWORD properties = 0;
        EvtRender(nullptr, event, EvtRenderEventXml, 0, nullptr, &used, &properties);
        std::wstring text(used / sizeof(wchar_t), L'\0');
        EXPECT_TRUE(
            EvtRender(nullptr, event, EvtRenderEventXml, used, text.data(), &used, &properties));
        text.resize(std::wcslen(text.c_str()));
        EXPECT_TRUE(document.load_buffer(text.data(), text.size() * sizeof(wchar_t),
                                         pugi::parse_default, pugi::encoding_wchar))
            << "unparsable event XML";
        system = document.child("Event").child("System");
    }
    std::wstring Text(const char* element) const {
        return pugi::as_wide(system.child(element).text().get());
    }
    int64_t Number(const char* element, int base = 10) const {
        const char* text = system.child(element).text().get();
        return *text != '\0' ? static_cast<int64_t>(std::strtoull(text, nullptr, base)) : 0;
    }
    std::wstring Attribute(const char* element, const char* name) const {
        return pugi::as_wide(system.child(element).attribute(name).value());
    }
    std::vector<std::wstring> Data() const {
        std::vector<std::wstring> values;
        for (const pugi::xml_node data :
             document.child("Event").child("EventData").children("Data")) {
            values.push_back(pugi::as_wide(data.text().get()));
        }
        return values;
    }
};

// The message EvtFormatMessage gives for the event, or nothing when its provider has no metadata
// or the message cannot be formatted at all.
inline std::optional<std::wstring> ApiMessage(EVT_HANDLE event, const std::wstring& provider) {
    const EventsApiUtils::SmartHandle metadata = EventsApiUtils::MakeSmartEvtHandle(
        EvtOpenPublisherMetadata(nullptr, provider.c_str(), nullptr, 0, 0));
    if (*metadata == nullptr) {
        return std::nullopt;
    }
    DWORD used = 0;
    EvtFormatMessage(*metadata, event, 0, 0, nullptr, EvtFormatMessageEvent, 0, nullptr, &used);
    std::wstring text(used, L'\0');
    // The message is there also with its inserts not all resolved.
    if (!EvtFormatMessage(*metadata, event, 0, 0, nullptr, EvtFormatMessageEvent, used, text.data(),
                          &used) &&
        GetLastError() != ERROR_EVT_UNRESOLVED_VALUE_INSERT &&
        GetLastError() != ERROR_EVT_UNRESOLVED_PARAMETER_INSERT &&
        GetLastError() != ERROR_EVT_MAX_INSERTS_REACHED) {
        return std::nullopt;
    }
    text.resize(std::wcslen(text.c_str()));
    return text;
}

// A map of a provider's event ids, of type "ProviderMap" unless another is given.
inline EkNodePtr ProviderMap(const wchar_t* provider, const std::vector<int32_t>& ids,
                             const wchar_t* type = L"ProviderMap") {
    const EkNodePtr map = EkNodePtr::CreateNode(L"Map", type);
    map.SetAttribute(L"ProviderName", provider);
    map.SetAttribute(L"Events", ids);
    return map;
}

inline EkNodePtr WithChildren(EkNodePtr node, std::initializer_list<EkNodePtr> children) {
    for (const EkNodePtr& child : children) {
        node.AddChild(child);
    }
    return node;
}

// A configuration whose resolver skips the `skipped` providers and names plans and items of the
// test store's monitoring events: Halyard-Monitor 2001 carries a plan and an item; with
// `plansOnly`, every 2002 and 5 carries only a plan, and so does Orchard Backup 100.
inline EkNodePtr ResolverConfiguration(const std::vector<std::wstring>& skipped = {},
                                       bool plansOnly = true) {
    const auto node = [](const wchar_t* name) { return EkNodePtr::CreateNode(name, nullptr); };
    const EkNodePtr resolver = node(L"InsertionalStringsResolver");
    resolver.SetAttribute(L"EventsProvidersToSkip", skipped);
    if (plansOnly) {
        const EkNodePtr plans =
            WithChildren(node(L"MonitoringPlansOnly"),
                         {WithChildren(node(L"Include"), {ProviderMap(L"Orchard Backup", {100})})});
        plans.SetAttribute(L"CommonEvents", std::vector<int32_t>{2002, 5});
        resolver.AddChild(plans);
    }
    resolver.AddChild(
        WithChildren(node(L"MonitoringPlansAndItem"),
                     {WithChildren(node(L"Include"), {ProviderMap(L"Halyard-Monitor", {2001})})}));
    return WithChildren(node(L"Configuration"), {resolver});
}

} // namespace EventLogTesting
