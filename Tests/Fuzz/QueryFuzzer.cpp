// Fuzz target: the Event Log stand-in's query compiler (structured QueryList XML and bare XPath,
// filters and value paths) and the evaluation of what it compiles, over a small store whose events
// carry every kind of System value, EventData and UserData. Properties: compiling fails only with
// the query error codes; a compiled selection evaluates without fault, and where it has a fast
// form, that form agrees with the walk over its paths, event by event and in a scan.
#include "FuzzSupport.h"

#include "PalEventLog/Query/Query.h"
#include "PalEventLog/Store/Store.h"

#include "Win32/WinError.h"

#include <memory>
#include <string>

using namespace PalEventLog;

namespace {

constexpr const char* kEvents = R"(<Events>
<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Alpha' Guid='{3C1C5A2E-8F4B-4C56-9E2A-0B7D1F6A4E01}' EventSourceName='Alpha'/><EventID Qualifiers='16384'>4624</EventID><Version>2</Version><Level>2</Level><Task>12544</Task><Opcode>0</Opcode><Keywords>0x8020000000000000</Keywords><TimeCreated SystemTime='2024-01-01T10:00:00.1234567Z'/><EventRecordID>1</EventRecordID><Correlation ActivityID='{7D2E5B10-3A41-4F0C-8B61-5E9A2C7D3B02}'/><Execution ProcessID='4' ThreadID='88'/><Channel>Application</Channel><Computer>host1</Computer><Security UserID='S-1-5-18'/></System><EventData><Data Name='Plan'>Plan A</Data><Data Name='Item'>Srv1</Data><Data Name='Count'>42</Data><Binary>00FF10</Binary></EventData></Event>
<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Beta'/><EventID>100</EventID><Level>4</Level><Task>0</Task><Keywords>0x80000000000000</Keywords><TimeCreated SystemTime='2023-12-31T23:59:59.9990000Z'/><EventRecordID>2</EventRecordID><Channel>Application</Channel><Computer>host2</Computer><Security/></System><EventData><Data>R&amp;D</Data><Data>a"b</Data><Data>-7</Data><Data></Data></EventData></Event>
<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name='Gamma'/><EventID>7036</EventID><Level>0</Level><TimeCreated SystemTime='2024-06-01T08:00:00Z'/><EventRecordID>3</EventRecordID><Channel>Application</Channel><Computer>host1</Computer></System><UserData><Change xmlns='urn:x'><Name>Spooler</Name><State>running</State></Change></UserData></Event>
<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider Name=''/><EventID>65535</EventID><Level>255</Level><Task>65535</Task><Opcode>255</Opcode><Keywords>0xffffffffffffffff</Keywords><TimeCreated SystemTime='1601-01-01T00:00:00Z'/><EventRecordID>18446744073709551615</EventRecordID><Channel>System</Channel><Computer></Computer><Security UserID='S-1-5-21-1-2-3-1001'/></System></Event>
</Events>)";

std::shared_ptr<Store> g_store;

// Evaluates a compiled query over every event of every channel the query reads.
void Evaluate(const CompiledQuery& query) {
    Store::ReadLock lock(*g_store);
    for (const auto& [path, file] : query.Paths()) {
        const Channel* channel = g_store->FindChannel(path);
        if (channel == nullptr) {
            continue;
        }
        const PathMatcher matcher(query, path);
        const Expression* fast = matcher.Fast();
        for (const Event& event : channel->events) {
            const bool matches = matcher.Matches(*g_store, *channel, event, 0);
            if (fast != nullptr) {
                FUZZ_CHECK(matches == fast->MatchesByPaths(*g_store, *channel, event, 0));
            }
        }
        if (fast != nullptr) {
            const auto& events = channel->events;
            for (const bool reverse : {false, true}) {
                const size_t found =
                    fast->ScanFast(events, 0, events.size(), events.size(), reverse);
                size_t expected = events.size();
                for (size_t i = 0; i < events.size() && expected == events.size(); ++i) {
                    if (fast->MatchesFast(events[reverse ? events.size() - 1 - i : i])) {
                        expected = i;
                    }
                }
                FUZZ_CHECK(found == expected);
            }
        }
    }
    for (const QueryPart& part : query.parts) {
        for (const Selector& selector : part.selectors) {
            const Channel* channel = g_store->FindChannel(L"Application");
            for (const Event& event : channel->events) {
                const bool matches = selector.expression.Matches(*g_store, *channel, event, 0);
                FUZZ_CHECK(matches ==
                           selector.expression.MatchesByPaths(*g_store, *channel, event, 0));
            }
        }
    }
}

void VisitValues(const Expression& path) {
    Store::ReadLock lock(*g_store);
    for (const auto& [name, channel] : g_store->Channels()) {
        for (const Event& event : channel->events) {
            size_t visited = 0;
            path.ForEachValue(*g_store, *channel, event, [&](const Expression::Value& value) {
                FUZZ_CHECK(value.type != Expression::Value::Type::Null || value.text.empty());
                return ++visited < 64;
            });
        }
    }
}

bool IsQueryError(DWORD code) {
    return code == ERROR_EVT_INVALID_QUERY || code == ERROR_EVT_MALFORMED_XML_TEXT;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_store = std::make_shared<Store>();
    Store::WriteLock lock(*g_store);
    LoadReport report;
    g_store->LoadEventXmlText(kEvents, report);
    g_store->Finish();
    FUZZ_CHECK(report.problems.empty() && report.events == 4);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text =
        Fuzz::WideText(std::string_view(reinterpret_cast<const char*>(data), size));
    CompiledQuery query;
    QueryError error;
    if (CompiledQuery::Compile(text.c_str(), L"Application", false, query, error)) {
        Evaluate(query);
    } else {
        FUZZ_CHECK(IsQueryError(error.code) && !error.message.empty());
    }
    Expression path;
    if (Expression::CompileValuePath(text, path, error)) {
        VisitValues(path);
    } else {
        FUZZ_CHECK(IsQueryError(error.code) && !error.message.empty());
    }
    return 0;
}
