// Module handles of shared objects, shared by the core and the message-table functions.
// Internal to libPalWin32.
#pragma once

#include "Win32/WinTypes.h"

#include <string>

namespace Pal {

// Drops one reference that GetModuleHandleExW took on a shared object; false when the handle
// holds no such reference.
bool ReleaseNativeModule(HMODULE module) noexcept;

// The path of a data-file module that LoadLibraryExW loaded; false for any other handle.
bool ResourceModulePath(HMODULE module, std::wstring& path);

// The directory, with its final "/", of the shared object that contains this library.
std::wstring OwnDirectory();

} // namespace Pal
