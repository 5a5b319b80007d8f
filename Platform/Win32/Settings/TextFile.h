// Reading a whole text file as Windows tools write them. Internal to libPalWin32.
#pragma once

#include "Win32/WinTypes.h"

#include <string>

namespace Pal {

// Reads the file at a native path: UTF-16LE with a byte-order mark, UTF-8 with or without one.
// False with a Win32 error code when it cannot be read.
bool ReadTextFile(const std::string& path, std::wstring& text, DWORD& error);

// Compares two texts without regard to case (simple per-character folding).
bool EqualsNoCase(const std::wstring& a, const std::wstring& b) noexcept;

} // namespace Pal
