#include "Walk.h"

#include "Base/Utf.h"
#include "NodeJson.h"

#include <chrono>
#include <iomanip>
#include <thread>

namespace HalyardHost {

namespace {

using Json = nlohmann::ordered_json;

class Walk {
public:
    Walk(const ModuleHost& host, std::ostream& out) : m_host(host), m_out(out) {}

    int Run() {
        Send(L"GetPublishersRequest", "the channel's publishers");
        Send(L"CountEventsRequest", "the channel's events by level");
        const EkNodePtr created = Send(L"CreateSessionRequest", "a new session, no filters");
        if (!created) {
            return 1;
        }
        EkNodePtr page = Page(created, 0, "its first page of 10 events, newest first");
        page = Page(page, 0, "the next page");
        page = Page(page, 1, "one page back");
        WriteEvent();
        PollNewEvents(page);
        Send(L"ReleaseSessionRequest", "the session released", page);
        return m_failures == 0 ? 0 : 1;
    }

private:
    // Sends a request, carrying the continuation mark of an earlier response; prints both.
    EkNodePtr Send(const wchar_t* name, const char* what, const EkNodePtr& previous = {},
                   uint32_t direction = 0) {
        const EkNodePtr request = EkNodePtr::CreateNode(name, nullptr);
        if (previous) {
            request.AddChild(previous.GetChildByName(L"ContinuationMark").CloneNode());
            request.SetAttribute(L"Direction", static_cast<int64_t>(direction));
            request.SetAttribute(L"EventsCount", int64_t{10});
        }
        m_out << "\n== " << what << "\n> " << NodeToJson(request).dump() << "\n";
        EkNodePtr response;
        if (const HRESULT hr = m_host.ProcessRequest(request, response); hr != S_OK) {
            m_out << "ProcessRequest failed: 0x" << std::hex << static_cast<unsigned>(hr)
                  << std::dec << "\n";
            ++m_failures;
            return {};
        }
        Print(response);
        int64_t code = 0;
        response.GetAttribute(L"ResultCode", code);
        if (code != 0) {
            ++m_failures;
        }
        return response;
    }

    EkNodePtr Page(const EkNodePtr& previous, uint32_t direction, const char* what) {
        if (!previous) {
            return {};
        }
        return Send(L"GetDataRequest", what, previous, direction);
    }

    // The response without its events, then one line per event.
    void Print(const EkNodePtr& response) {
        Json shown = NodeToJson(response);
        const EkNodePtr events = response.GetChildByName(L"Events", false);
        if (events) {
            for (Json& child : shown["children"]) {
                const auto* name = child["name"].get_ptr<const std::string*>();
                if (name != nullptr && *name == "Events") {
                    child.erase("children");
                }
            }
        }
        m_out << "< " << shown.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
        if (events) {
            ForEachChild(events, [&](const EkNodePtr& event) { PrintEvent(event); });
        }
    }

    void PrintEvent(const EkNodePtr& event) {
        std::wstring time;
        std::wstring provider;
        std::wstring message;
        int64_t level = 0;
        int64_t id = 0;
        event.GetAttribute(L"TimeCreated", time);
        event.GetAttribute(L"ProviderName", provider);
        event.GetAttribute(L"Message", message);
        event.GetAttribute(L"Level", level);
        event.GetAttribute(L"EventId", id);
        message = message.substr(0, message.find_first_of(L"\r\n"));
        m_out << "   " << Base::Utf8FromWide(time) << "  level " << level << "  " << std::left
              << std::setw(24) << Base::Utf8FromWide(provider) << std::right << std::setw(6) << id
              << "  " << Base::Utf8FromWide(message.substr(0, 80)) << "\n";
    }

    // Writes an event that a session without filters sees as new.
    void WriteEvent() {
        m_out << "\n== an event written by source \"Halyard-Monitor\" (ReportEventW)\n";
        HANDLE source = RegisterEventSourceW(nullptr, L"Halyard-Monitor");
        if (source == nullptr) {
            m_out << "RegisterEventSourceW failed: " << GetLastError() << "\n";
            return;
        }
        const wchar_t* strings[] = {L"Nightly checks", L"web-01", L"degraded"};
        if (!ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 2001, nullptr, 3, 0, strings,
                          nullptr)) {
            m_out << "ReportEventW failed: " << GetLastError() << "\n";
        }
        DeregisterEventSource(source);
    }

    // The subscription learns of the event on a thread of its own: poll until it shows.
    void PollNewEvents(const EkNodePtr& page) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        EkNodePtr response;
        int64_t count = 0;
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            response = Send(L"GetNewEventsCountRequest", "a poll for new events", page);
            count = 0;
            if (response) {
                response.GetAttribute(L"NewEventsCount", count);
            }
        } while (response && count == 0 && std::chrono::steady_clock::now() < deadline);
    }

    const ModuleHost& m_host;
    std::ostream& m_out;
    int m_failures = 0;
};

} // namespace

int RunWalk(const ModuleHost& host, std::ostream& out) {
    return Walk(host, out).Run();
}

} // namespace HalyardHost
