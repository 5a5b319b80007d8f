#include "Support/TestPlatform.h"

namespace TestPlatform {

bool IsWindows() noexcept {
    return false;
}

bool IsWine() noexcept {
    return false;
}

} // namespace TestPlatform
