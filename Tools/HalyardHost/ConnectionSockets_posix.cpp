#include "ConnectionSockets.h"

#include <poll.h>
#include <sys/socket.h>

namespace HalyardHost {

bool PeerClosed(int socket) {
    pollfd watched{socket, POLLIN | POLLRDHUP, 0};
    if (poll(&watched, 1, 0) <= 0) {
        return false;
    }
    if ((watched.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return true;
    }
    // Readable: either the next request of a kept-alive connection, or the end of the stream.
    char byte = 0;
    return recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void ShutDownConnection(int socket) {
    shutdown(socket, SHUT_RDWR);
}

} // namespace HalyardHost
