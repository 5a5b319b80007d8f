// The module served over HTTP: one endpoint takes a request tree as JSON and returns the response
// tree (the mapping of NodeJson.h), and the viewer's static files are served beside it.
//
//   POST /api/request   body: a request node, Content-Type application/json
//                       200: the response node; 400: malformed JSON or node tree; 401: no or a
//                       wrong access token; 413: body too large; 415: not JSON;
//                       500: the module refused the call (its HRESULT in "code")
//   GET  /api/info      {"channel", "monitoringPlans", "tokenRequired", "maxBodyBytes",
//                        "cancelledRequests"}
//   GET  /api/event?record=N[&channel=NAME]
//                       one event of the channel (default: the configured one) with its data,
//                       names, message and XML (EventReader.h); 404: no such record
//   GET  /...           the viewer's files
//
// Every error body is {"error": text} (and "code" where the module gave one). Each request runs
// in a framework request context, which is cancelled when its client goes away.
#pragma once

#include "DisconnectWatch.h"
#include "ModuleHost.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace HalyardHost {

struct ServeOptions {
    std::string address = "127.0.0.1";
    int port = 8080; // 0: any free port
    // Required when the address is not a loopback address; then every request must carry it
    // (header "Authorization: Bearer <token>", cookie "HalyardToken", or "?token=" on a page).
    std::string token;
    std::string viewerFolder;
    std::string channel;
    // Whether the configuration names monitoring-plan events (the viewer then offers their
    // filters).
    bool monitoringPlans = false;
    size_t maxBodyBytes = 4 * 1024 * 1024;
    int threads = 32;
};

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackAddress(const std::string& address);

class HttpApi {
public:
    HttpApi(const ModuleHost& module, ServeOptions options);
    ~HttpApi();
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    // Binds the address and port; false with `error` set on failure.
    bool Bind(std::string& error);
    // The bound port (useful with port 0).
    int Port() const noexcept { return m_port; }
    // Serves until Stop is called (from another thread or a signal handler's helper thread).
    void Listen();
    void Stop();

private:
    void AddRoutes();

    const ModuleHost& m_module;
    ServeOptions m_options;
    std::unique_ptr<httplib::Server> m_server;
    DisconnectWatch m_watch;
    std::atomic<uint64_t> m_cancelled{0}; // requests whose client went away
    int m_port = 0;
};

} // namespace HalyardHost
