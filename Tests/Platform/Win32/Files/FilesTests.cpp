#include "Platform.h"
#include "Platform/Win32/TempDirectory.h"

#include <gtest/gtest.h>

namespace {

HANDLE OpenAppend(const std::wstring& path,
                  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) {
    return CreateFileW(path.c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Write(HANDLE file, const std::string& text) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    EXPECT_EQ(written, text.size());
}

} // namespace

TEST(CreateFileW, OpenAlwaysCreatesThenReportsExisting) {
    TempDirectory dir;
    HANDLE file = OpenAppend(dir.Windows("a.log"));
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    ASSERT_TRUE(CloseHandle(file));
    file = OpenAppend(dir.Windows("a.log"));
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(file);
}

TEST(CreateFileW, MissingFileAndMissingDirectoryHaveTheirWindowsCodes) {
    TempDirectory dir;
    EXPECT_EQ(CreateFileW(dir.Windows("none.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenAppend(dir.Windows("no\\such\\dir.log")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(CreateFileW, AppendHandlesAllWriteAtTheEnd) {
    TempDirectory dir;
    HANDLE first = OpenAppend(dir.Windows("a.log"));
    HANDLE second = OpenAppend(dir.Windows("a.log"));
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    Write(first, "one\n");
    Write(second, "two\n");
    Write(first, "three\n");
    CloseHandle(first);
    CloseHandle(second);
    EXPECT_EQ(dir.Read("a.log"), "one\ntwo\nthree\n");
}

TEST(CreateFileW, ShareModesAreEnforcedWithinTheProcess) {
    TempDirectory dir;
    HANDLE exclusive = OpenAppend(dir.Windows("a.log"), 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenAppend(dir.Windows("a.log")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileW(dir.Windows("a.log").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(exclusive);

    // A reader that does not share writing keeps writers out, and the reverse.
    HANDLE reader = CreateFileW(dir.Windows("a.log").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenAppend(dir.Windows("a.log")), INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    HANDLE writer = OpenAppend(dir.Windows("a.log"));
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileW(dir.Windows("a.log").c_str()));
    CloseHandle(writer);
}

TEST(CreateFileW, RefusedCreateAlwaysLeavesTheContent) {
    TempDirectory dir;
    dir.Write("a.txt", "keep");
    HANDLE holder = CreateFileW(dir.Windows("a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(dir.Windows("a.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                          CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    CloseHandle(holder);
    EXPECT_EQ(dir.Read("a.txt"), "keep");
}

TEST(GetFileInformationByHandle, IdentityFollowsTheFileNotTheName) {
    TempDirectory dir;
    auto identity = [](HANDLE file) {
        BY_HANDLE_FILE_INFORMATION info{};
        EXPECT_TRUE(GetFileInformationByHandle(file, &info));
        return std::tuple(info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
    };
    HANDLE a = OpenAppend(dir.Windows("a.log"));
    HANDLE again = OpenAppend(dir.Windows("a.log"));
    EXPECT_EQ(identity(a), identity(again));
    CloseHandle(again);
    // Replace the file under the same name while the first handle stays open.
    std::filesystem::rename(dir.Path() / "a.log", dir.Path() / "old.log");
    HANDLE replaced = OpenAppend(dir.Windows("a.log"));
    EXPECT_NE(identity(a), identity(replaced));
    CloseHandle(a);
    CloseHandle(replaced);
}

TEST(GetFileSize, ReportsBothHalves) {
    TempDirectory dir;
    HANDLE file = OpenAppend(dir.Windows("a.log"));
    Write(file, std::string(1000, 'x'));
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(file, &high), 1000u);
    EXPECT_EQ(high, 0u);
    CloseHandle(file);
    EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(DuplicateHandle, DuplicateOutlivesTheOriginal) {
    TempDirectory dir;
    HANDLE file = OpenAppend(dir.Windows("a.log"));
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(copy, file);
    ASSERT_TRUE(CloseHandle(file));
    Write(copy, "after");
    ASSERT_TRUE(CloseHandle(copy));
    EXPECT_FALSE(CloseHandle(copy)); // no double close
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(dir.Read("a.log"), "after");
}

TEST(WriteFile, FullDiskIsReported) {
    HANDLE full = CreateFileW(L"\\dev\\full", FILE_APPEND_DATA, 7, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(full, INVALID_HANDLE_VALUE);
    DWORD written = 5;
    EXPECT_FALSE(WriteFile(full, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    CloseHandle(full);
}

TEST(ReadFile, ReadsWhatWasWrittenAndRefusesWriteOnlyHandles) {
    TempDirectory dir;
    dir.Write("a.txt", "hello");
    HANDLE file = CreateFileW(dir.Windows("a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "hello");
    EXPECT_FALSE(WriteFile(file, "x", 1, &read, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(file);
}

TEST(Directories, CreateAndAttributes) {
    TempDirectory dir;
    EXPECT_EQ(GetFileAttributesW(dir.Windows("sub").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(dir.Windows("sub\\deeper").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(CreateDirectoryW(dir.Windows("sub\\deeper").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(CreateDirectoryW(dir.Windows("sub").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(dir.Windows("sub").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileAttributesW(dir.Windows("sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    // A directory cannot be opened as a file.
    EXPECT_EQ(OpenAppend(dir.Windows("sub")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(PathCombineW, JoinsAndCanonicalizes) {
    wchar_t out[MAX_PATH];
    ASSERT_NE(PathCombineW(out, L"C:\\a\\b", L"c.txt"), nullptr);
    EXPECT_STREQ(out, L"C:\\a\\b\\c.txt");
    ASSERT_NE(PathCombineW(out, L"/data/", L"Logs\\x"), nullptr);
    EXPECT_STREQ(out, L"/data/Logs\\x");
    ASSERT_NE(PathCombineW(out, L"C:\\a\\b", L"..\\c"), nullptr);
    EXPECT_STREQ(out, L"C:\\a\\c");
    ASSERT_NE(PathCombineW(out, L"C:\\a", L"D:\\x"), nullptr);
    EXPECT_STREQ(out, L"D:\\x");
    ASSERT_NE(PathCombineW(out, L"C:\\a", L"\\x"), nullptr);
    EXPECT_STREQ(out, L"C:\\x");
    ASSERT_NE(PathCombineW(out, L"C:\\a\\.\\b", nullptr), nullptr);
    EXPECT_STREQ(out, L"C:\\a\\b");
    EXPECT_EQ(PathCombineW(out, L"C:\\a", std::wstring(300, L'x').c_str()), nullptr);
    EXPECT_STREQ(out, L"");
}
