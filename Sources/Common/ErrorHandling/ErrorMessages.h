// Message texts of HRESULTs from the system's message table and the host family's message modules,
// cached for the life of the module.
#pragma once

#include "Platform.h"

#include <string>

// The message text of a code: the host family's codes from the primary message modules, then the
// code and, for Win32 codes, its low word from the system table and the fallback modules;
// "<no description>" when none has it. Trailing blanks, periods, CR and LF are removed.
std::wstring GetErrorMessage(HRESULT code);

// Looks a message up in one module (null: the system table) through FormatMessageW; false when
// no language has it.
bool LookupMessage(HMODULE module, DWORD messageId, std::wstring& text);
