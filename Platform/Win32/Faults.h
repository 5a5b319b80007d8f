// The fault table behind PalWin32Faults.h. Internal to libPalWin32.
#pragma once

#include <string_view>

namespace Pal {

// Consumes one call of `function`: true, with the last error set, when an injected fault is due
// and the call is to fail.
bool Injected(std::string_view function);

} // namespace Pal
