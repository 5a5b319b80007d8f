// The sockets of the host's own HTTP connections, looked at from outside the HTTP server (which
// does not hand them to request handlers).
#pragma once

#include <string>

namespace HalyardHost {

// The socket of this process connected from remoteAddress:remotePort to the local port; -1 when
// none is found (or the platform cannot tell).
int FindConnectionSocket(const std::string& remoteAddress, int remotePort, int localPort);
// True when the peer has closed its side of the connection.
bool PeerClosed(int socket);

} // namespace HalyardHost
