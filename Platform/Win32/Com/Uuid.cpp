// Random (version 4) UUIDs from the kernel's random source.
#include "Win32/Rpc.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

RPC_STATUS WINAPI UuidCreate(UUID* uuid) {
    if (uuid == nullptr) {
        return RPC_S_INVALID_ARG;
    }
    unsigned char bytes[sizeof(UUID)];
    size_t filled = 0;
    while (filled < sizeof(bytes)) {
        const ssize_t n = getrandom(bytes + filled, sizeof(bytes) - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return RPC_S_UUID_NO_ADDRESS;
        }
        filled += static_cast<size_t>(n);
    }
    std::memcpy(uuid, bytes, sizeof(UUID));
    uuid->Data3 = static_cast<uint16_t>((uuid->Data3 & 0x0FFF) | 0x4000);  // version 4
    uuid->Data4[0] = static_cast<uint8_t>((uuid->Data4[0] & 0x3F) | 0x80); // RFC 4122 variant
    return RPC_S_OK;
}
