#include "PeBuilder.h"
#include "Platform.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using PeBuilder::Put16;
using PeBuilder::Put32;

constexpr DWORD kAsResources = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

std::vector<uint8_t> SampleFile(bool pe32Plus = true) {
    return PeBuilder::BuildFile({{0x0409,
                                  {PeBuilder::Utf16(1, u"One\r\n"), PeBuilder::Utf16(2, u"Two\r\n"),
                                   PeBuilder::Ansi(0x80040513, "Three\r\n")}}},
                                pe32Plus);
}

// Loads a file and, when that works, looks up every message it might hold; the point is that
// neither step reads outside the file (the sanitizers watch) and failures are clean.
DWORD Exercise(const std::wstring& path) {
    SetLastError(ERROR_SUCCESS);
    const HMODULE module = LoadLibraryExW(path.c_str(), nullptr, kAsResources);
    if (module == nullptr) {
        const DWORD error = GetLastError();
        EXPECT_NE(error, ERROR_SUCCESS);
        return error;
    }
    for (const DWORD id : {1u, 2u, 3u, 0x80040513u}) {
        LPWSTR buffer = nullptr;
        if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_FROM_HMODULE,
                           module, id, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr) != 0) {
            LocalFree(buffer);
        } else {
            EXPECT_NE(GetLastError(), ERROR_SUCCESS);
        }
    }
    EXPECT_TRUE(FreeLibrary(module));
    return ERROR_SUCCESS;
}

std::wstring FormatFrom(HMODULE module, DWORD id) {
    LPWSTR buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_FROM_HMODULE,
                       module, id, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text(buffer == nullptr ? L"" : buffer, length);
    LocalFree(buffer);
    return text;
}

} // namespace

TEST(LoadLibraryExW, LoadsPe32PlusAndPe32AsData) {
    for (const bool pe32Plus : {true, false}) {
        const PeBuilder::TempFile file(SampleFile(pe32Plus));
        const HMODULE module = LoadLibraryExW(file.Path().c_str(), nullptr, kAsResources);
        ASSERT_NE(module, nullptr) << GetLastError();
        // Loaded as image resource: the handle's low bits say so, as on Windows.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(module) & 3, 2u);
        EXPECT_EQ(FormatFrom(module, 2), L"Two\r\n");
        EXPECT_EQ(FormatFrom(module, 0x80040513), L"Three\r\n");
        wchar_t path[4096];
        const DWORD length = GetModuleFileNameW(module, path, 4096);
        EXPECT_EQ(std::wstring(path, length), file.Path());
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST(LoadLibraryExW, DataFileFlagAloneTagsLowBit) {
    const PeBuilder::TempFile file(SampleFile());
    const HMODULE module = LoadLibraryExW(file.Path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(module) & 3, 1u);
    EXPECT_EQ(FormatFrom(module, 1), L"One\r\n");
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(LoadLibraryExW, FailsWithWindowsCodes) {
    // A missing data file is ERROR_FILE_NOT_FOUND wherever it is missing from (as Windows and
    // Wine give it), not the ERROR_MOD_NOT_FOUND of a code load.
    const PeBuilder::TempFile file(SampleFile());
    for (const std::wstring& missing :
         {std::wstring(L"/nonexistent/dir/Missing.dll"), std::wstring(L"NoSuchMessages"),
          file.Path() + L".absent.dll", file.Path() + L"/under-a-file.dll"}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(LoadLibraryExW(missing.c_str(), nullptr, kAsResources), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << missing;
    }
    // A folder (named with a final "." for "no extension", else ".dll" is added).
    const std::wstring folder = PeBuilder::BinDirectory();
    EXPECT_EQ(
        LoadLibraryExW((folder.substr(0, folder.size() - 1) + L".").c_str(), nullptr, kAsResources),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    EXPECT_EQ(LoadLibraryExW(file.Path().c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(LoadLibraryExW(nullptr, nullptr, kAsResources), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    const PeBuilder::TempFile text(std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}, "text.dll");
    EXPECT_EQ(LoadLibraryExW(text.Path().c_str(), nullptr, kAsResources), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
}

TEST(LoadLibraryExW, FindsBareNamesBesideTheExecutableAndAddsDll) {
    const HMODULE module = LoadLibraryExW(L"Ravelin", nullptr, kAsResources);
    ASSERT_NE(module, nullptr) << GetLastError();
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(module, path, 4096);
    EXPECT_EQ(std::wstring(path, length), PeBuilder::BinDirectory() + L"Ravelin.dll");
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(FreeLibrary, RejectsUnknownAndFreedHandles) {
    const PeBuilder::TempFile file(SampleFile());
    const HMODULE module = LoadLibraryExW(file.Path().c_str(), nullptr, kAsResources);
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(0xDEADBEEF)));
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST(MalformedPe, TruncatedFilesFailCleanly) {
    const std::vector<uint8_t> whole = SampleFile();
    const PeBuilder::TempFile file(whole);
    for (size_t length = 0; length < whole.size(); length += 3) {
        file.Write(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(length)));
        const DWORD error = Exercise(file.Path());
        if (length < PeBuilder::kResourceFileOffset) {
            EXPECT_EQ(error, ERROR_BAD_EXE_FORMAT) << length;
        }
    }
}

TEST(MalformedPe, BadHeaderFieldsGiveBadExeFormat) {
    struct Damage {
        size_t offset;
        uint32_t value;
        bool wide;
    };
    const size_t optional = PeBuilder::kPeOffset + 24;
    const size_t section = optional + 240;
    const Damage damages[] = {
        {0x3C, 0xFFFFFFF0, true},                   // PE header beyond the file
        {PeBuilder::kPeOffset, 0x00004551, true},   // wrong signature
        {optional, 0x010C, false},                  // unknown optional-header magic
        {PeBuilder::kPeOffset + 6, 0xFFFF, false},  // more sections than the file holds
        {PeBuilder::kPeOffset + 20, 0xFFF0, false}, // optional header beyond the file
        {optional + 108, 0x10000000, true},         // more data directories than fit
        {section + 20, 0x7FFFFFFF, true},           // section data beyond the file
    };
    for (const Damage& damage : damages) {
        std::vector<uint8_t> bytes = SampleFile();
        if (damage.wide) {
            Put32(bytes, damage.offset, damage.value);
        } else {
            Put16(bytes, damage.offset, damage.value);
        }
        const PeBuilder::TempFile file(bytes);
        EXPECT_EQ(Exercise(file.Path()), ERROR_BAD_EXE_FORMAT) << std::hex << damage.offset;
    }
}

TEST(MalformedPe, ResourceDirectoryLoopsAndBadOffsetsAreRefused) {
    const size_t r = PeBuilder::kResourceFileOffset;
    struct Damage {
        size_t offset;
        uint32_t value;
        DWORD expected;
    };
    const Damage damages[] = {
        {r + 20, 0x80000000, ERROR_RESOURCE_NAME_NOT_FOUND},        // type entry points at the root
        {r + 0x18 + 20, 0x80000000, ERROR_RESOURCE_DATA_NOT_FOUND}, // name entry back to the root
        {r + 0x30 + 20, 0x80000030, ERROR_RESOURCE_DATA_NOT_FOUND}, // language entry is a directory
        {r + 20, 0x8FFFFFF0, ERROR_RESOURCE_DATA_NOT_FOUND},        // subdirectory beyond the data
        {r + 14, 0xFFFF, ERROR_RESOURCE_DATA_NOT_FOUND},            // more entries than fit
        {r + 0x30 + 20, 0x7FFFFFF0, ERROR_RESOURCE_DATA_NOT_FOUND}, // data entry beyond the data
        {r + 0x48, 0x7FFFFFF0, ERROR_RESOURCE_DATA_NOT_FOUND},      // data RVA outside any section
        {r + 0x4C, 0x7FFFFFF0, ERROR_RESOURCE_DATA_NOT_FOUND},      // data size beyond the section
    };
    for (const Damage& damage : damages) {
        std::vector<uint8_t> bytes = SampleFile();
        if (damage.offset == r + 14) {
            Put16(bytes, damage.offset, damage.value);
        } else {
            Put32(bytes, damage.offset, damage.value);
        }
        const PeBuilder::TempFile file(bytes);
        const HMODULE module = LoadLibraryExW(file.Path().c_str(), nullptr, kAsResources);
        ASSERT_NE(module, nullptr) << std::hex << damage.offset;
        LPWSTR buffer = nullptr;
        EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 module, 1, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr),
                  0u);
        EXPECT_EQ(GetLastError(), damage.expected) << std::hex << damage.offset;
        FreeLibrary(module);
    }
}

TEST(MalformedPe, BadMessageTablesAreRefused) {
    // The table of SampleFile starts after three directories and one data entry.
    const size_t table = PeBuilder::kResourceFileOffset + 0x30 + 16 + 8 + 16;
    struct Damage {
        size_t offset;
        uint32_t value;
    };
    const Damage damages[] = {
        {table, 0x7FFFFFFF},      // more blocks than the table holds
        {table + 12, 0x7FFFFFF0}, // entries of the first block beyond the table
        {table + 40, 0x00000000}, // first entry of length zero (would never advance)
    };
    for (const Damage& damage : damages) {
        std::vector<uint8_t> bytes = SampleFile();
        Put32(bytes, damage.offset, damage.value);
        const PeBuilder::TempFile file(bytes);
        const HMODULE module = LoadLibraryExW(file.Path().c_str(), nullptr, kAsResources);
        ASSERT_NE(module, nullptr);
        LPWSTR buffer = nullptr;
        EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 module, 1, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr),
                  0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << std::hex << damage.offset;
        FreeLibrary(module);
    }
}

TEST(MalformedPe, RandomDamageNeverReadsOutside) {
    const std::vector<uint8_t> whole = SampleFile();
    const PeBuilder::TempFile file(whole);
    std::mt19937 random(20240601);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes = whole;
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i) {
            // Mostly in the headers and the resources, where the structure is.
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        }
        file.Write(bytes);
        Exercise(file.Path());
    }
}
