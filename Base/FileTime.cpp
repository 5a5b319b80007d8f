#include "Base/FileTime.h"

#include <chrono>

namespace Base {

uint64_t FileTimeNow() noexcept {
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, kFileTimeTicksPerSecond>>;
    const auto sinceEpoch =
        std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch());
    return kUnixEpochFileTime + static_cast<uint64_t>(sinceEpoch.count());
}

} // namespace Base
