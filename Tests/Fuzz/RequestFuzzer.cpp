// Fuzz target: ProcessRequest of a configured component, in this process, over a small store of
// its own. Each input is a few requests read from the bytes: any name (the seven mostly), the
// attributes the handlers read with any type and value (huge counts and positions, negative ones,
// texts where numbers belong), continuation marks with session ids from nowhere or from earlier
// responses, filter sets of every kind. Properties: ProcessRequest answers S_OK with an
// "EventViewerResponse" whose "ResultCode" is set, and a failure comes with "ErrorSerialized"
// naming its code; no failure is an unexpected or internal one; a page holds strictly older
// events one after another. A flat paging attribute that does not convert (a "SessionId" that is
// no GUID) fails the call itself, before dispatch, with the node library's conversion code and no
// response. Each input meets a component of its own, created, configured and released with it.
#include "FuzzSupport.h"
#include "NodeTreeFromBytes.h"

#include "Components/ComponentInterfaces.h"
#include "Platform.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern "C" HRESULT GetComponentsModuleObject(Halyard::Interfaces::IModule** module);

using namespace Halyard::Interfaces;

namespace {

const std::vector<std::wstring> kRequests = {L"CreateSessionRequest",     L"GetDataRequest",
                                             L"GetNewEventsCountRequest", L"CountEventsRequest",
                                             L"GetPublishersRequest",     L"CheckFiltersRequest",
                                             L"ReleaseSessionRequest"};

const Fuzz::NodeVocabulary kRequestVocabulary{
    .names = {L"ContinuationMark", L"Filters"},
    .attributes = {L"SessionId", L"ContinuationMark", L"EventsCount", L"Direction", L"Position",
                   L"Count", L"Pages", L"FirstEventTime", L"ManualItems", L"Since", L"To",
                   L"Filters"},
    .texts = {L"0", L"-1", L"1", L"100", L"2147483648", L"2024-06-01T08:00:03Z",
              L"{00000000-0000-0000-0000-000000000000}", L"not a number", L"Srv1"},
};

const Fuzz::NodeVocabulary kFilterVocabulary{
    .names = {L"DateFilter", L"LevelFilter", L"ProviderFilter", L"SuppressProviderFilter",
              L"EventIdFilter", L"MonitoringPlanFilter", L"ItemFilter", L"SearchFilter"},
    .attributes = {L"Since", L"To", L"Levels", L"Providers", L"EventIds", L"MonitoringPlans",
                   L"Items", L"SearchString"},
    .texts = {L"1", L"2", L"4", L"2001", L"1000-1003", L"-1001", L"x y", L"Halyard-Monitor",
              L"Plan A", L"Srv1", L"2024-06-01T08:00:00.000Z", L"'", L"plan"},
};

IModule* g_module = nullptr;

// A component created and configured for one input, and released with its sessions and threads
// when the input is done, so that no thread of one input outlives it.
class Component {
public:
    explicit Component(const EkNodePtr& configuration) {
        FUZZ_CHECK(g_module->CreateInstance(&CLSID_Corvane, &IID_Configure,
                                            reinterpret_cast<void**>(&m_configure)) == S_OK);
        FUZZ_CHECK(m_configure->QueryInterface(&IID_ProcessRequest,
                                               reinterpret_cast<void**>(&m_process)) == S_OK);
        FUZZ_CHECK(m_configure->Configure(configuration.Get()) == S_OK);
    }
    ~Component() {
        m_process->Release();
        m_configure->Release();
    }
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    IProcessRequest* operator->() const { return m_process; }

private:
    IConfigure* m_configure = nullptr;
    IProcessRequest* m_process = nullptr;
};

// A folder under the temporary one, removed when the program ends.
struct TempFolder {
    std::filesystem::path path;
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvane-fuzz-XXXXXX");
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// A store of the target's own: a few dozen events of three providers over several levels, the
// monitor's with plan and item names, and their publishers.
void MakeStore(const std::filesystem::path& folder) {
    std::ofstream events(folder / "Application.xml");
    for (int i = 1; i <= 45; ++i) {
        const int kind = i % 3;
        const char* provider = kind == 0   ? "Halyard-Monitor"
                               : kind == 1 ? "Orchard Backup"
                                           : "Corvane-Demo-Service";
        const std::string id = kind == 0 ? "2001" : kind == 1 ? "100" : "1002";
        const std::string qualifiers = kind == 1 ? " Qualifiers='16384'" : "";
        char time[32];
        std::snprintf(time, sizeof time, "2024-06-01T08:%02d:%02d.5Z", i / 60, i % 60);
        events << "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
               << "<Provider Name='" << provider << "'/><EventID" << qualifiers << ">" << id
               << "</EventID><Level>" << (i % 5) + 1 << "</Level><Task>0</Task>"
               << "<Keywords>0x80000000000000</Keywords><TimeCreated SystemTime='" << time
               << "'/><EventRecordID>" << i << "</EventRecordID><Channel>Application</Channel>"
               << "<Computer>host1</Computer><Security UserID='S-1-5-18'/></System><EventData>"
               << "<Data>Plan " << (i % 4 == 0 ? "A" : "B &amp; C") << "</Data><Data>Srv" << i % 3
               << "</Data><Data>" << i << "</Data></EventData></Event>\n";
    }
    std::ofstream(folder / "publishers.xml")
        << "<Publishers><Publisher Name='Halyard-Monitor'><Channel Name='Application'/>"
           "<Message EventId='2001'>Monitoring plan %1: item %2 is now %3.</Message></Publisher>"
           "<Publisher Name='Orchard Backup'><Channel Name='Application' Classic='true'/>"
           "<Message EventId='0x40000064'>Backup of %1 completed: %2 files.</Message>"
           "</Publisher></Publishers>\n";
}

EkNodePtr Configuration() {
    EkNodePtr config = EkNodePtr::CreateNode(L"Config", nullptr);
    config.SetAttribute(L"LogChannelName", L"Application");
    config.SetAttribute(L"SessionTimeLiveInMin", int64_t{10});
    config.SetAttribute(L"SessionCheckIntervalInSec", int64_t{0});
    config.SetAttribute(L"TimeOutIntervalInSec", int32_t{30});
    const EkNodePtr resolver = EkNodePtr::CreateNode(L"InsertionalStringsResolver", nullptr);
    resolver.SetAttribute(L"EventsProvidersToSkip", std::vector<std::wstring>{});
    const EkNodePtr selection = EkNodePtr::CreateNode(L"MonitoringPlansAndItem", nullptr);
    selection.SetAttribute(L"CommonEvents", std::vector<int32_t>{2001});
    resolver.AddChild(selection);
    config.AddChild(resolver);
    return config;
}

// The session ids a response names: in its continuation mark, or flat.
void CollectSessionIds(const EkNodePtr& response, std::vector<GUID>& ids) {
    GUID id{};
    if (response.GetAttribute(L"SessionId", id)) {
        ids.push_back(id);
    }
    if (const EkNodePtr mark = response.GetChildByName(L"ContinuationMark", false)) {
        if (mark.GetAttribute(L"SessionId", id)) {
            ids.push_back(id);
        }
    }
}

EkNodePtr RequestFromBytes(FuzzedDataProvider& input, const std::vector<GUID>& seen) {
    const std::wstring name =
        input.ConsumeIntegralInRange<int>(0, 15) == 0
            ? Fuzz::TextFromBytes(input, {})
            : kRequests[input.ConsumeIntegralInRange<size_t>(0, kRequests.size() - 1)];
    EkNodePtr request = EkNodePtr::CreateNode(name.c_str(), nullptr);
    Fuzz::SetAttributesFromBytes(input, kRequestVocabulary, request, 5);
    if (input.ConsumeBool()) {
        const EkNodePtr mark = EkNodePtr::CreateNode(L"ContinuationMark", nullptr);
        Fuzz::SetAttributesFromBytes(input, kRequestVocabulary, mark, 6);
        request.AddChild(mark);
    }
    if (input.ConsumeBool()) {
        const EkNodePtr filters = EkNodePtr::CreateNode(L"Filters", nullptr);
        int budget = 8;
        while (budget > 0 && input.ConsumeBool()) {
            filters.AddChild(Fuzz::NodeTreeFromBytes(input, kFilterVocabulary, 0, budget));
        }
        request.AddChild(filters);
    }
    // A session the input opened before, most of the time one that exists.
    if (!seen.empty() && input.ConsumeBool()) {
        const GUID& id = seen[input.ConsumeIntegralInRange<size_t>(0, seen.size() - 1)];
        const EkNodePtr mark = request.GetChildByName(L"ContinuationMark", false);
        (mark && input.ConsumeBool() ? mark : request).SetAttribute(L"SessionId", id);
    }
    return request;
}

bool IsUnexpected(HRESULT code) {
    return code == E_FAIL || code == E_UNEXPECTED || code == E_POINTER ||
           code == static_cast<HRESULT>(0x8007054F); // ERROR_INTERNAL_ERROR
}

void CheckResponse(const EkNodePtr& response) {
    FUZZ_CHECK(response.GetNodeName() == L"EventViewerResponse");
    int64_t code = 0;
    FUZZ_CHECK(response.GetAttribute(L"ResultCode", code));
    const auto result = static_cast<HRESULT>(code);
    FUZZ_CHECK(!IsUnexpected(result));
    if (result < 0) {
        wchar_t hex[16];
        std::swprintf(hex, 16, L"0x%08X", static_cast<uint32_t>(result));
        const std::wstring text = response.GetString(L"ErrorSerialized", L"");
        FUZZ_CHECK(text.find(hex) != std::wstring::npos);
        return;
    }
    if (const EkNodePtr events = response.GetChildByName(L"Events", false)) {
        int64_t previous = INT64_MAX;
        ForEachChild(events, [&](const EkNodePtr& event) {
            int64_t record = 0;
            FUZZ_CHECK(event.GetAttribute(L"RecordId", record) && record < previous);
            previous = record;
        });
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The store and the data directory live as long as the process.
    static const TempFolder folder;
    const std::filesystem::path& root = folder.path;
    std::filesystem::create_directories(root / "store");
    MakeStore(root / "store");
    ::setenv("PAL_EVENTLOG_DIR", (root / "store").c_str(), 1);
    ::setenv("PAL_EVENTLOG_POLL_MS", "0", 1);
    ::setenv("PAL_EVENTLOG_CACHE", "0", 1);
    ::setenv("GS_General_DataDirectoryPath", (root / "data").c_str(), 1);

    FUZZ_CHECK(GetComponentsModuleObject(&g_module) == S_OK);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each input meets a component of its own, without sessions: a request that fails after its
    // session was made leaves that session to the sweep, which is off here, and the next input
    // would meet it.
    static const EkNodePtr configuration = Configuration();
    const Component component(configuration);
    FuzzedDataProvider input(data, size);
    std::vector<GUID> seen;
    for (int i = 0; i < 6 && input.remaining_bytes() > 0; ++i) {
        const EkNodePtr request = RequestFromBytes(input, seen);
        void* handle = nullptr;
        const HRESULT result = component->ProcessRequest(request.Get(), &handle);
        if (result != S_OK) {
            // A flat paging attribute of a type that does not convert fails the call itself,
            // before any handler runs, and no response is stored.
            FUZZ_CHECK(handle == nullptr && Fuzz::IsConversionFailure(result));
            continue;
        }
        FUZZ_CHECK(handle != nullptr);
        const EkNodePtr response(handle, true);
        CheckResponse(response);
        CollectSessionIds(response, seen);
    }
    return 0;
}
