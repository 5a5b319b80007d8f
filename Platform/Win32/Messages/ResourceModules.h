// Data-file modules: PE files that LoadLibraryExW loaded for their resources. Internal to
// libPalWin32.
#pragma once

#include "PalWin32/Messages/PeImage.h"

#include <memory>
#include <string>

namespace Pal {

struct ResourceModule {
    std::wstring path;
    PeImage image;
};

// The module a handle from LoadLibraryExW refers to; null for any other handle.
std::shared_ptr<const ResourceModule> FindResourceModule(HMODULE module);

// Reads and validates a PE file; null with the Win32 error code when it cannot be used.
std::shared_ptr<ResourceModule> ReadResourceModule(const std::wstring& path, DWORD& error);

} // namespace Pal
