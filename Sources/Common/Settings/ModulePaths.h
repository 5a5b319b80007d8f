// Where this module and the process's executable live, and helpers to take paths apart.
#pragma once

#include "Platform.h"

#include <string>

namespace Settings {

// The module that holds this code (the host family module, or the program it is linked into).
HMODULE ThisModule() noexcept;
// Full path of this module's file; empty when it cannot be found.
std::wstring ThisModulePath();
// Full path of the process's executable; empty when it cannot be found.
std::wstring ExecutablePath();

// The directory of a path, up to and including its last "\" or "/"; empty when it has none.
std::wstring DirectoryOf(const std::wstring& path);
// The file name of a path without directory and extension.
std::wstring FileStem(const std::wstring& path);

} // namespace Settings
