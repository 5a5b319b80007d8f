// The sockets of the host's own HTTP connections, looked at and shut down from outside the HTTP
// server, which keeps serving them on its own threads.
#pragma once

namespace HalyardHost {

// True when the peer has closed its side of the connection.
bool PeerClosed(int socket);
// Shuts both directions of the connection down, so that the server's next read or write on it
// fails and the server closes it.
void ShutDownConnection(int socket);

} // namespace HalyardHost
