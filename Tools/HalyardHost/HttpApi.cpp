#include "HttpApi.h"

#include "Base/Utf.h"
#include "ConnectionSockets.h"
#include "EventReader.h"
#include "HostEnvironment.h"
#include "NodeJson.h"
#include "Trellis/Trellis.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <regex>
#include <utility>
#include <vector>

namespace HalyardHost {

namespace {

using Json = nlohmann::ordered_json;

// Every response forbids framing the viewer in another site's page and guessing content types.
constexpr const char* SecurityPolicy = "default-src 'self'; frame-ancestors 'none'";

std::string HexHresult(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// Compares without stopping at the first difference, so the time taken says nothing of the token
// but its length.
bool SameToken(const std::string& given, const std::string& token) {
    size_t difference = given.size() ^ token.size();
    for (size_t i = 0; i < token.size(); ++i) {
        difference |= static_cast<unsigned char>(i < given.size() ? given[i] : 0) ^
                      static_cast<unsigned char>(token[i]);
    }
    return difference == 0 && !token.empty();
}

// The characters a cookie value may hold unquoted: printable ASCII but for space, '"', ',', ';'
// and '\'.
bool CookieSafe(const std::string& value) {
    for (const char c : value) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') {
            return false;
        }
    }
    return true;
}

std::string Header(MHD_Connection* connection, MHD_ValueKind kind, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, kind, name);
    return value != nullptr ? value : std::string();
}

// The resolved addresses of a name or numeric address; empty when it does not resolve.
std::vector<sockaddr_storage> Resolve(const std::string& address, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::vector<sockaddr_storage> addresses;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return addresses;
    }
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        sockaddr_storage entry{};
        std::memcpy(&entry, at->ai_addr, std::min<size_t>(at->ai_addrlen, sizeof(entry)));
        addresses.push_back(entry);
    }
    freeaddrinfo(found);
    return addresses;
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

// The framework request context of the calling thread while the module serves a request.
class RequestContext {
public:
    RequestContext() { m_begun = TrBeginRequest(&m_handle) >= 0; }
    ~RequestContext() {
        if (m_begun) {
            TrEndRequest(m_handle);
        }
    }
    RequestContext(const RequestContext&) = delete;
    RequestContext& operator=(const RequestContext&) = delete;

    bool Begun() const noexcept { return m_begun; }
    void* Handle() const noexcept { return m_handle; }

private:
    void* m_handle = nullptr;
    bool m_begun = false;
};

// A connection's own state: its socket, and the deadline of the request it is receiving.
struct ConnectionState {
    int socket = -1;
    std::optional<DisconnectWatch::Registration> receiving;
};

ConnectionState* StateOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<ConnectionState*>(info->socket_context) : nullptr;
}

const char* ContentTypeOf(const std::string& path) {
    static const std::pair<const char*, const char*> types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"},
    };
    for (const auto& [extension, type] : types) {
        const size_t length = std::strlen(extension);
        if (path.size() > length && path.compare(path.size() - length, length, extension) == 0) {
            return type;
        }
    }
    return "application/octet-stream";
}

// The value of a node's attribute in the JSON form; null when absent.
const Json* AttributeOf(const Json& node, const char* name) {
    const auto attributes = node.find("attributes");
    if (attributes == node.end()) {
        return nullptr;
    }
    for (const Json& attribute : *attributes) {
        if (attribute.value("name", std::string()) == name && attribute.contains("value")) {
            return &attribute["value"];
        }
    }
    return nullptr;
}

// The request's text naming what lies beyond the host's bounds; empty when nothing does. The
// tree is a checked node tree (NodeFromJson accepted it).
std::string BeyondBounds(const Json& node) {
    if (const Json* count = AttributeOf(node, "EventsCount")) {
        // Type 6 comes as decimal text (or a number); anything past int64 is beyond too.
        const std::string text = count->is_string() ? count->get<std::string>() : count->dump();
        errno = 0;
        const long long value = std::strtoll(text.c_str(), nullptr, 10);
        if (errno == ERANGE || value > MaxEventsCount) {
            return "EventsCount above " + std::to_string(MaxEventsCount);
        }
    }
    if (const Json* pages = AttributeOf(node, "Pages");
        pages != nullptr && pages->is_array() && pages->size() > MaxMarkPages) {
        return "a continuation mark with more than " + std::to_string(MaxMarkPages) + " pages";
    }
    const auto children = node.find("children");
    if (children == node.end()) {
        return {};
    }
    for (const Json& child : *children) {
        if (std::string beyond = BeyondBounds(child); !beyond.empty()) {
            return beyond;
        }
    }
    return {};
}

// Drops the code addresses from the module's error texts ("ErrorSerialized" ends with groups such
// as "[0x00007F4CAC88F66D,0x00007F4CAC89B0C8]"): they are for the service's logs, and would tell a
// client where the process's code lies.
void StripCodeAddresses(Json& node) {
    static const std::regex addresses(R"( ?\[0x[0-9A-F]{16}([,;]0x[0-9A-F]{16})*\])");
    if (const auto attributes = node.find("attributes"); attributes != node.end()) {
        for (Json& attribute : *attributes) {
            if (attribute.value("name", std::string()) == "ErrorSerialized" &&
                attribute.contains("value") && attribute["value"].is_string()) {
                attribute["value"] =
                    std::regex_replace(attribute["value"].get<std::string>(), addresses, "");
            }
        }
    }
    if (const auto children = node.find("children"); children != node.end()) {
        for (Json& child : *children) {
            StripCodeAddresses(child);
        }
    }
}

} // namespace

// A request refused with its status and text; the routes throw it, OnRequest answers it.
struct HttpError : std::runtime_error {
    HttpError(int status, const std::string& text, std::string code = {})
        : std::runtime_error(text), status(status), code(std::move(code)) {}
    int status;
    std::string code;
};

// A body made as it is sent: each call gives the next piece (possibly empty), false at the end;
// it throws when the body cannot be finished, and the connection is then closed.
struct BodySource {
    virtual ~BodySource() = default;
    virtual bool Next(std::string& piece) = 0;
};

struct HttpApi::Reply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::shared_ptr<BodySource> source; // when set, the body instead of `body`

    static Reply Error(int status, const std::string& text, const std::string& code = {}) {
        Json body = {{"error", text}};
        if (!code.empty()) {
            body["code"] = code;
        }
        return Reply{status, body.dump(-1, ' ', false, Json::error_handler_t::replace)};
    }
};

// One request's state between the server's calls: its body as it arrives, and the headers its
// admission added.
struct HttpApi::Exchange {
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

namespace {

void FreeBody(void* body) {
    const std::unique_ptr<std::string> freed(static_cast<std::string*>(body));
}

// A streamed body between the server's calls: its source and the piece being sent.
struct Streaming {
    std::shared_ptr<BodySource> source;
    std::string piece;
    size_t sent = 0;
};

ssize_t ReadStream(void* state, uint64_t, char* buffer, size_t room) noexcept {
    Streaming& streaming = *static_cast<Streaming*>(state);
    try {
        while (streaming.sent == streaming.piece.size()) {
            streaming.piece.clear();
            streaming.sent = 0;
            if (!streaming.source->Next(streaming.piece)) {
                return MHD_CONTENT_READER_END_OF_STREAM;
            }
        }
        const size_t length = std::min(room, streaming.piece.size() - streaming.sent);
        std::memcpy(buffer, streaming.piece.data() + streaming.sent, length);
        streaming.sent += length;
        return static_cast<ssize_t>(length);
    } catch (...) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
}

void FreeStream(void* state) {
    const std::unique_ptr<Streaming> freed(static_cast<Streaming*>(state));
}

MHD_Response* CreateResponse(HttpApi::Reply& reply) {
    if (reply.source) {
        auto streaming = std::make_unique<Streaming>(Streaming{reply.source, {}, 0});
        MHD_Response* response = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, 64 * 1024, &ReadStream, streaming.get(), &FreeStream);
        if (response != nullptr) {
            streaming.release(); // now the response's, freed with it
        }
        return response;
    }
    // The server takes the body itself, not a copy (pages run to hundreds of kilobytes).
    auto body = std::make_unique<std::string>(std::move(reply.body));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), &FreeBody, body.get());
    if (response != nullptr) {
        body.release(); // now the response's, freed with it
    }
    return response;
}

MHD_Result Send(MHD_Connection* connection, HttpApi::Reply reply) {
    const std::unique_ptr<MHD_Response, void (*)(MHD_Response*)> response(CreateResponse(reply),
                                                                          MHD_destroy_response);
    if (!response) {
        return MHD_NO;
    }
    MHD_add_response_header(response.get(), "Content-Type", reply.contentType.c_str());
    MHD_add_response_header(response.get(), "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response.get(), "Content-Security-Policy", SecurityPolicy);
    for (const auto& [name, value] : reply.headers) {
        MHD_add_response_header(response.get(), name.c_str(), value.c_str());
    }
    return MHD_queue_response(connection, static_cast<unsigned>(reply.status), response.get());
}

} // namespace

// The server's calls into the host, each catching everything.
struct HttpApi::Callbacks {
    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char* uploadData,
                                size_t* uploadSize, void** exchange) noexcept {
        HttpApi& api = *static_cast<HttpApi*>(self);
        try {
            if (*exchange == nullptr) {
                // The headers are in: the request is judged before its body is read.
                Reply admission;
                if (!api.Admit(connection, method, admission)) {
                    return Send(connection, admission);
                }
                const std::string length =
                    Header(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
                if (!length.empty() &&
                    std::strtoull(length.c_str(), nullptr, 10) > api.m_options.maxBodyBytes) {
                    return Send(connection, Reply::Error(413, "the request body is too large"));
                }
                *exchange = std::make_unique<Exchange>(Exchange{{}, std::move(admission.headers)})
                                .release();
                return MHD_YES;
            }
            Exchange& state = *static_cast<Exchange*>(*exchange);
            if (*uploadSize != 0) {
                // A body without a length (chunked) is bounded as it arrives: past the limit the
                // connection is closed, as the refusal cannot be sent while a body is coming in.
                if (state.body.size() + *uploadSize > api.m_options.maxBodyBytes) {
                    return MHD_NO;
                }
                state.body.append(uploadData, *uploadSize);
                *uploadSize = 0;
                return MHD_YES;
            }
            if (ConnectionState* connectionState = StateOf(connection)) {
                connectionState->receiving.reset();
            }
            return Send(connection, api.Route(connection, method, url, state));
        } catch (const std::bad_alloc&) {
            return Fail(connection, "out of memory");
        } catch (...) {
            return Fail(connection, "the request failed");
        }
    }

    // A 500 answer; without memory even for that, the connection is closed.
    static MHD_Result Fail(MHD_Connection* connection, const char* text) noexcept {
        try {
            return Send(connection, Reply::Error(500, text));
        } catch (...) {
            return MHD_NO;
        }
    }

    static void OnCompleted(void* self, MHD_Connection* connection, void** exchange,
                            MHD_RequestTerminationCode) noexcept {
        const std::unique_ptr<Exchange> ended(static_cast<Exchange*>(*exchange));
        *exchange = nullptr;
        // The next request on the connection must arrive in time too; without memory for that,
        // the idle time-out alone bounds it.
        if (ConnectionState* state = StateOf(connection)) {
            state->receiving.reset();
            try {
                state->receiving.emplace(static_cast<HttpApi*>(self)->Limit(state->socket));
            } catch (...) {
            }
        }
    }

    static void OnConnection(void* self, MHD_Connection* connection, void** context,
                             MHD_ConnectionNotificationCode code) noexcept {
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            const std::unique_ptr<ConnectionState> closed(static_cast<ConnectionState*>(*context));
            *context = nullptr;
            return;
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        try {
            auto state = std::make_unique<ConnectionState>();
            state->socket = info != nullptr ? info->connect_fd : -1;
            state->receiving.emplace(static_cast<HttpApi*>(self)->Limit(state->socket));
            *context = state.release();
        } catch (...) {
            // Without memory for its state, the connection is served with the idle timeout only.
        }
    }
};

bool IsLoopbackAddress(const std::string& address) {
    const std::vector<sockaddr_storage> addresses = Resolve(address, 0);
    return !addresses.empty() && std::all_of(addresses.begin(), addresses.end(), IsLoopback);
}

HttpApi::HttpApi(const ModuleHost& module, ServeOptions options)
    : HttpApi({ServedChannel{options.channel, &module}}, options) {}

HttpApi::HttpApi(std::vector<ServedChannel> channels, ServeOptions options)
    : m_channels(std::move(channels)), m_options(std::move(options)),
      m_daemon(nullptr, MHD_stop_daemon) {}

HttpApi::~HttpApi() {
    Stop();
}

DisconnectWatch::Registration HttpApi::Limit(int socket) {
    return m_watch.Limit(socket, std::chrono::steady_clock::now() + m_options.requestDeadline);
}

bool HttpApi::Bind(std::string& error) {
    const std::vector<sockaddr_storage> addresses = Resolve(m_options.address, m_options.port);
    if (addresses.empty()) {
        error = "cannot resolve " + m_options.address;
        return false;
    }
    m_loopback = std::all_of(addresses.begin(), addresses.end(), IsLoopback);
    if (!m_loopback && m_options.token.empty()) {
        error = "serving on " + m_options.address + " needs an access token (--token)";
        return false;
    }
    KeepFreedMemoryForReuse();
    const sockaddr_storage& address = addresses.front();
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                     MHD_USE_POLL | MHD_USE_ITC;
    if (address.ss_family == AF_INET6) {
        flags |= MHD_USE_IPv6;
    }
    // On loopback every client has the same address: the limit per address would be the total.
    const unsigned perAddress = m_loopback ? 0 : m_options.maxConnectionsPerAddress;
    m_daemon.reset(MHD_start_daemon(
        flags, static_cast<uint16_t>(m_options.port), nullptr, nullptr, &Callbacks::OnRequest, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&address),
        MHD_OPTION_CONNECTION_LIMIT, m_options.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        perAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT, m_options.maxHeaderBytes,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(m_options.idleTimeout.count()),
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
        &Callbacks::OnConnection, this, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, MHD_OPTION_END));
    if (!m_daemon) {
        error = "cannot listen on " + m_options.address + ":" + std::to_string(m_options.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon.get(), MHD_DAEMON_INFO_BIND_PORT);
    m_port = info != nullptr ? info->port : m_options.port;
    m_cookie = "HalyardToken_" + std::to_string(m_port);
    return true;
}

void HttpApi::Listen() {
    Base::UniqueLock lock(m_lock);
    while (!m_stop) {
        m_stopped.wait(lock);
    }
}

void HttpApi::Stop() {
    {
        const Base::LockGuard lock(m_lock);
        m_stop = true;
    }
    m_stopped.notify_all();
    m_daemon.reset();
}

bool HttpApi::Admit(MHD_Connection* connection, const std::string& method, Reply& reply) const {
    const std::string host = Header(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    // Bound to loopback, only this machine's own names may be asked for, so that a web page
    // elsewhere cannot reach the host through a name of its own that resolves to 127.0.0.1.
    if (m_loopback) {
        const std::string port = ":" + std::to_string(m_port);
        bool local = false;
        for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) {
            local = local || host == name || host == name + port;
        }
        if (!local) {
            reply = Reply::Error(403, "the host answers only to localhost addresses");
            return false;
        }
    }
    // A page of another origin may send a form or a script's request, never to be answered.
    const std::string origin = Header(connection, MHD_HEADER_KIND, "Origin");
    if (method == MHD_HTTP_METHOD_POST && !origin.empty() && origin != "http://" + host) {
        reply = Reply::Error(403, "requests from other origins are refused");
        return false;
    }
    if (m_options.token.empty()) {
        return true;
    }
    std::string given = Header(connection, MHD_COOKIE_KIND, m_cookie.c_str());
    const std::string authorization = Header(connection, MHD_HEADER_KIND, "Authorization");
    const char* parameter = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
    if (authorization.rfind("Bearer ", 0) == 0) {
        given = authorization.substr(7);
    } else if (parameter != nullptr) {
        given = parameter;
        if (SameToken(given, m_options.token) && CookieSafe(given)) {
            reply.headers.emplace_back("Set-Cookie", m_cookie + "=" + given +
                                                         "; HttpOnly; SameSite=Strict; Path=/");
        }
    }
    if (!SameToken(given, m_options.token)) {
        reply = Reply::Error(401, "an access token is needed");
        return false;
    }
    return true;
}

HttpApi::Reply HttpApi::Route(MHD_Connection* connection, const std::string& method,
                              const std::string& url, const Exchange& exchange) {
    Reply reply;
    try {
        if (url == "/api/request" && method == MHD_HTTP_METHOD_POST) {
            reply = ProcessRequest(connection, exchange);
        } else if (url == "/api/info" && method == MHD_HTTP_METHOD_GET) {
            reply = Info(connection);
        } else if (url == "/api/export" && method == MHD_HTTP_METHOD_POST) {
            reply = Export(connection, exchange);
        } else if (url == "/api/event" && method == MHD_HTTP_METHOD_GET) {
            reply = Event(connection);
        } else if (method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD) {
            reply = StaticFile(url);
        } else {
            throw HttpError(404, "not found");
        }
    } catch (const HttpError& failure) {
        reply = Reply::Error(failure.status, failure.what(), failure.code);
    } catch (const NodeJsonError& failure) {
        reply = Reply::Error(400, std::string("not a node tree: ") + failure.what());
    } catch (const HRES& failure) {
        reply = Reply::Error(500, "the node library failed", HexHresult(failure.Code()));
    }
    reply.headers.insert(reply.headers.end(), exchange.headers.begin(), exchange.headers.end());
    return reply;
}

const ServedChannel& HttpApi::ChannelOf(MHD_Connection* connection) const {
    const char* name = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "channel");
    if (name == nullptr || *name == '\0') {
        return m_channels.front();
    }
    const auto found =
        std::find_if(m_channels.begin(), m_channels.end(),
                     [name](const ServedChannel& channel) { return channel.name == name; });
    if (found == m_channels.end()) {
        throw HttpError(404, "the host does not serve the channel " + std::string(name));
    }
    return *found;
}

HttpApi::Reply HttpApi::Info(MHD_Connection* connection) const {
    Json channels = Json::array();
    for (const ServedChannel& channel : m_channels) {
        channels.push_back(channel.name);
    }
    const Json info = {
        {"channel", ChannelOf(connection).name},        {"channels", std::move(channels)},
        {"monitoringPlans", m_options.monitoringPlans}, {"tokenRequired", !m_options.token.empty()},
        {"maxBodyBytes", m_options.maxBodyBytes},       {"cancelledRequests", m_cancelled.load()}};
    return Reply{200, info.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

HttpApi::Reply HttpApi::Event(MHD_Connection* connection) const {
    const std::string record = Header(connection, MHD_GET_ARGUMENT_KIND, "record");
    uint64_t id = 0;
    const auto [end, error] = std::from_chars(record.data(), record.data() + record.size(), id);
    if (record.empty() || error != std::errc() || end != record.data() + record.size()) {
        throw HttpError(400, "record must be an event record id");
    }
    const auto details = ReadEvent(Base::WideFromUtf8(ChannelOf(connection).name), id);
    if (!details) {
        throw HttpError(404, "no such event");
    }
    return Reply{200, details->dump(-1, ' ', false, Json::error_handler_t::replace)};
}

EkNodePtr HttpApi::Call(const ModuleHost& module, int socket, const EkNodePtr& request) {
    EkNodePtr response;
    HRESULT hr = S_OK;
    {
        const RequestContext context;
        if (!context.Begun()) {
            throw HttpError(500, "no request context");
        }
        const auto watched = m_watch.Watch(socket, context.Handle());
        hr = module.ProcessRequest(request, response);
        if (watched.Cancelled()) {
            ++m_cancelled;
        }
    }
    if (hr != S_OK) {
        throw HttpError(500, "the module failed the request", HexHresult(hr));
    }
    return response;
}

HttpApi::Reply HttpApi::ProcessRequest(MHD_Connection* connection, const Exchange& exchange) {
    const ModuleHost& module = *ChannelOf(connection).module;
    const std::string type = Header(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    if (type.rfind("application/json", 0) != 0) {
        throw HttpError(415, "the request body must be application/json");
    }
    Json body;
    try {
        body = Json::parse(exchange.body);
    } catch (const Json::exception& failure) {
        throw HttpError(400, std::string("malformed JSON: ") + failure.what());
    }
    const EkNodePtr requestNode = NodeFromJson(body);
    if (const std::string beyond = BeyondBounds(body); !beyond.empty()) {
        throw HttpError(400, beyond);
    }
    const ConnectionState* state = StateOf(connection);
    // The connection is not idle while the module works: no time-out during the call, and the
    // idle time counted anew from its end.
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    EkNodePtr responseNode;
    try {
        responseNode = Call(module, state != nullptr ? state->socket : -1, requestNode);
    } catch (...) {
        MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                  static_cast<unsigned>(m_options.idleTimeout.count()));
        throw;
    }
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                              static_cast<unsigned>(m_options.idleTimeout.count()));
    std::string text = NodeToJsonText(responseNode);
    // Only an attribute of that name has its text rewritten, and its name cannot appear unescaped
    // inside a JSON string: responses without one go out as written.
    if (text.find(R"("name":"ErrorSerialized")") != std::string::npos) {
        Json response = Json::parse(text);
        StripCodeAddresses(response);
        text = response.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    return Reply{200, std::move(text)};
}

namespace {

std::string NewSessionId() {
    std::random_device random;
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%04X-%04X%08X}", random(), random() & 0xFFFF,
                  (random() & 0x0FFF) | 0x4000, (random() & 0x3FFF) | 0x8000, random() & 0xFFFF,
                  random());
    return text;
}

// The columns of an exported CSV: attributes of the module's event nodes.
constexpr const char* ExportColumns[] = {
    "TimeCreated", "Level",    "ProviderName",       "EventId",  "Task",   "User",
    "Computer",    "RecordId", "MonitoringPlanName", "ItemName", "Message"};

std::string CsvField(const Json* value) {
    std::string text;
    if (value != nullptr) {
        text = value->is_string() ? value->get<std::string>()
                                  : value->dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

} // namespace

// Every event of a filter set, read page by page through a session of its own and written as CSV
// or JSON Lines; the session is released when the export ends, however it ends.
class ExportSource : public BodySource {
public:
    ExportSource(HttpApi& api, const ModuleHost& module, int socket, Json filters, bool csv)
        : m_api(api), m_module(module), m_socket(socket), m_filters(std::move(filters)),
          m_csv(csv) {}
    ~ExportSource() override {
        if (m_mark.is_null()) {
            return;
        }
        try {
            Ask({{"name", "ReleaseSessionRequest"}, {"children", {m_mark}}});
        } catch (...) {
            // The sessions holder's sweep ends it in time.
        }
    }
    ExportSource(const ExportSource&) = delete;
    ExportSource& operator=(const ExportSource&) = delete;

    // Opens the export's session; HttpError 400 with the module's words when it refuses the
    // filters, before anything is sent.
    void Start() {
        const Json mark = {
            {"name", "ContinuationMark"},
            {"attributes",
             {{{"name", "SessionId"}, {"type", 13}, {"value", NewSessionId()}},
              {{"name", "Position"}, {"type", 6}, {"value", "0"}},
              {{"name", "Count"}, {"type", 6}, {"value", std::to_string(ExportPageEvents)}}}}};
        const Json created =
            Ask(WithFilters({{"name", "CreateSessionRequest"}, {"children", {mark}}}), 400);
        m_mark = MarkOf(created, mark);
    }

    bool Next(std::string& piece) override {
        if (m_done) {
            return false;
        }
        if (m_csv && !m_headed) {
            for (const char* column : ExportColumns) {
                piece.append(piece.empty() ? "" : ",").append(column);
            }
            piece += "\r\n";
        }
        m_headed = true;
        Json request = {{"name", "GetDataRequest"},
                        {"attributes",
                         {{{"name", "Direction"}, {"type", 4}, {"value", 0}},
                          {{"name", "EventsCount"},
                           {"type", 6},
                           {"value", std::to_string(ExportPageEvents)}}}}};
        // Not `= {m_mark}`: assigned from a one-element brace list, a Json is a copy of the element
        // for Clang and an array of it for GCC.
        request["children"] = Json::array({m_mark});
        const Json page = Ask(WithFilters(std::move(request)));
        m_mark = MarkOf(page, m_mark);
        const Json* events = ChildOf(page, "Events");
        const Json* isBack = events != nullptr ? AttributeOf(*events, "IsBack") : nullptr;
        const Json none = Json::array();
        const Json& list =
            events != nullptr && events->contains("children") ? events->at("children") : none;
        m_done = list.empty() || isBack == nullptr || !isBack->is_boolean() || isBack->get<bool>();
        for (const Json& event : list) {
            Write(event, piece);
        }
        return true;
    }

private:
    Json Ask(const Json& request, int status = 500) {
        Json response = NodeToJson(m_api.Call(m_module, m_socket, NodeFromJson(request)));
        const Json* code = AttributeOf(response, "ResultCode");
        if (code == nullptr || !code->is_number_integer()) {
            throw HttpError(500, "the module's response has no result code");
        }
        if (code->get<int64_t>() != 0) {
            StripCodeAddresses(response);
            const Json* text = AttributeOf(response, "ErrorSerialized");
            throw HttpError(status,
                            text != nullptr && text->is_string() ? text->get<std::string>()
                                                                 : "the module failed the export",
                            HexHresult(static_cast<HRESULT>(code->get<int64_t>())));
        }
        return response;
    }

    Json WithFilters(Json request) const {
        if (!m_filters.is_null()) {
            request["children"].push_back(m_filters);
        }
        return request;
    }

    static const Json* ChildOf(const Json& node, const char* name) {
        const auto children = node.find("children");
        if (children == node.end()) {
            return nullptr;
        }
        for (const Json& child : *children) {
            if (child.value("name", std::string()) == name) {
                return &child;
            }
        }
        return nullptr;
    }

    static Json MarkOf(const Json& response, const Json& previous) {
        const Json* mark = ChildOf(response, "ContinuationMark");
        return mark != nullptr ? *mark : previous;
    }

    void Write(const Json& event, std::string& piece) const {
        if (m_csv) {
            bool first = true;
            for (const char* column : ExportColumns) {
                piece.append(first ? "" : ",").append(CsvField(AttributeOf(event, column)));
                first = false;
            }
            piece += "\r\n";
            return;
        }
        Json line = Json::object();
        for (const Json& attribute : event.value("attributes", Json::array())) {
            line[attribute.value("name", std::string())] = attribute.value("value", Json());
        }
        piece += line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    }

    HttpApi& m_api;
    const ModuleHost& m_module;
    int m_socket;
    Json m_filters;
    bool m_csv;
    Json m_mark; // null until the session is open
    bool m_headed = false;
    bool m_done = false;
};

HttpApi::Reply HttpApi::Export(MHD_Connection* connection, const Exchange& exchange) {
    const ServedChannel& channel = ChannelOf(connection);
    const std::string format = Header(connection, MHD_GET_ARGUMENT_KIND, "format");
    if (format != "csv" && format != "jsonl") {
        throw HttpError(400, "format must be csv or jsonl");
    }
    Json filters;
    if (exchange.body.find_first_not_of(" \t\r\n") != std::string::npos) {
        try {
            filters = Json::parse(exchange.body);
        } catch (const Json::exception& failure) {
            throw HttpError(400, std::string("malformed JSON: ") + failure.what());
        }
        if (filters.empty()) {
            filters = nullptr;
        } else if (NodeFromJson(filters); filters.value("name", std::string()) != "Filters") {
            throw HttpError(400, "the body must be a \"Filters\" node");
        }
    }
    const ConnectionState* state = StateOf(connection);
    Reply reply;
    reply.contentType = format == "csv" ? "text/csv; charset=utf-8" : "application/x-ndjson";
    auto source = std::make_shared<ExportSource>(*this, *channel.module,
                                                 state != nullptr ? state->socket : -1,
                                                 std::move(filters), format == "csv");
    source->Start();
    reply.source = std::move(source);
    reply.headers.emplace_back("Content-Disposition",
                               "attachment; filename=\"events." + format + "\"");
    return reply;
}

HttpApi::Reply HttpApi::StaticFile(const std::string& url) const {
    const std::string path = url == "/" ? std::string("/index.html") : url;
    // Plain names only: no way out of the viewer's folder, no hidden files.
    const bool plain = !m_options.viewerFolder.empty() && path.find("/.") == std::string::npos &&
                       path.find('\\') == std::string::npos;
    std::error_code failure;
    if (!plain || !std::filesystem::is_regular_file(m_options.viewerFolder + path, failure)) {
        throw HttpError(404, "not found");
    }
    std::ifstream file(m_options.viewerFolder + path, std::ios::binary);
    std::string content(std::istreambuf_iterator<char>(file), {});
    if (!file.is_open() || file.bad()) {
        throw HttpError(404, "not found");
    }
    return Reply{200, std::move(content), ContentTypeOf(path), {{"Cache-Control", "no-cache"}}};
}

} // namespace HalyardHost
