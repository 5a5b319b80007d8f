// The module served over HTTP: the built Corvane.so loaded through its C interfaces, every request
// type as JSON, bad input refused before it reaches the module, the access token and the loopback
// rule, and a request cancelled when its client goes away.
#include "HttpApi.h"
#include "NodeJson.h"
#include "Win32/PalEventLogFaults.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

using namespace HalyardHost;
using Json = nlohmann::ordered_json;

namespace {

namespace fs = std::filesystem;

// A copy of the sample store for this program (requests may write events into it).
fs::path StoreCopy() {
    static const fs::path copy = [] {
        const fs::path target =
            fs::temp_directory_path() / ("http-api-store-" + std::to_string(getpid()));
        fs::remove_all(target);
        fs::copy(CORVANE_SAMPLE_STORE, target, fs::copy_options::recursive);
        return target;
    }();
    return copy;
}

// The module loaded once for the program, configured for the Application channel.
const ModuleHost& Module() {
    static const std::unique_ptr<ModuleHost> host = [] {
        setenv("PAL_EVENTLOG_DIR", StoreCopy().c_str(), 1);
        std::string error;
        auto loaded = ModuleHost::Load(ModuleBesideProgram(), error);
        EXPECT_TRUE(loaded) << error;
        std::ifstream file(fs::path(CORVANE_HOST_SOURCE) / "corvane-config.json");
        const EkNodePtr config = NodeFromJson(Json::parse(file));
        EXPECT_EQ(loaded->Configure(config), S_OK);
        return loaded;
    }();
    return *host;
}

// A server on a free port of its own, listening while the object lives.
class Server {
public:
    explicit Server(ServeOptions options = {}) : m_api(Module(), Prepare(options)) {
        std::string error;
        EXPECT_TRUE(m_api.Bind(error)) << error;
        m_thread = std::thread([this] { m_api.Listen(); });
        httplib::Client probe("127.0.0.1", m_api.Port());
        for (int i = 0; i < 100 && !probe.Get("/api/info"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Server() {
        m_api.Stop();
        m_thread.join();
    }

    int Port() const { return m_api.Port(); }
    httplib::Client Client() const {
        httplib::Client client("127.0.0.1", Port());
        client.set_read_timeout(60, 0);
        return client;
    }
    // Posts a request tree; the HTTP status and the parsed body.
    std::pair<int, Json> Post(const Json& request) const {
        auto result = Client().Post("/api/request", request.dump(), "application/json");
        EXPECT_TRUE(result);
        return {result ? result->status : 0, result ? Json::parse(result->body) : Json()};
    }

private:
    static ServeOptions Prepare(ServeOptions options) {
        options.port = 0;
        options.channel = "Application";
        return options;
    }

    HttpApi m_api;
    std::thread m_thread;
};

// The value of a node's attribute in the JSON form; null when absent.
Json Attribute(const Json& node, const std::string& name) {
    for (const Json& attribute : node.value("attributes", Json::array())) {
        if (attribute.value("name", std::string()) == name) {
            return attribute["value"];
        }
    }
    return nullptr;
}

// A node's first child of that name; null when absent.
const Json& Child(const Json& node, const std::string& name) {
    static const Json none;
    const auto children = node.find("children");
    if (children == node.end()) {
        return none;
    }
    for (const Json& child : *children) {
        if (child.value("name", std::string()) == name) {
            return child;
        }
    }
    return none;
}

// A request to the API as raw HTTP.
std::string RawRequest(const std::string& body) {
    return "POST /api/request HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A connection driven by hand, byte by byte where need be.
class RawConnection {
public:
    explicit RawConnection(int port) : m_socket(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        const timeval timeout{5, 0};
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    }
    ~RawConnection() { close(m_socket); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Send(const std::string& data) {
        return send(m_socket, data.data(), data.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(data.size());
    }
    // What arrives until the server closes the connection or 5 s pass without anything.
    std::string Receive() {
        std::string received;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = recv(m_socket, buffer, sizeof(buffer), 0)) > 0) {
            received.append(buffer, static_cast<size_t>(got));
        }
        m_closed = got == 0 || (got < 0 && errno == ECONNRESET);
        return received;
    }
    bool Closed() const { return m_closed; }
    void ShutDownSending() { shutdown(m_socket, SHUT_WR); }

private:
    int m_socket;
    bool m_closed = false;
};

} // namespace

TEST(HttpApi, RefusesBadInputWithAClearMessage) {
    ServeOptions options;
    options.maxBodyBytes = 1024;
    const Server server(options);
    httplib::Client client = server.Client();

    const struct {
        std::string body;
        const char* contentType;
        int status;
        const char* text;
    } cases[] = {
        {"{\"name\": ", "application/json", 400, "malformed JSON"},
        {"[1, 2]", "application/json", 400, "not a node tree: node: a node is an object"},
        {R"({"name": "X", "attributes": [{"name": "a", "type": 65536, "value": 1}]})",
         "application/json", 400, "type code is an integer from 0 to 65535"},
        {R"({"name": "GetPublishersRequest"})", "text/plain", 415, "application/json"},
        {"{\"name\": \"" + std::string(2000, 'x') + "\"}", "application/json", 413, "too large"},
        {R"({"name": "X", "attributes": [{"name": "a", "type": 6, "value": 1e400}]})",
         "application/json", 400, "malformed JSON"},
        {"{\"name\": \"\xC3\x28\"}", "application/json", 400, "malformed JSON"},
        {R"({"name": "GetDataRequest", "attributes": [{"name": "EventsCount", "type": 6,
             "value": "9223372036854775807"}]})",
         "application/json", 400, "EventsCount above 10000"},
    };
    for (const auto& c : cases) {
        const auto result = client.Post("/api/request", c.body, c.contentType);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status) << c.body.substr(0, 60);
        EXPECT_NE(Json::parse(result->body)["error"].get<std::string>().find(c.text),
                  std::string::npos)
            << result->body;
    }
    const auto missing = client.Get("/api/nothing");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    EXPECT_EQ(Json::parse(missing->body)["error"], "not found");
}

TEST(HttpApi, AnAddressBeyondLoopbackNeedsTheTokenOnEveryRequest) {
    {
        ServeOptions open;
        open.address = "0.0.0.0";
        HttpApi api(Module(), open);
        std::string error;
        EXPECT_FALSE(api.Bind(error));
        EXPECT_NE(error.find("--token"), std::string::npos);
    }
    ServeOptions guarded;
    guarded.address = "0.0.0.0";
    guarded.token = "s3cret-token";
    const Server server(guarded);
    httplib::Client client = server.Client();
    const std::string request = R"({"name": "GetPublishersRequest"})";

    EXPECT_EQ(client.Post("/api/request", request, "application/json")->status, 401);
    EXPECT_EQ(client.Get("/api/info")->status, 401);

    // A page opened with the token in its address keeps it as a cookie for what it loads next.
    const auto page = client.Get("/api/info?token=s3cret-token");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    // Its name carries the port, so hosts on other ports of the machine keep tokens apart.
    const std::string name = "HalyardToken_" + std::to_string(server.Port());
    const std::string cookie = page->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.rfind(name + "=s3cret-token;", 0), 0u) << cookie;
    // A token that differs, falls short or runs on is refused, as is the cookie of no port.
    const struct {
        const char* header;
        std::string value;
        int status;
    } sent[] = {{"Authorization", "Bearer s3cret-tokeX", 401},
                {"Authorization", "Bearer s3cret-toke", 401},
                {"Authorization", "Bearer s3cret-token2", 401},
                {"Authorization", "Bearer s3cret-token", 200},
                {"Cookie", name + "=s3cret-token", 200},
                {"Cookie", "HalyardToken=s3cret-token", 401}};
    for (const auto& with : sent) {
        EXPECT_EQ(
            client.Post("/api/request", {{with.header, with.value}}, request, "application/json")
                ->status,
            with.status)
            << with.value;
    }

    // A token that a cookie cannot hold is never set as one (it would add cookie attributes).
    ServeOptions odd = guarded;
    odd.token = "a;Domain=example.org";
    const Server oddServer(odd);
    const auto oddPage = oddServer.Client().Get("/api/info?token=a%3BDomain%3Dexample.org");
    ASSERT_TRUE(oddPage);
    EXPECT_EQ(oddPage->status, 200);
    EXPECT_FALSE(oddPage->has_header("Set-Cookie"));
}

// On loopback only the machine's own names, exactly, with the port; a POST only from the host's
// own pages; no page may frame the viewer.
TEST(HttpApi, OnLoopbackAnswersOnlyLocalHostNamesAndOwnPages) {
    const Server server;
    httplib::Client client = server.Client();
    const std::string port = ":" + std::to_string(server.Port());
    for (const std::string& host :
         std::vector<std::string>{"attacker.example:80", "127.evil.com", "127.0.0.1.nip.io" + port,
                                  "localhost.evil.com", "127.0.0.1:1" + port}) {
        EXPECT_EQ(client.Get("/api/info", {{"Host", host}})->status, 403) << host;
    }
    for (const std::string& host :
         std::vector<std::string>{"localhost", "127.0.0.1" + port, "[::1]" + port}) {
        const auto result = client.Get("/api/info", {{"Host", host}});
        EXPECT_EQ(result->status, 200) << host;
        EXPECT_NE(
            result->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
            std::string::npos);
    }
    for (const auto& [origin, status] : {std::pair{"http://evil.example" + std::string(), 403},
                                         {"http://127.0.0.1" + port, 200}}) {
        EXPECT_EQ(client
                      .Post("/api/request", {{"Origin", origin}},
                            R"({"name": "GetPublishersRequest"})", "application/json")
                      ->status,
                  status)
            << origin;
    }
}

// What a client can make the host hold before it is authenticated: headers bounded in size and
// number, bodies bounded in every transfer encoding, one range at most, slow clients.
TEST(HttpApi, BoundsWhatAClientCanMakeTheHostHold) {
    ServeOptions options;
    options.maxBodyBytes = 1024;
    options.requestDeadline = std::chrono::milliseconds(700);
    options.viewerFolder = std::string(CORVANE_HOST_SOURCE) + "/Viewer";
    const Server server(options);
    httplib::Client client = server.Client();

    const auto longHeader = client.Get("/api/info", {{"X-Long", std::string(64 * 1024, 'x')}});
    ASSERT_TRUE(longHeader);
    EXPECT_GE(longHeader->status, 400);
    httplib::Headers many;
    for (int i = 0; i < 2000; ++i) {
        many.emplace("X-H" + std::to_string(i), std::string(16, 'y'));
    }
    const auto manyHeaders = client.Get("/api/info", many);
    EXPECT_TRUE(!manyHeaders || manyHeaders->status >= 400);

    // A chunked body past the limit is not taken in.
    RawConnection chunked(server.Port());
    chunked.Send("POST /api/request HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json"
                 "\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = std::string("400\r\n") + std::string(1024, ' ') + "\r\n";
    for (int i = 0; i < 4 && chunked.Send(chunk); ++i) {
    }
    chunked.Send("0\r\n\r\n");
    EXPECT_EQ(chunked.Receive().find(" 200 "), std::string::npos);

    // A client that has sent its request and closed its sending side still gets the answer.
    RawConnection halfClosed(server.Port());
    halfClosed.Send(RawRequest(R"({"name": "GetPublishersRequest"})"));
    halfClosed.ShutDownSending();
    EXPECT_NE(halfClosed.Receive().find("Halyard-Monitor"), std::string::npos);

    // Many overlapping ranges give the whole file once, not a multipart answer.
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 1000; ++i) {
        ranges += ",0-";
    }
    const auto ranged = client.Get("/index.html", {{"Range", ranges}});
    ASSERT_TRUE(ranged);
    EXPECT_EQ(ranged->status, 200);
    EXPECT_EQ(ranged->body.size(),
              std::filesystem::file_size(options.viewerFolder + "/index.html"));

    // Clients that send a byte now and then neither hold up the others nor keep their connection
    // past the request deadline.
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 48; ++i) {
        slow.push_back(std::make_unique<RawConnection>(server.Port()));
        slow.back()->Send("G");
    }
    const auto start = std::chrono::steady_clock::now();
    const auto answered = client.Get("/api/info");
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        slow.front()->Send("E");
    }
    EXPECT_EQ(slow.front()->Receive(), "");
    EXPECT_TRUE(slow.front()->Closed());
}

// The requests through JSON: a filter check, a session paged and released, an event's details
// (the publishers' answer is read by BoundsWhatAClientCanMakeTheHostHold, the counts' by
// ServesSeveralChannelsAndExportsEveryMatchingEvent).
TEST(HttpApi, ServesEveryRequestAsJson) {
    const Server server;
    // The module's error text comes without the code addresses it carries for the logs.
    const Json badFilter = {
        {"name", "CheckFiltersRequest"},
        {"children",
         {{{"name", "Filters"},
           {"children",
            {{{"name", "F"},
              {"type", "EventIdFilter"},
              {"attributes", {{{"name", "EventIds"}, {"type", 2}, {"value", "zz"}}}}}}}}}}};
    const auto [checkStatus, checked] = server.Post(badFilter);
    ASSERT_EQ(checkStatus, 200);
    const std::string text = Attribute(checked, "ErrorSerialized").get<std::string>();
    EXPECT_NE(text.find("0x80042002 The filter set is invalid"), std::string::npos) << text;
    EXPECT_EQ(text.find("[0x"), std::string::npos) << text;

    const auto [createStatus, created] = server.Post(Json{{"name", "CreateSessionRequest"}});
    ASSERT_EQ(createStatus, 200);
    ASSERT_EQ(Attribute(created, "ResultCode"), 0) << created.dump();
    Json mark = Child(created, "ContinuationMark");
    const Json pageRequest = {{"name", "GetDataRequest"},
                              {"attributes",
                               {{{"name", "Direction"}, {"type", 4}, {"value", 0}},
                                {{"name", "EventsCount"}, {"type", 6}, {"value", "10"}}}},
                              {"children", {mark}}};
    const auto [pageStatus, page] = server.Post(pageRequest);
    ASSERT_EQ(pageStatus, 200);
    ASSERT_EQ(Attribute(page, "ResultCode"), 0) << page.dump();
    const Json& events = Child(page, "Events");
    EXPECT_EQ(events["children"].size(), 10u);
    EXPECT_EQ(events["children"][0]["type"], "EventInfo");

    // A mark with more page starts than a session can have made is refused before the module.
    Json forged = pageRequest;
    forged["children"][0]["attributes"].push_back(
        {{"name", "Pages"}, {"type", 0x106}, {"value", Json(MaxMarkPages + 1, "0")}});
    const auto [forgedStatus, refused] = server.Post(forged);
    EXPECT_EQ(forgedStatus, 400);
    EXPECT_NE(refused["error"].get<std::string>().find("more than 100000 pages"),
              std::string::npos);

    // An event's details beside the module's page: the same message, with its data and XML.
    const Json& first = events["children"][0];
    const std::string record = Attribute(first, "RecordId").get<std::string>();
    const auto detail = server.Client().Get("/api/event?record=" + record);
    ASSERT_TRUE(detail);
    ASSERT_EQ(detail->status, 200) << detail->body;
    const Json details = Json::parse(detail->body);
    EXPECT_EQ(details["recordId"], std::stoull(record));
    EXPECT_EQ(details["message"], Attribute(first, "Message")) << detail->body;
    EXPECT_NE(details["xml"].get<std::string>().find("<RenderingInfo"), std::string::npos);
    EXPECT_EQ(server.Client().Get("/api/event?record=12x")->status, 400);
    EXPECT_EQ(server.Client().Get("/api/event?record=999999999")->status, 404);
    // Only the channels the host serves are read.
    EXPECT_EQ(server.Client().Get("/api/event?record=1&channel=Security")->status, 404);

    // The module's failure code comes through as the envelope's (released already: not found).
    const Json release = {{"name", "ReleaseSessionRequest"}, {"children", {mark}}};
    EXPECT_EQ(Attribute(server.Post(release).second, "ResultCode"), 0);
    EXPECT_EQ(Attribute(server.Post(release).second, "ResultCode"),
              static_cast<int32_t>(0x80070490));
}

// A count that never ends on its own is cancelled when its client closes the connection.
TEST(HttpApi, ALongRequestEndsWhenItsClientGoesAway) {
    const Server server;
    // Every fetch times out empty, so the count runs until its request is cancelled.
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 0, 0xFFFFFFFF, 0);

    {
        RawConnection connection(server.Port());
        ASSERT_TRUE(connection.Send(RawRequest(R"({"name": "CountEventsRequest"})")));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } // the client goes away

    httplib::Client client = server.Client();
    uint64_t cancelled = 0;
    for (int i = 0; i < 100 && cancelled == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancelled = Json::parse(client.Get("/api/info")->body)["cancelledRequests"];
    }
    PalEventLogClearFaults();
    EXPECT_EQ(cancelled, 1u);

    // A request that outlasts the idle time is answered: its connection is not idle meanwhile.
    ServeOptions brief;
    brief.idleTimeout = std::chrono::seconds(1);
    const Server patient(brief);
    PalEventLogInjectFault("EvtNext", ERROR_TIMEOUT, 0, 0xFFFFFFFF, 0);
    std::thread release([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        PalEventLogClearFaults();
    });
    const auto [status, counts] = patient.Post(Json{{"name", "CountEventsRequest"}});
    release.join();
    EXPECT_EQ(status, 200);
    EXPECT_EQ(Attribute(counts, "ResultCode"), 0) << counts.dump();
}

// Two channels, a component each, and every matching event of one exported page by page.
TEST(HttpApi, ServesSeveralChannelsAndExportsEveryMatchingEvent) {
    const ModuleHost& application = Module();
    std::string error;
    const auto system = ModuleHost::Load(ModuleBesideProgram(), error);
    ASSERT_TRUE(system) << error;
    std::ifstream file(fs::path(CORVANE_HOST_SOURCE) / "corvane-config.json");
    const EkNodePtr config = NodeFromJson(Json::parse(file));
    config.SetAttribute(L"LogChannelName", std::wstring(L"System"));
    ASSERT_EQ(system->Configure(config), S_OK);
    ServeOptions options;
    options.port = 0;
    HttpApi api({{"Application", &application}, {"System", system.get()}}, options);
    ASSERT_TRUE(api.Bind(error)) << error;
    std::thread serving([&api] { api.Listen(); });
    httplib::Client client("127.0.0.1", api.Port());
    client.set_read_timeout(120, 0);

    EXPECT_EQ(Json::parse(client.Get("/api/info")->body)["channels"],
              Json::array({"Application", "System"}));
    EXPECT_EQ(client.Get("/api/info?channel=Nope")->status, 404);
    const Json counted =
        Json::parse(client
                        .Post("/api/request?channel=System", R"({"name": "CountEventsRequest"})",
                              "application/json")
                        ->body);
    // Every event, over more than one page, each once.
    const auto lines =
        client.Post("/api/export?channel=System&format=jsonl", "", "application/json");
    ASSERT_EQ(lines->status, 200);
    std::istringstream read(lines->body);
    std::set<std::string> records;
    for (std::string line; std::getline(read, line);) {
        const Json event = Json::parse(line);
        EXPECT_EQ(event["Channel"], "System");
        records.insert(event["RecordId"].get<std::string>());
    }
    const int64_t total = std::stoll(Attribute(counted, "TotalEventsCount").get<std::string>());
    EXPECT_GT(total, ExportPageEvents);
    EXPECT_EQ(static_cast<int64_t>(records.size()), total);

    // The errors as CSV: a header, then a row each (rows end outside quotes).
    const std::string errors =
        R"({"name": "Filters", "children": [{"name": "LevelFilter", "type": "LevelFilter",
            "attributes": [{"name": "Levels", "type": 258, "value": ["2"]}]}]})";
    const std::string csv =
        client.Post("/api/export?channel=System&format=csv", errors, "application/json")->body;
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "TimeCreated,Level,ProviderName,EventId,Task,User,Computer,RecordId,"
              "MonitoringPlanName,ItemName,Message");
    int64_t rows = 0;
    bool quoted = false;
    for (size_t i = 0; i < csv.size(); ++i) {
        quoted = csv[i] == '"' ? !quoted : quoted;
        rows += !quoted && csv.compare(i, 2, "\r\n") == 0 ? 1 : 0;
    }
    EXPECT_EQ(rows - 1, std::stoll(Attribute(counted, "ErrorEventsCount").get<std::string>()));
    EXPECT_EQ(client.Post("/api/export?format=xml", "", "application/json")->status, 400);
    // Filters the module refuses are answered before anything is streamed.
    const auto refused = client.Post("/api/export?format=csv", R"({"name": "Filters", "children": [
        {"name": "F", "type": "EventIdFilter",
         "attributes": [{"name": "EventIds", "type": 2, "value": "zz"}]}]})",
                                     "application/json");
    EXPECT_EQ(refused->status, 400);
    EXPECT_EQ(Json::parse(refused->body)["code"], "0x80042002") << refused->body;
    api.Stop();
    serving.join();
}
