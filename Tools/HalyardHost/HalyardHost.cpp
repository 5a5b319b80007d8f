// HalyardHost: a host for people. It loads the Corvane module as the service host does (through
// its one export and the component interfaces only), configures one component for each channel and
// serves them:
//
//   HalyardHost [serve] [options]    the module over HTTP with the web viewer (see HttpApi.h)
//   HalyardHost walk [options]       a scripted viewing session, every request and response shown
//   HalyardHost request [options] [FILE|-]
//                                    one request given as JSON (a node tree, see NodeJson.h) sent
//                                    to a running host (--url) or straight to the module; the
//                                    response printed as JSON
//
// Options:
//   --channel NAME      the event-log channel (overrides the configuration's "LogChannelName");
//                       serve takes it more than once, one component for each; without it serve
//                       takes the configuration's "Channels" list when there is one
//   --store DIR         the event store folder (PAL_EVENTLOG_DIR of the Event Log stand-in)
//   --config FILE       the component configuration, a node tree as JSON (default: the sample
//                       corvane-config.json beside the program)
//   --module PATH       the module (default: beside the program)
//   --log-level LEVEL   the module's log severity (NONE, CRIT, ERR, WARN, INFO, DBG, DBG2, DBG3;
//                       default INFO, or GS_Logger_MaxSeverity when set)
//   serve:   --address ADDR (127.0.0.1)  --port N (8080; 0: any free port)
//            --viewer DIR (the viewer beside the program)  --connections N (256, at once)
//   request: --url URL (a running host, e.g. http://127.0.0.1:8080)
//   both:    --token TOKEN (blanked from the command line at once), --token-file FILE, or the
//            environment's HALYARD_TOKEN

#include "Base/Utf.h"
#include "HostEnvironment.h"
#include "HttpModes.h"
#include "ModuleHost.h"
#include "NodeJson.h"
#include "StopSignal.h"
#include "Walk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

using namespace HalyardHost;
using Json = nlohmann::ordered_json;

struct Options {
    std::string mode = "serve";
    std::vector<std::string> channels;
    std::string store;
    std::string config;
    std::string module;
    std::string logLevel;
    std::string url;
    std::string input = "-";
    ServeOptions serve;
};

constexpr const char* Usage =
    "usage: HalyardHost [serve|walk|request] [--channel NAME] [--store DIR] [--config FILE]\n"
    "                   [--module PATH] [--log-level LEVEL]\n"
    "  serve:   [--channel NAME]... [--address ADDR] [--port N] [--token TOKEN|--token-file FILE] "
    "[--viewer DIR]\n"
    "           [--connections N]\n"
    "  request: [--url URL] [--token TOKEN|--token-file FILE] [FILE|-]\n"
    "  The token may come from HALYARD_TOKEN instead.\n";

std::string BesideProgram(const std::string& name) {
    const std::string module = ModuleBesideProgram();
    return module.substr(0, module.find_last_of("\\/") + 1) + name;
}

bool ReadText(const std::string& path, std::string& text) {
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

bool ParseArguments(int argc, char** argv, Options& options) {
    int i = 1;
    if (i < argc && argv[i][0] != '-') {
        options.mode = argv[i++];
        if (options.mode != "serve" && options.mode != "walk" && options.mode != "request") {
            return false;
        }
    }
    bool inputGiven = false;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&](std::string& target) {
            target = argv[++i];
            return true;
        };
        if (arg == "--channel" && hasValue) {
            options.channels.emplace_back(argv[++i]);
        } else if (arg == "--store" && hasValue) {
            value(options.store);
        } else if (arg == "--config" && hasValue) {
            value(options.config);
        } else if (arg == "--module" && hasValue) {
            value(options.module);
        } else if (arg == "--log-level" && hasValue) {
            value(options.logLevel);
        } else if (arg == "--address" && hasValue) {
            value(options.serve.address);
        } else if (arg == "--port" && hasValue) {
            options.serve.port = std::atoi(argv[++i]);
        } else if (arg == "--connections" && hasValue) {
            options.serve.maxConnections = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else if (arg == "--token" && hasValue) {
            value(options.serve.token);
            HideArgument(argv[i]);
        } else if (arg == "--token-file" && hasValue) {
            if (!ReadText(argv[++i], options.serve.token)) {
                std::cerr << "cannot read " << argv[i] << "\n";
                return false;
            }
            options.serve.token.erase(options.serve.token.find_last_not_of("\r\n") + 1);
        } else if (arg == "--viewer" && hasValue) {
            value(options.serve.viewerFolder);
        } else if (arg == "--url" && hasValue) {
            value(options.url);
        } else if (options.mode == "request" && !inputGiven && (arg == "-" || arg[0] != '-')) {
            options.input = arg;
            inputGiven = true;
        } else {
            return false;
        }
    }
    if (const char* token = std::getenv("HALYARD_TOKEN"); options.serve.token.empty() && token) {
        options.serve.token = token;
    }
    if (options.module.empty()) {
        options.module = ModuleBesideProgram();
    }
    if (options.config.empty()) {
        options.config = BesideProgram("corvane-config.json");
    }
    if (options.serve.viewerFolder.empty()) {
        options.serve.viewerFolder = BesideProgram("Viewer");
    }
    return true;
}

// A node tree from a JSON file; null with a message on standard error when it is not one.
EkNodePtr ReadNodeFile(const std::string& path) {
    std::string text;
    if (!ReadText(path, text)) {
        std::cerr << "cannot read " << path << "\n";
        return {};
    }
    try {
        return NodeFromJson(Json::parse(text));
    } catch (const std::exception& failure) {
        std::cerr << path << ": " << failure.what() << "\n";
        return {};
    }
}

// The environment of the module: set before it is loaded, as its settings and the Event Log read
// them on first use.
void PrepareEnvironment(const Options& options) {
    if (!options.store.empty()) {
        SetEnvironment("PAL_EVENTLOG_DIR", options.store);
    }
    // INFO unless asked otherwise: request dumps (DBG and above) let any client fill the log.
    if (!options.logLevel.empty()) {
        SetEnvironment("GS_Logger_MaxSeverity", options.logLevel);
    } else if (std::getenv("GS_Logger_MaxSeverity") == nullptr) {
        SetEnvironment("GS_Logger_MaxSeverity", "INFO");
    }
}

// Whether the configuration's resolver names monitoring-plan events.
bool NamesMonitoringPlans(const EkNodePtr& config) {
    const EkNodePtr resolver = config.GetChildByName(L"InsertionalStringsResolver", false);
    return resolver && (resolver.GetChildByName(L"MonitoringPlansOnly", false) ||
                        resolver.GetChildByName(L"MonitoringPlansAndItem", false));
}

// The channels to serve: those of the command line, else the configuration's "Channels" list,
// else its "LogChannelName".
std::vector<std::string> ChannelsOf(const Options& options, const EkNodePtr& config) {
    if (!options.channels.empty()) {
        return options.channels;
    }
    std::vector<std::wstring> listed;
    std::wstring named;
    std::vector<std::string> channels;
    if (config.GetAttribute(L"Channels", listed) && !listed.empty()) {
        for (const std::wstring& channel : listed) {
            channels.push_back(Base::Utf8FromWide(channel));
        }
    } else {
        config.GetAttribute(L"LogChannelName", named);
        channels.push_back(Base::Utf8FromWide(named));
    }
    return channels;
}

// A component of the module configured for `channel`; null after a message on standard error.
std::unique_ptr<ModuleHost> LoadModule(const Options& options, const EkNodePtr& config,
                                       const std::string& channel) {
    const EkNodePtr configured = config.CloneNode();
    configured.SetAttribute(L"LogChannelName", Base::WideFromUtf8(channel));
    std::string error;
    std::unique_ptr<ModuleHost> host = ModuleHost::Load(options.module, error);
    if (!host) {
        std::cerr << error << "\n";
        return nullptr;
    }
    if (const HRESULT hr = host->Configure(configured); hr != S_OK) {
        std::fprintf(stderr, "Configure for %s failed: 0x%08X\n", channel.c_str(),
                     static_cast<unsigned>(hr));
        return nullptr;
    }
    return host;
}

// The configuration read with the module's environment set; null after a message.
EkNodePtr PrepareModule(Options& options) {
    PrepareEnvironment(options);
    const EkNodePtr config = ReadNodeFile(options.config);
    if (config) {
        options.serve.monitoringPlans = NamesMonitoringPlans(config);
    }
    return config;
}

// The module configured for the first channel (walk, request).
std::unique_ptr<ModuleHost> LoadFirstChannel(Options& options) {
    const EkNodePtr config = PrepareModule(options);
    return config ? LoadModule(options, config, ChannelsOf(options, config).front()) : nullptr;
}

int Serve(Options& options) {
    const EkNodePtr config = PrepareModule(options);
    if (!config) {
        return 1;
    }
    std::vector<std::unique_ptr<ModuleHost>> hosts;
    std::vector<ServedChannel> channels;
    for (const std::string& channel : ChannelsOf(options, config)) {
        if (std::any_of(channels.begin(), channels.end(),
                        [&](const ServedChannel& served) { return served.name == channel; })) {
            continue;
        }
        hosts.push_back(LoadModule(options, config, channel));
        if (!hosts.back()) {
            return 1;
        }
        channels.push_back({channel, hosts.back().get()});
    }
    return ServeModule(channels, options.serve);
}

int Request(Options& options) {
    std::string body;
    if (!ReadText(options.input, body)) {
        std::cerr << "cannot read " << options.input << "\n";
        return 1;
    }
    if (!options.url.empty()) {
        return SendToHost(options.url, options.serve.token, body);
    }
    EkNodePtr request;
    try {
        request = NodeFromJson(Json::parse(body));
    } catch (const std::exception& failure) {
        std::cerr << options.input << ": " << failure.what() << "\n";
        return 1;
    }
    const std::unique_ptr<ModuleHost> host = LoadFirstChannel(options);
    if (!host) {
        return 1;
    }
    EkNodePtr response;
    if (const HRESULT hr = host->ProcessRequest(request, response); hr != S_OK) {
        std::fprintf(stderr, "ProcessRequest failed: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::cout << NodeToJson(response).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return 0;
}

int WalkThrough(Options& options) {
    const std::unique_ptr<ModuleHost> host = LoadFirstChannel(options);
    return host ? RunWalk(*host, std::cout) : 1;
}

} // namespace

int main(int argc, char** argv) {
    HoldStopSignals();
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::cerr << Usage;
        return 2;
    }
    try {
        if (options.mode == "walk") {
            return WalkThrough(options);
        }
        if (options.mode == "request") {
            return Request(options);
        }
        return Serve(options);
    } catch (const std::exception& failure) {
        std::cerr << "failed: " << failure.what() << "\n";
    } catch (const HRES& failure) {
        std::fprintf(stderr, "failed: 0x%08X\n", static_cast<unsigned>(failure.Code()));
    }
    return 1;
}
