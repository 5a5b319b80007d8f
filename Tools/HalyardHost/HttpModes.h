// The host's modes that need the HTTP libraries: serving a loaded module (libmicrohttpd), and
// sending one request to a running host (cpp-httplib's client). Both are Linux libraries here, so
// the Windows build has neither mode (HttpModes_win.cpp); walk and request straight to the module
// work on both.
#pragma once

#include "HttpApi.h"
#include "ModuleHost.h"

#include <string>
#include <vector>

namespace HalyardHost {

// Serves the configured components over HTTP until Ctrl-C or a termination request; the exit
// code.
int ServeModule(const std::vector<ServedChannel>& channels, const ServeOptions& options);
// Sends one request (JSON) to the host at `url`, prints the response; the exit code.
int SendToHost(const std::string& url, const std::string& token, const std::string& body);

} // namespace HalyardHost
