#include "ConnectionSockets.h"

#include <dirent.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>

namespace HalyardHost {

namespace {

// The port and numeric host text of a socket address, as the HTTP server writes them.
bool Describe(const sockaddr_storage& address, socklen_t length, std::string& host, int& port) {
    char text[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, text, sizeof(text),
                    service, sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return false;
    }
    host = text;
    port = std::atoi(service);
    return true;
}

bool Matches(int socket, const std::string& remoteAddress, int remotePort, int localPort) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    std::string host;
    int port = 0;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        !Describe(address, length, host, port) || port != localPort) {
        return false;
    }
    length = sizeof(address);
    return getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           Describe(address, length, host, port) && port == remotePort && host == remoteAddress;
}

} // namespace

int FindConnectionSocket(const std::string& remoteAddress, int remotePort, int localPort) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(opendir("/proc/self/fd"), closedir);
    if (!folder) {
        return -1;
    }
    while (const dirent* entry = readdir(folder.get())) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || number == dirfd(folder.get())) {
            continue;
        }
        if (Matches(static_cast<int>(number), remoteAddress, remotePort, localPort)) {
            return static_cast<int>(number);
        }
    }
    return -1;
}

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

} // namespace HalyardHost
