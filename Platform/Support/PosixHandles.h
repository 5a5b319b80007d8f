// Owners of the POSIX resources that the Linux stand-ins hold (see Base/UniqueAny.h): a close
// keeps errno, which the stand-ins turn into the last error afterwards.
#pragma once

#include "Base/UniqueAny.h"

#include <cstdlib>
#include <unistd.h>

namespace Pal {

inline void FreeBlock(void* block) noexcept {
    std::free(block);
}

using UniqueFd = Base::UniqueAny<int, &::close, -1>;
using UniqueMallocBlock = Base::UniqueAny<void*, &FreeBlock>;

} // namespace Pal
