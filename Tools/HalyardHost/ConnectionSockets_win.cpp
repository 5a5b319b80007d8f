#include "ConnectionSockets.h"

namespace HalyardHost {

// Windows: the host does not look for its connections' sockets; a request whose client went away
// runs to its end.
int FindConnectionSocket(const std::string&, int, int) {
    return -1;
}

bool PeerClosed(int) {
    return false;
}

} // namespace HalyardHost
