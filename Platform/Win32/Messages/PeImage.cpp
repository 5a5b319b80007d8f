#include "PalWin32/Messages/PeImage.h"

#include "Base/Utf.h"

#include "Win32/WinBase.h"

#include <cstring>

namespace Pal {

namespace {

constexpr WORD kUserDefaultLanguage = 0x0409;

// Little-endian reads that fail instead of reading past the end.
bool Read16(std::span<const uint8_t> bytes, size_t offset, uint16_t& value) noexcept {
    if (offset > bytes.size() || bytes.size() - offset < 2) {
        return false;
    }
    value = static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
    return true;
}

bool Read32(std::span<const uint8_t> bytes, size_t offset, uint32_t& value) noexcept {
    if (offset > bytes.size() || bytes.size() - offset < 4) {
        return false;
    }
    value = static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
            (static_cast<uint32_t>(bytes[offset + 2]) << 16) |
            (static_cast<uint32_t>(bytes[offset + 3]) << 24);
    return true;
}

struct DirectoryEntry {
    uint32_t name;   // identifier, or a string offset when the high bit is set
    uint32_t target; // subdirectory offset when the high bit is set, else a data entry offset
};

constexpr uint32_t kHighBit = 0x80000000u;

// The entries of one resource directory; false when the directory does not fit.
bool ReadDirectory(std::span<const uint8_t> resources, uint32_t offset,
                   std::vector<DirectoryEntry>& entries) {
    uint16_t named = 0;
    uint16_t ids = 0;
    if (!Read16(resources, size_t{offset} + 12, named) ||
        !Read16(resources, size_t{offset} + 14, ids)) {
        return false;
    }
    const size_t count = size_t{named} + ids;
    const size_t first = size_t{offset} + 16;
    if (first > resources.size() || (resources.size() - first) / 8 < count) {
        return false;
    }
    entries.clear();
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        DirectoryEntry entry{};
        Read32(resources, first + i * 8, entry.name);
        Read32(resources, first + i * 8 + 4, entry.target);
        entries.push_back(entry);
    }
    return true;
}

// The subdirectory that an identified entry leads to.
enum class Lookup { Found, Missing, Malformed };

Lookup FindSubdirectory(std::span<const uint8_t> resources, uint32_t directory, WORD id,
                        uint32_t& subdirectory) {
    std::vector<DirectoryEntry> entries;
    if (!ReadDirectory(resources, directory, entries)) {
        return Lookup::Malformed;
    }
    for (const DirectoryEntry& entry : entries) {
        if ((entry.name & kHighBit) == 0 && entry.name == id) {
            if ((entry.target & kHighBit) == 0) {
                return Lookup::Malformed;
            }
            subdirectory = entry.target & ~kHighBit;
            return Lookup::Found;
        }
    }
    return Lookup::Missing;
}

wchar_t FromCodePage1252(uint8_t byte) noexcept {
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    return byte >= 0x80 && byte < 0xA0 ? static_cast<wchar_t>(kHigh[byte - 0x80])
                                       : static_cast<wchar_t>(byte);
}

// The text of a message entry up to its first NUL.
std::wstring DecodeUtf16Le(std::span<const uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    size_t end = 0;
    while (end + 1 < text.size() && (text[end] != '\0' || text[end + 1] != '\0')) {
        end += 2;
    }
    return Base::WideFromUtf16Le(text.substr(0, end));
}

std::wstring DecodeUtf8(std::span<const uint8_t> bytes) {
    const auto* begin = reinterpret_cast<const char*>(bytes.data());
    return Base::WideFromUtf8(std::string_view(begin, strnlen(begin, bytes.size())));
}

} // namespace

DWORD PeImage::Load(std::vector<uint8_t> bytes) {
    const std::span<const uint8_t> file(bytes);
    uint16_t magic = 0;
    uint32_t peOffset = 0;
    uint32_t signature = 0;
    if (!Read16(file, 0, magic) || magic != 0x5A4D || !Read32(file, 0x3C, peOffset) ||
        !Read32(file, peOffset, signature) || signature != 0x00004550) {
        return ERROR_BAD_EXE_FORMAT;
    }
    const size_t fileHeader = size_t{peOffset} + 4;
    uint16_t sectionCount = 0;
    uint16_t optionalSize = 0;
    if (!Read16(file, fileHeader + 2, sectionCount) ||
        !Read16(file, fileHeader + 16, optionalSize)) {
        return ERROR_BAD_EXE_FORMAT;
    }
    const size_t optional = fileHeader + 20;
    uint16_t optionalMagic = 0;
    if (!Read16(file, optional, optionalMagic) || optional + optionalSize > file.size()) {
        return ERROR_BAD_EXE_FORMAT;
    }
    size_t directoryCountOffset = 0;
    if (optionalMagic == 0x10B) {
        directoryCountOffset = 92;
    } else if (optionalMagic == 0x20B) {
        directoryCountOffset = 108;
    } else {
        return ERROR_BAD_EXE_FORMAT;
    }
    uint32_t directoryCount = 0;
    if (directoryCountOffset + 4 > optionalSize ||
        !Read32(file, optional + directoryCountOffset, directoryCount) ||
        (optionalSize - directoryCountOffset - 4) / 8 < directoryCount) {
        return ERROR_BAD_EXE_FORMAT;
    }
    uint32_t resourceRva = 0;
    if (directoryCount > 2) {
        Read32(file, optional + directoryCountOffset + 4 + 2 * 8, resourceRva);
    }
    const size_t sectionTable = optional + optionalSize;
    if (sectionTable > file.size() || (file.size() - sectionTable) / 40 < sectionCount) {
        return ERROR_BAD_EXE_FORMAT;
    }
    std::vector<Section> sections;
    sections.reserve(sectionCount);
    for (size_t i = 0; i < sectionCount; ++i) {
        const size_t header = sectionTable + i * 40;
        Section section{};
        Read32(file, header + 8, section.virtualSize);
        Read32(file, header + 12, section.virtualAddress);
        Read32(file, header + 16, section.rawSize);
        Read32(file, header + 20, section.rawOffset);
        // Raw data cut short by the end of the file is read only as far as the file goes.
        if (section.rawSize != 0 && section.rawOffset >= file.size()) {
            return ERROR_BAD_EXE_FORMAT;
        }
        section.rawSize = static_cast<uint32_t>(std::min<size_t>(
            section.rawSize, file.size() - std::min<size_t>(section.rawOffset, file.size())));
        sections.push_back(section);
    }
    m_bytes = std::move(bytes);
    m_sections = std::move(sections);
    m_resourceRva = resourceRva;
    m_resources = {};
    if (resourceRva != 0) {
        // The directory reaches at most to the end of the section that holds it.
        for (const Section& section : m_sections) {
            if (resourceRva >= section.virtualAddress &&
                resourceRva - section.virtualAddress < section.rawSize) {
                const uint32_t start = section.rawOffset + (resourceRva - section.virtualAddress);
                m_resources = std::span<const uint8_t>(m_bytes).subspan(
                    start, section.rawSize - (resourceRva - section.virtualAddress));
                break;
            }
        }
    }
    return ERROR_SUCCESS;
}

std::span<const uint8_t> PeImage::MapRva(uint32_t rva, uint32_t size) const {
    for (const Section& section : m_sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < section.rawSize &&
            section.rawSize - (rva - section.virtualAddress) >= size) {
            return std::span<const uint8_t>(m_bytes).subspan(
                section.rawOffset + (rva - section.virtualAddress), size);
        }
    }
    return {};
}

DWORD PeImage::FindResource(WORD type, WORD name, LANGID language,
                            std::span<const uint8_t>& data) const {
    data = {};
    if (m_resources.empty()) {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    uint32_t names = 0;
    switch (FindSubdirectory(m_resources, 0, type, names)) {
    case Lookup::Found:
        break;
    case Lookup::Missing:
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    case Lookup::Malformed:
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    uint32_t languages = 0;
    switch (FindSubdirectory(m_resources, names, name, languages)) {
    case Lookup::Found:
        break;
    case Lookup::Missing:
        return ERROR_RESOURCE_NAME_NOT_FOUND;
    case Lookup::Malformed:
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    std::vector<DirectoryEntry> entries;
    if (!ReadDirectory(m_resources, languages, entries)) {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    // Candidates in the order of the search; a specific language is the only candidate.
    std::vector<uint32_t> wanted;
    if (language != 0) {
        wanted = {language};
    } else {
        wanted = {0, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), kUserDefaultLanguage,
                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
    }
    const DirectoryEntry* chosen = nullptr;
    for (const uint32_t candidate : wanted) {
        for (const DirectoryEntry& entry : entries) {
            if (entry.name == candidate) {
                chosen = &entry;
                break;
            }
        }
        if (chosen != nullptr) {
            break;
        }
    }
    if (chosen == nullptr && language == 0 && !entries.empty()) {
        chosen = &entries.front();
    }
    if (chosen == nullptr) {
        return ERROR_RESOURCE_LANG_NOT_FOUND;
    }
    uint32_t dataRva = 0;
    uint32_t dataSize = 0;
    if ((chosen->target & kHighBit) != 0 || !Read32(m_resources, chosen->target, dataRva) ||
        !Read32(m_resources, size_t{chosen->target} + 4, dataSize)) {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    data = MapRva(dataRva, dataSize);
    return data.size() == dataSize && dataSize != 0 ? ERROR_SUCCESS : ERROR_RESOURCE_DATA_NOT_FOUND;
}

DWORD FindMessage(std::span<const uint8_t> table, DWORD messageId, std::wstring& text) {
    uint32_t blockCount = 0;
    if (!Read32(table, 0, blockCount) || (table.size() - 4) / 12 < blockCount) {
        return ERROR_INVALID_DATA;
    }
    for (size_t block = 0; block < blockCount; ++block) {
        uint32_t low = 0;
        uint32_t high = 0;
        uint32_t offset = 0;
        Read32(table, 4 + block * 12, low);
        Read32(table, 8 + block * 12, high);
        Read32(table, 12 + block * 12, offset);
        if (messageId < low || messageId > high) {
            continue;
        }
        size_t position = offset;
        // Each entry is at least its 4-byte header long, so the walk ends within the table.
        for (uint32_t index = low;; ++index) {
            uint16_t length = 0;
            uint16_t flags = 0;
            if (!Read16(table, position, length) || !Read16(table, position + 2, flags) ||
                length < 4 || table.size() - position < length) {
                return ERROR_INVALID_DATA;
            }
            if (index == messageId) {
                const auto body = table.subspan(position + 4, length - 4u);
                if ((flags & 0x0001) != 0) {
                    text = DecodeUtf16Le(body);
                } else if ((flags & 0x0002) != 0) {
                    text = DecodeUtf8(body);
                } else {
                    text.clear();
                    for (const uint8_t byte : body) {
                        if (byte == 0) {
                            break;
                        }
                        text += FromCodePage1252(byte);
                    }
                }
                return ERROR_SUCCESS;
            }
            position += length;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;
}

} // namespace Pal
