#include "Platform.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

class DebugOutputFile {
public:
    DebugOutputFile()
        : m_path(std::filesystem::temp_directory_path() /
                 ("win32tests-debug-" + std::to_string(getpid()) + ".txt")) {
        std::filesystem::remove(m_path);
        setenv("PAL_DEBUG_OUTPUT", m_path.c_str(), 1);
    }
    ~DebugOutputFile() {
        unsetenv("PAL_DEBUG_OUTPUT");
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    DebugOutputFile(const DebugOutputFile&) = delete;
    DebugOutputFile& operator=(const DebugOutputFile&) = delete;

    std::string Read() const {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

private:
    std::filesystem::path m_path;
};

} // namespace

TEST(OutputDebugStringW, AppendsUtf8ToTheNamedFile) {
    DebugOutputFile file;
    SetLastError(ERROR_NOT_FOUND);
    OutputDebugStringW(L"first line\r\n");
    OutputDebugStringW(L"caf\u00e9 \u20AC\r\n");
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_EQ(file.Read(), "first line\r\ncaf\xC3\xA9 \xE2\x82\xAC\r\n");
}

TEST(OutputDebugStringW, DropsTextWhenUnset) {
    unsetenv("PAL_DEBUG_OUTPUT");
    OutputDebugStringW(L"nowhere\r\n"); // must neither fail nor write
    DebugOutputFile file;
    OutputDebugStringW(nullptr);
    EXPECT_EQ(file.Read(), "");
}

TEST(OutputDebugStringW, LinesOfManyThreadsStayWhole) {
    DebugOutputFile file;
    const std::wstring line = L"[" + std::wstring(200, L'x') + L"]\r\n";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                OutputDebugStringW(line.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string content = file.Read();
    const std::string expected = "[" + std::string(200, 'x') + "]\r\n";
    ASSERT_EQ(content.size(), expected.size() * 800);
    for (size_t at = 0; at < content.size(); at += expected.size()) {
        ASSERT_EQ(content.compare(at, expected.size(), expected), 0) << at;
    }
}
