// Builds small PE files with a message-table resource, and writes test files, for the tests of
// LoadLibraryExW and FormatMessageW. Offsets are fixed so that tests can damage chosen fields.
#pragma once

#include "Platform.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace PeBuilder {

struct Message {
    DWORD id;
    std::vector<uint8_t> text; // bytes as stored, NUL included
    WORD flags;                // 1 = UTF-16LE, 0 = ANSI
};

inline Message Utf16(DWORD id, const std::u16string& text) {
    Message m{id, {}, 1};
    for (const char16_t c : text) {
        m.text.push_back(static_cast<uint8_t>(c & 0xFF));
        m.text.push_back(static_cast<uint8_t>(c >> 8));
    }
    m.text.insert(m.text.end(), {0, 0});
    return m;
}

inline Message Ansi(DWORD id, const std::string& text) {
    Message m{id, std::vector<uint8_t>(text.begin(), text.end()), 0};
    m.text.push_back(0);
    return m;
}

struct Table {
    WORD language;
    std::vector<Message> messages;
};

// Where the parts of a built file lie.
constexpr size_t kPeOffset = 0x40;
constexpr size_t kResourceFileOffset = 0x200;
constexpr uint32_t kResourceRva = 0x1000;

inline void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    if (b.size() < at + 2) {
        b.resize(at + 2);
    }
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// The resource section: type 11 / name 1 / one language entry per table, then the data.
inline std::vector<uint8_t> BuildResources(const std::vector<Table>& tables) {
    std::vector<uint8_t> r;
    Put16(r, 14, 1);  // root: one id entry
    Put32(r, 16, 11); // RT_MESSAGETABLE
    Put32(r, 20, 0x80000000u | 0x18);
    Put16(r, 0x18 + 14, 1); // names: one id entry
    Put32(r, 0x18 + 16, 1);
    Put32(r, 0x18 + 20, 0x80000000u | 0x30);
    Put16(r, 0x30 + 14, static_cast<uint32_t>(tables.size()));
    const size_t dataEntries = 0x30 + 16 + tables.size() * 8;
    size_t next = dataEntries + tables.size() * 16;
    for (size_t t = 0; t < tables.size(); ++t) {
        Put32(r, 0x30 + 16 + t * 8, tables[t].language);
        Put32(r, 0x30 + 20 + t * 8, static_cast<uint32_t>(dataEntries + t * 16));
        // One block per message.
        std::vector<uint8_t> data;
        const auto& messages = tables[t].messages;
        Put32(data, 0, static_cast<uint32_t>(messages.size()));
        size_t entry = 4 + messages.size() * 12;
        for (size_t m = 0; m < messages.size(); ++m) {
            Put32(data, 4 + m * 12, messages[m].id);
            Put32(data, 8 + m * 12, messages[m].id);
            Put32(data, 12 + m * 12, static_cast<uint32_t>(entry));
            size_t length = 4 + messages[m].text.size();
            length = (length + 3) & ~size_t{3};
            Put16(data, entry, static_cast<uint32_t>(length));
            Put16(data, entry + 2, messages[m].flags);
            data.resize(entry + length);
            std::memcpy(data.data() + entry + 4, messages[m].text.data(), messages[m].text.size());
            entry += length;
        }
        Put32(r, dataEntries + t * 16, static_cast<uint32_t>(kResourceRva + next));
        Put32(r, dataEntries + t * 16 + 4, static_cast<uint32_t>(data.size()));
        r.resize(next);
        r.insert(r.end(), data.begin(), data.end());
        next = r.size();
    }
    return r;
}

// A whole file: DOS header, PE headers (PE32+ or PE32), one ".rsrc" section.
inline std::vector<uint8_t> BuildFile(const std::vector<Table>& tables, bool pe32Plus = true) {
    const std::vector<uint8_t> resources = BuildResources(tables);
    std::vector<uint8_t> b(kResourceFileOffset);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, kPeOffset);
    Put32(b, kPeOffset, 0x00004550);
    const size_t file = kPeOffset + 4;
    Put16(b, file, pe32Plus ? 0x8664 : 0x14C);
    Put16(b, file + 2, 1);
    const uint32_t optionalSize = pe32Plus ? 240 : 224;
    Put16(b, file + 16, optionalSize);
    Put16(b, file + 18, 0x2022);
    const size_t optional = file + 20;
    Put16(b, optional, pe32Plus ? 0x20B : 0x10B);
    const size_t count = optional + (pe32Plus ? 108 : 92);
    Put32(b, count, 16);
    Put32(b, count + 4 + 2 * 8, kResourceRva);
    Put32(b, count + 4 + 2 * 8 + 4, static_cast<uint32_t>(resources.size()));
    const size_t section = optional + optionalSize;
    std::memcpy(b.data() + section, ".rsrc", 5);
    Put32(b, section + 8, static_cast<uint32_t>(resources.size()));
    Put32(b, section + 12, kResourceRva);
    Put32(b, section + 16, static_cast<uint32_t>(resources.size()));
    Put32(b, section + 20, kResourceFileOffset);
    b.insert(b.end(), resources.begin(), resources.end());
    return b;
}

// A file in the test's temporary folder, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t>& bytes, const std::string& name = "test.dll")
        : m_path(std::filesystem::temp_directory_path() /
                 ("win32tests-" + std::to_string(getpid()) + "-" + name)) {
        Write(bytes);
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Write(const std::vector<uint8_t>& bytes) const {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    std::wstring Path() const { return m_path.wstring(); }

private:
    std::filesystem::path m_path;
};

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The directory of the test program (build/bin), where the message modules lie.
inline std::wstring BinDirectory() {
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    std::wstring result(path, length);
    return result.substr(0, result.find_last_of(L'/') + 1);
}

} // namespace PeBuilder
