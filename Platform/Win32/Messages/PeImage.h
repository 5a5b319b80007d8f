// A PE file (PE32 or PE32+) read as data: its headers validated, its resources found through
// the resource directory, its message-table resources decoded. Every offset read from the file
// is checked against the file's bounds before use. Internal to libPalWin32.
#pragma once

#include "Win32/WinTypes.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Pal {

class PeImage {
public:
    // Takes the bytes of a file; ERROR_SUCCESS, or ERROR_BAD_EXE_FORMAT when the headers or the
    // section table do not hold together.
    DWORD Load(std::vector<uint8_t> bytes);

    // The data of one resource by type, name and language identifiers. Errors:
    // ERROR_RESOURCE_DATA_NOT_FOUND (no resource directory, or a malformed one),
    // ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND,
    // ERROR_RESOURCE_LANG_NOT_FOUND. Language 0 searches neutral, the user's default language,
    // US English and then any language.
    DWORD FindResource(WORD type, WORD name, LANGID language, std::span<const uint8_t>& data) const;

    // The address that identifies the image's bytes (used for module handles).
    const void* Base() const noexcept { return m_bytes.data(); }

private:
    struct Section {
        uint32_t virtualAddress;
        uint32_t virtualSize;
        uint32_t rawSize;
        uint32_t rawOffset;
    };

    // The file bytes that an RVA range occupies; empty when it lies outside every section.
    std::span<const uint8_t> MapRva(uint32_t rva, uint32_t size) const;

    std::vector<uint8_t> m_bytes;
    std::vector<Section> m_sections;
    std::span<const uint8_t> m_resources; // from the resource directory to its section's end
    uint32_t m_resourceRva = 0;
};

// The text of one message of a message-table resource (MESSAGE_RESOURCE_DATA), decoded from
// UTF-16LE, UTF-8 or the ANSI code page 1252 as its entry's flags say. Errors:
// ERROR_MR_MID_NOT_FOUND when no block holds the identifier, ERROR_INVALID_DATA when the table
// is malformed on the way to it.
DWORD FindMessage(std::span<const uint8_t> table, DWORD messageId, std::wstring& text);

} // namespace Pal
