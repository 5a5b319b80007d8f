#include "HttpApi.h"

#include "Base/Utf.h"
#include "EventReader.h"
#include "NodeJson.h"
#include "Trellis/Trellis.h"

#include <httplib.h>

#include <cstdio>
#include <cstdlib>

namespace HalyardHost {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* TokenCookie = "HalyardToken";

void SendError(httplib::Response& response, int status, const std::string& text,
               const std::string& code = {}) {
    Json body = {{"error", text}};
    if (!code.empty()) {
        body["code"] = code;
    }
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

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

std::string CookieValue(const httplib::Request& request, const std::string& name) {
    const std::string cookies = request.get_header_value("Cookie");
    size_t at = 0;
    while (at < cookies.size()) {
        const size_t end = std::min(cookies.find(';', at), cookies.size());
        std::string pair = cookies.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.compare(0, name.size() + 1, name + "=") == 0) {
            return pair.substr(name.size() + 1);
        }
        at = end + 1;
    }
    return {};
}

// The host part of a Host header ("127.0.0.1:8080" gives "127.0.0.1", "[::1]:80" gives "::1").
std::string HostOf(const std::string& header) {
    if (!header.empty() && header.front() == '[') {
        const size_t close = header.find(']');
        return close == std::string::npos ? header : header.substr(1, close - 1);
    }
    return header.substr(0, header.find(':'));
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

} // namespace

bool IsLoopbackAddress(const std::string& address) {
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

HttpApi::HttpApi(const ModuleHost& module, ServeOptions options)
    : m_module(module), m_options(std::move(options)),
      m_server(std::make_unique<httplib::Server>()) {
    const int threads = m_options.threads;
    // The server takes ownership of the queue it is given.
    m_server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    m_server->set_payload_max_length(m_options.maxBodyBytes);
    // A response goes out in pieces (headers, then the body); with Nagle's algorithm on, the last
    // piece waits for the client's delayed acknowledgement, some 40 ms on a kept-alive connection.
    m_server->set_tcp_nodelay(true);
    // The library closes a kept-alive connection after 5 requests by default; a client that
    // reconnects that often now and then waits a second for its connection (at 16 clients, 1 % of
    // the requests). The viewer polls and pages on one connection for as long as it is open.
    m_server->set_keep_alive_max_count(1000);
    AddRoutes();
}

HttpApi::~HttpApi() = default;

bool HttpApi::Bind(std::string& error) {
    if (!IsLoopbackAddress(m_options.address) && m_options.token.empty()) {
        error = "serving on " + m_options.address + " needs an access token (--token)";
        return false;
    }
    if (m_options.port == 0) {
        m_port = m_server->bind_to_any_port(m_options.address);
    } else if (m_server->bind_to_port(m_options.address, m_options.port)) {
        m_port = m_options.port;
    } else {
        m_port = -1;
    }
    if (m_port <= 0) {
        error = "cannot listen on " + m_options.address + ":" + std::to_string(m_options.port);
        return false;
    }
    return true;
}

void HttpApi::Listen() {
    m_server->listen_after_bind();
}

void HttpApi::Stop() {
    m_server->stop();
}

void HttpApi::AddRoutes() {
    const bool loopback = IsLoopbackAddress(m_options.address);
    m_server->set_pre_routing_handler(
        [this, loopback](const httplib::Request& request, httplib::Response& response) {
            // Bound to loopback, only pages of this machine's own names may talk to the host, so a
            // web page elsewhere cannot reach it through a name that resolves to 127.0.0.1.
            if (loopback && !IsLoopbackAddress(HostOf(request.get_header_value("Host")))) {
                SendError(response, 403, "the host answers only to localhost addresses");
                return httplib::Server::HandlerResponse::Handled;
            }
            if (m_options.token.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            std::string given = CookieValue(request, TokenCookie);
            const std::string authorization = request.get_header_value("Authorization");
            if (authorization.rfind("Bearer ", 0) == 0) {
                given = authorization.substr(7);
            } else if (request.has_param("token")) {
                given = request.get_param_value("token");
                if (SameToken(given, m_options.token)) {
                    response.set_header("Set-Cookie", std::string(TokenCookie) + "=" + given +
                                                          "; HttpOnly; SameSite=Strict; Path=/");
                }
            }
            if (!SameToken(given, m_options.token)) {
                SendError(response, 401, "an access token is needed");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });

    m_server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) {
            return;
        }
        if (response.status == 413) {
            SendError(response, 413, "the request body is too large");
        } else if (response.status == 404) {
            SendError(response, 404, "not found");
        } else {
            SendError(response, response.status, "HTTP status " + std::to_string(response.status));
        }
    });

    m_server->Get("/api/info", [this](const httplib::Request&, httplib::Response& response) {
        const Json info = {{"channel", m_options.channel},
                           {"monitoringPlans", m_options.monitoringPlans},
                           {"tokenRequired", !m_options.token.empty()},
                           {"maxBodyBytes", m_options.maxBodyBytes},
                           {"cancelledRequests", m_cancelled.load()}};
        response.set_content(info.dump(), "application/json");
    });

    // One event's details straight from the Event Log (EventReader.h): ?record=N[&channel=NAME].
    m_server->Get(
        "/api/event", [this](const httplib::Request& request, httplib::Response& response) {
            try {
                const std::string channel = request.has_param("channel")
                                                ? request.get_param_value("channel")
                                                : m_options.channel;
                const std::string record = request.get_param_value("record");
                char* end = nullptr;
                const unsigned long long id = std::strtoull(record.c_str(), &end, 10);
                if (record.empty() || *end != '\0') {
                    SendError(response, 400, "record must be an event record id");
                    return;
                }
                const auto details = ReadEvent(Base::WideFromUtf8(channel), id);
                if (!details) {
                    SendError(response, 404, "no such event");
                    return;
                }
                response.set_content(details->dump(-1, ' ', false, Json::error_handler_t::replace),
                                     "application/json");
            } catch (const std::bad_alloc&) {
                SendError(response, 500, "out of memory");
            } catch (const std::exception& failure) {
                SendError(response, 500, failure.what());
            }
        });

    m_server->Post(
        "/api/request", [this](const httplib::Request& request, httplib::Response& response) {
            try {
                if (request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
                    SendError(response, 415, "the request body must be application/json");
                    return;
                }
                Json body;
                try {
                    body = Json::parse(request.body);
                } catch (const Json::parse_error& failure) {
                    SendError(response, 400, std::string("malformed JSON: ") + failure.what());
                    return;
                }
                EkNodePtr requestNode;
                try {
                    requestNode = NodeFromJson(body);
                } catch (const NodeJsonError& failure) {
                    SendError(response, 400, std::string("not a node tree: ") + failure.what());
                    return;
                }

                EkNodePtr responseNode;
                HRESULT hr = S_OK;
                {
                    const RequestContext context;
                    if (!context.Begun()) {
                        SendError(response, 500, "no request context");
                        return;
                    }
                    const auto watched = m_watch.Watch(request.remote_addr, request.remote_port,
                                                       request.local_port, context.Handle());
                    hr = m_module.ProcessRequest(requestNode, responseNode);
                    if (watched.Cancelled()) {
                        ++m_cancelled;
                    }
                }
                if (hr != S_OK) {
                    SendError(response, 500, "the module failed the request", HexHresult(hr));
                    return;
                }
                response.set_content(
                    NodeToJson(responseNode).dump(-1, ' ', false, Json::error_handler_t::replace),
                    "application/json");
            } catch (const std::bad_alloc&) {
                SendError(response, 500, "out of memory");
            } catch (const HRES& failure) {
                SendError(response, 500, "the node library failed", HexHresult(failure.Code()));
            } catch (const std::exception& failure) {
                SendError(response, 500, failure.what());
            }
        });

    if (!m_options.viewerFolder.empty()) {
        m_server->set_mount_point("/", m_options.viewerFolder,
                                  {{"X-Content-Type-Options", "nosniff"},
                                   {"Content-Security-Policy", "default-src 'self'"},
                                   {"Cache-Control", "no-cache"}});
    }
}

} // namespace HalyardHost
