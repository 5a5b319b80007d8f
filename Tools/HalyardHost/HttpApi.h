// The module served over HTTP: one endpoint takes a request tree as JSON and returns the response
// tree (the mapping of NodeJson.h), and the viewer's static files are served beside it.
//
// Every route but the files takes "?channel=NAME" (a channel the host serves; by default the first)
// and answers 404 for a channel it does not serve.
//
//   POST /api/request   body: a request node, Content-Type application/json
//                       200: the response node; 400: malformed JSON or node tree, or a request
//                       beyond the host's bounds; 401: no or a wrong access token; 403: a foreign
//                       Host or Origin; 413: body too large; 415: not JSON;
//                       500: the module refused the call (its HRESULT in "code")
//   GET  /api/info      {"channel", "channels", "monitoringPlans", "tokenRequired",
//                        "maxBodyBytes", "cancelledRequests"}
//   POST /api/export?format=csv|jsonl
//                       body: a "Filters" node (or {}); every matching event, newest first, read
//                       page by page through a session of the module and streamed as it is read:
//                       CSV with a header line, or one JSON object a line
//   GET  /api/event?record=N[&channel=NAME]
//                       one event of the channel (default: the first served) with its data,
//                       names, message and XML (EventReader.h); 404: no such record
//   GET  /...           the viewer's files
//
// Every error body is {"error": text} (and "code" where the module gave one). Each request runs
// in a framework request context, which is cancelled when its client goes away.
//
// The server (libmicrohttpd) gives every connection a thread of its own, so a slow client holds
// only its own thread, and a long module call runs on its connection's thread without holding up
// the others. Connections are bounded in number (in total, and per client address off loopback),
// in memory before anything is authenticated (request line and headers), in idle time and in the
// time a whole request may take to arrive.
#pragma once

#include "DisconnectWatch.h"
#include "ModuleHost.h"

#include "Base/Mutex.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace HalyardHost {

class ExportSource;

struct ServeOptions {
    std::string address = "127.0.0.1";
    int port = 8080; // 0: any free port
    // Required when the address is not a loopback address; then every request must carry it
    // (header "Authorization: Bearer <token>", the cookie "HalyardToken_<port>", or "?token=" on
    // a page).
    std::string token;
    std::string viewerFolder;
    std::string channel; // the channel of the one module given to the constructor
    // Whether the configuration names monitoring-plan events (the viewer then offers their
    // filters).
    bool monitoringPlans = false;
    size_t maxBodyBytes = 4 * 1024 * 1024;
    // Connections served at once (each has a thread), and per client address when the host is
    // not bound to loopback (on loopback every client has the same address).
    unsigned maxConnections = 256;
    unsigned maxConnectionsPerAddress = 32;
    // The memory of a connection for its request line and headers; a request needing more is
    // refused (414 or 431).
    size_t maxHeaderBytes = 32 * 1024;
    // A connection with nothing sent or received for this long is closed.
    std::chrono::seconds idleTimeout{30};
    // A request (line, headers and body) must arrive in full within this time from the
    // connection's start or the end of its previous request; else the connection is closed.
    std::chrono::milliseconds requestDeadline{30'000};
};

// The most events a page request may ask for ("EventsCount"), and the most page starts a
// continuation mark may carry ("Pages": a session paged this far has read 100,000 pages).
constexpr int64_t MaxEventsCount = 10'000;
constexpr size_t MaxMarkPages = 100'000;

// Events a page of an export asks the module for.
constexpr int64_t ExportPageEvents = 1'000;

// A channel served: its name and the component configured for it.
struct ServedChannel {
    std::string name;
    const ModuleHost* module;
};

// True when the address (a name or a numeric address) resolves to loopback addresses only.
bool IsLoopbackAddress(const std::string& address);

class HttpApi {
public:
    // Serves `module` as the channel options.channel.
    HttpApi(const ModuleHost& module, ServeOptions options);
    // Serves each channel (at least one) by its own component.
    HttpApi(std::vector<ServedChannel> channels, ServeOptions options);
    ~HttpApi();
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    // Binds the address and port and starts serving; false with `error` set on failure.
    bool Bind(std::string& error);
    // The bound port (useful with port 0).
    int Port() const noexcept { return m_port; }
    // Waits until Stop is called (from another thread or a signal handler's helper thread).
    void Listen();
    void Stop();

    struct Exchange;
    struct Reply;

private:
    struct Callbacks;
    friend struct Callbacks;
    friend class ExportSource;

    // Closes the connection of `socket` unless its next request is in by the deadline.
    DisconnectWatch::Registration Limit(int socket);
    Reply Route(MHD_Connection* connection, const std::string& method, const std::string& url,
                const Exchange& exchange);
    Reply Info(MHD_Connection* connection) const;
    // One event's details straight from the Event Log (EventReader.h): ?record=N[&channel=NAME].
    Reply Event(MHD_Connection* connection) const;
    Reply ProcessRequest(MHD_Connection* connection, const Exchange& exchange);
    Reply Export(MHD_Connection* connection, const Exchange& exchange);
    // The component of the request's channel; HttpError 404 when the host does not serve it.
    const ServedChannel& ChannelOf(MHD_Connection* connection) const;
    // One request to a channel's component in a request context that is cancelled when the
    // client of `connection` goes away; HttpError 500 when the module refuses the call.
    EkNodePtr Call(const ModuleHost& module, int socket, const EkNodePtr& request);
    Reply StaticFile(const std::string& url) const;
    // False with the refusal in `reply` for a request from a foreign page or without the token;
    // true when it may pass, `reply` then holding the headers to add (the token's cookie).
    bool Admit(MHD_Connection* connection, const std::string& method, Reply& reply) const;

    std::vector<ServedChannel> m_channels;
    ServeOptions m_options;
    bool m_loopback = false;
    DisconnectWatch m_watch;
    std::atomic<uint64_t> m_cancelled{0}; // requests whose client went away
    int m_port = 0;
    std::string m_cookie; // the token cookie's name, which carries the port
    Base::Mutex m_lock;
    std::condition_variable_any m_stopped;
    bool m_stop GUARDED_BY(m_lock) = false;
    std::unique_ptr<MHD_Daemon, void (*)(MHD_Daemon*)> m_daemon;
};

} // namespace HalyardHost
