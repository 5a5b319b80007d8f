// HalyardHost: a host for people. It loads the Corvane module as the service host does, creates
// and configures the component for one channel, sends it requests and prints every response.
//
//   HalyardHost [--channel NAME] [--module PATH] [--requests FILE]
//
// Without a request file it walks through a viewing session: publishers, counts by level, a new
// session, its first page, a new-events poll and the release. A request file holds one request a
// line: the request name, then attributes as name=value (whole numbers are stored as 64-bit
// integers, "true"/"false" as booleans, anything else as text); "#" starts a comment.

#include "Components/ComponentInterfaces.h"
#include "NodeTree/EkNodePtr.h"
#include "NodeTree/NodeSerializer.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace Halyard::Interfaces;

namespace {

struct Options {
    std::wstring channel = L"Application";
    std::string module;
    std::string requests;
};

std::wstring Widen(const std::string& text) {
    std::wstring out;
    for (unsigned char c : text) {
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

std::string ModuleBesideHost() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string self(path, length > 0 ? static_cast<size_t>(length) : 0);
    return self.substr(0, self.rfind('/') + 1) + "Corvane.so";
}

bool ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--channel" && hasValue) {
            options.channel = Widen(argv[++i]);
        } else if (arg == "--module" && hasValue) {
            options.module = argv[++i];
        } else if (arg == "--requests" && hasValue) {
            options.requests = argv[++i];
        } else {
            std::cerr << "usage: HalyardHost [--channel NAME] [--module PATH] [--requests FILE]\n";
            return false;
        }
    }
    if (options.module.empty()) {
        options.module = ModuleBesideHost();
    }
    return true;
}

// One request from a line of the request file.
EkNodePtr ParseRequest(const std::string& line) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    const EkNodePtr request = EkNodePtr::CreateNode(Widen(name).c_str(), nullptr);
    std::string pair;
    while (words >> pair) {
        const size_t equals = pair.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::wstring key = Widen(pair.substr(0, equals));
        const std::string value = pair.substr(equals + 1);
        char* end = nullptr;
        const long long number = std::strtoll(value.c_str(), &end, 10);
        if (!value.empty() && *end == '\0') {
            request.SetAttribute(key.c_str(), static_cast<int64_t>(number));
        } else if (value == "true" || value == "false") {
            request.SetAttribute(key.c_str(), value == "true");
        } else {
            request.SetAttribute(key.c_str(), Widen(value));
        }
    }
    return request;
}

std::vector<EkNodePtr> DefaultRequests() {
    std::vector<EkNodePtr> requests;
    for (const char* line : {"GetPublishersRequest", "CountEventsRequest", "CreateSessionRequest",
                             "GetDataRequest Direction=0 EventsCount=10",
                             "GetNewEventsCountRequest", "ReleaseSessionRequest"}) {
        requests.push_back(ParseRequest(line));
    }
    return requests;
}

void Print(const EkNodePtr& node) {
    std::cout << SerializeNodesToText(&node, 1, 0x101, EKN_DEPTH_ALL) << "\n";
}

int Run(const Options& options) {
    void* library = dlopen(options.module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::cerr << "cannot load the module: " << dlerror() << "\n";
        return 1;
    }
    auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
        dlsym(library, "GetComponentsModuleObject"));
    IModule* module = nullptr;
    if (getModule == nullptr || getModule(&module) != S_OK) {
        std::cerr << "the module has no module object\n";
        return 1;
    }
    IConfigure* configure = nullptr;
    IProcessRequest* process = nullptr;
    if (module->CreateInstance(&CLSID_Corvane, &IID_Configure,
                               reinterpret_cast<void**>(&configure)) != S_OK ||
        configure->QueryInterface(&IID_ProcessRequest, reinterpret_cast<void**>(&process)) !=
            S_OK) {
        std::cerr << "cannot create the component\n";
        return 1;
    }
    const EkNodePtr config = EkNodePtr::CreateNode(L"Config", nullptr);
    config.SetAttribute(L"LogChannelName", options.channel);
    config.SetAttribute(L"SessionTimeLiveInMin", int64_t{10});
    config.SetAttribute(L"SessionCheckIntervalInSec", int64_t{60});
    config.SetAttribute(L"TimeOutIntervalInSec", int32_t{30});
    const HRESULT configured = configure->Configure(config.Get());
    std::printf("Configure(%ls): 0x%08X\n", options.channel.c_str(),
                static_cast<unsigned>(configured));

    std::vector<EkNodePtr> requests;
    if (options.requests.empty()) {
        requests = DefaultRequests();
    } else {
        std::ifstream file(options.requests);
        std::string line;
        while (std::getline(file, line)) {
            if (!line.empty() && line[0] != '#') {
                requests.push_back(ParseRequest(line));
            }
        }
    }
    GUID session{};
    bool haveSession = false;
    for (const EkNodePtr& request : requests) {
        // Requests of one run share the session that the first response names.
        if (haveSession && !request.HasAttribute(L"SessionId")) {
            request.SetAttribute(L"SessionId", session);
        }
        std::cout << "> ";
        Print(request);
        void* raw = nullptr;
        const HRESULT hr = process->ProcessRequest(request.Get(), &raw);
        if (hr != S_OK) {
            std::printf("ProcessRequest failed: 0x%08X\n", static_cast<unsigned>(hr));
            continue;
        }
        const EkNodePtr response(raw, true);
        if (!haveSession) {
            haveSession = response.GetAttribute(L"SessionId", session);
        }
        std::cout << "< ";
        Print(response);
    }
    process->Release();
    configure->Release();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        return 2;
    }
    try {
        return Run(options);
    } catch (const HRES& failure) {
        std::fprintf(stderr, "failed: 0x%08X\n", static_cast<unsigned>(failure.Code()));
        return 1;
    }
}
