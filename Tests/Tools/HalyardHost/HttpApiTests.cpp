// The module served over HTTP: the built Corvane.so loaded through its C interfaces, every request
// type as JSON, bad input refused before it reaches the module, the access token and the loopback
// rule, and a request cancelled when its client goes away.
#include "EventLogFaults.h"
#include "HttpApi.h"
#include "NodeJson.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
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
    EXPECT_EQ(client
                  .Post("/api/request", {{"Authorization", "Bearer s3cret-tokeX"}}, request,
                        "application/json")
                  ->status,
              401);
    EXPECT_EQ(client
                  .Post("/api/request", {{"Authorization", "Bearer s3cret-token"}}, request,
                        "application/json")
                  ->status,
              200);

    // A page opened with the token in its address keeps it as a cookie for what it loads next.
    const auto page = client.Get("/api/info?token=s3cret-token");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    const std::string cookie = page->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.rfind("HalyardToken=s3cret-token;", 0), 0u) << cookie;
    EXPECT_EQ(client
                  .Post("/api/request", {{"Cookie", "HalyardToken=s3cret-token"}}, request,
                        "application/json")
                  ->status,
              200);
}

TEST(HttpApi, OnLoopbackAnswersOnlyLocalHostNames) {
    const Server server;
    httplib::Client client = server.Client();
    EXPECT_EQ(client.Get("/api/info", {{"Host", "attacker.example:80"}})->status, 403);
    EXPECT_EQ(client.Get("/api/info", {{"Host", "localhost"}})->status, 200);
}

// Every request type through JSON: publishers, counts, a session paged and released twice.
TEST(HttpApi, ServesEveryRequestAsJson) {
    const Server server;
    const auto [status, publishers] = server.Post(Json{{"name", "GetPublishersRequest"}});
    ASSERT_EQ(status, 200);
    EXPECT_EQ(Attribute(publishers, "ResultCode"), 0);
    const Json names = Attribute(publishers, "Publishers");
    EXPECT_NE(std::find(names.begin(), names.end(), "Halyard-Monitor"), names.end());

    const auto [countStatus, counts] = server.Post(Json{{"name", "CountEventsRequest"}});
    ASSERT_EQ(countStatus, 200);
    EXPECT_EQ(Attribute(counts, "ResultCode"), 0) << counts.dump();
    EXPECT_GT(std::stoll(Attribute(counts, "TotalEventsCount").get<std::string>()), 0);

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
    EXPECT_EQ(server.Client().Get("/api/event?record=1&channel=Nope")->status, 500);

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

    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const std::string body = R"({"name": "CountEventsRequest"})";
    const std::string request = "POST /api/request HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(send(socket, request.data(), request.size(), 0),
              static_cast<ssize_t>(request.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(socket);

    httplib::Client client = server.Client();
    uint64_t cancelled = 0;
    for (int i = 0; i < 100 && cancelled == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancelled = Json::parse(client.Get("/api/info")->body)["cancelledRequests"];
    }
    PalEventLogClearFaults();
    EXPECT_EQ(cancelled, 1u);
}
