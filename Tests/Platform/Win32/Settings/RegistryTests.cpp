#include "Platform.h"
#include "Platform/Win32/TempDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::string Utf16Hex(const std::wstring& text) {
    std::string hex;
    char piece[8];
    for (wchar_t c : text) {
        std::snprintf(piece, sizeof(piece), "%02x,%02x,", static_cast<unsigned>(c & 0xFF),
                      static_cast<unsigned>(c >> 8));
        hex += piece;
    }
    return hex + "00,00";
}

class Registry : public ::testing::Test {
protected:
    void Use(const std::string& bytes) {
        m_dir.Write("test.reg", bytes);
        ::setenv("PAL_REGISTRY_FILE", (m_dir.Path() / "test.reg").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("PAL_REGISTRY_FILE"); }

    std::wstring String(HKEY key, const wchar_t* name, DWORD expectedType = REG_SZ) {
        DWORD type = 0;
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, expectedType);
        std::wstring text(size / sizeof(WCHAR), L'\0');
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                                   &size),
                  ERROR_SUCCESS);
        return text.c_str();
    }

    TempDirectory m_dir;
};

const char* const kExport = "Windows Registry Editor Version 5.00\r\n"
                            "\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halyard\\Overrides]\r\n"
                            "@=\"C:\\\\Root\"\r\n"
                            "\"Logs\"=\"D:\\\\Logs \\\"quoted\\\"\"\r\n"
                            "\"Count\"=dword:0000001f\r\n";

} // namespace

// No file named, a folder in its place, a file that is missing: each is an empty registry.
TEST_F(Registry, NoOrAnUnreadableFileIsAnEmptyRegistry) {
    for (const std::string& file :
         {std::string(), m_dir.Path().string(), (m_dir.Path() / "missing.reg").string()}) {
        if (file.empty()) {
            ::unsetenv("PAL_REGISTRY_FILE");
        } else {
            ::setenv("PAL_REGISTRY_FILE", file.c_str(), 1);
        }
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key),
                  ERROR_FILE_NOT_FOUND)
            << file;
        EXPECT_EQ(key, nullptr);
    }
}

// Names and paths in any case; strings with their escapes, a DWORD, the default value.
TEST_F(Registry, ReadsStringsDwordsAndTheDefaultValue) {
    Use(kExport);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\HALYARD\\Overrides", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(String(key, L"logs"), L"D:\\Logs \"quoted\"");
    EXPECT_EQ(String(key, nullptr), L"C:\\Root");
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    EXPECT_EQ(
        RegQueryValueExW(key, L"Count", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(value, 31u);
    EXPECT_EQ(RegQueryValueExW(key, L"Absent", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    // A buffer too small gets ERROR_MORE_DATA and the size: "C:\Root" and the null.
    WCHAR small[2];
    size = sizeof(small);
    EXPECT_EQ(
        RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, 8 * sizeof(WCHAR));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), static_cast<LSTATUS>(ERROR_INVALID_HANDLE));
}

TEST_F(Registry, IntermediateKeysExistAndOtherRootsDoNot) {
    Use(kExport);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, L"Halyard\\Overrides", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Halyard", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, EnumeratesInFileOrderAndReportsLongNames) {
    Use(kExport);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Halyard\\Overrides", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[3];
        DWORD length = 3;
        DWORD type = 0;
        LSTATUS status = RegEnumValueW(key, i, name, &length, nullptr, &type, nullptr, nullptr);
        if (status == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS)) {
            break;
        }
        if (status == static_cast<LSTATUS>(ERROR_MORE_DATA)) {
            std::wstring longer(length, L'\0');
            ASSERT_EQ(
                RegEnumValueW(key, i, longer.data(), &length, nullptr, &type, nullptr, nullptr),
                ERROR_SUCCESS);
            names.push_back(longer.substr(0, length));
            continue;
        }
        ASSERT_EQ(status, ERROR_SUCCESS);
        names.emplace_back(name, length);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"", L"Logs", L"Count"}));
    RegCloseKey(key);
}

TEST_F(Registry, Utf16ExportWithExpandStringsAndContinuationLines) {
    ::setenv("W32S_REG_ROOT", "/srv", 1);
    const std::string hex = Utf16Hex(L"%W32S_REG_ROOT%\\Logs");
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n"
                             "\"Dir\"=hex(2):" +
                             hex.substr(0, 30) + "\\\r\n  " + hex.substr(30) + "\r\n";
    std::string utf16 = "\xFF\xFE";
    for (unsigned char c : text) {
        utf16 += static_cast<char>(c);
        utf16 += '\0';
    }
    Use(utf16);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(String(key, L"Dir", REG_EXPAND_SZ), L"%W32S_REG_ROOT%\\Logs");
    WCHAR expanded[64];
    DWORD size = sizeof(expanded);
    DWORD type = 0;
    EXPECT_EQ(RegGetValueW(key, nullptr, L"Dir", RRF_RT_REG_SZ, &type, expanded, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(expanded, L"/srv\\Logs");
    RegCloseKey(key);
}

TEST_F(Registry, FileWithoutHeaderIsEmptyAndChangesAreSeen) {
    Use("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"A\"=\"1\"\n");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    Use("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"A\"=\"1\"\n");
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(String(key, L"A"), L"1");
    RegCloseKey(key);
}
