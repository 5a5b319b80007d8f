// The Windows build of the host has no HTTP library (Debian's cpp-httplib is a Linux library):
// serving the module and the --url client need the Linux build. Both say so and fail.
#include "HttpModes.h"

#include <iostream>

namespace HalyardHost {

namespace {

int NeedsTheLinuxBuild(const char* what) {
    std::cerr << what
              << " needs the HTTP library, which this Windows build of HalyardHost lacks: use the "
                 "Linux build for it, or here walk, or request without --url\n";
    return 2;
}

} // namespace

int ServeModule(const std::vector<ServedChannel>&, const ServeOptions&) {
    return NeedsTheLinuxBuild("serving the module over HTTP");
}

int SendToHost(const std::string&, const std::string&, const std::string&) {
    return NeedsTheLinuxBuild("sending a request to a running host (--url)");
}

} // namespace HalyardHost
