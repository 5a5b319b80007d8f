#include "ConnectionSockets.h"

namespace HalyardHost {

// Windows: the host does not serve HTTP there (the HTTP server is a Linux library here).
bool PeerClosed(int) {
    return false;
}

void ShutDownConnection(int) {}

} // namespace HalyardHost
