// The test store of a test program of its own: the store's files copied into a folder of the
// process's own, so that the events a test writes and the files it damages are there and nowhere
// else; removed when the process ends. Made before the first Event Log call of the program.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

struct ProcessStore {
    std::filesystem::path folder;

    ProcessStore() {
        namespace fs = std::filesystem;
        folder = fs::temp_directory_path() / ("corvane-tests-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        for (const auto& entry : fs::directory_iterator(CORVANE_TEST_STORE)) {
            // Only the event files: other test programs keep the store's cache beside them.
            if (!entry.is_regular_file()) {
                continue;
            }
            fs::copy_file(entry.path(), folder / entry.path().filename());
        }
        ::setenv("PAL_EVENTLOG_DIR", folder.c_str(), 1);
        ::setenv("PAL_EVENTLOG_POLL_MS", "0", 1);
        ::setenv("PAL_EVENTLOG_CACHE", "0", 1);
    }
    ~ProcessStore() {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
    ProcessStore(const ProcessStore&) = delete;
    ProcessStore& operator=(const ProcessStore&) = delete;
};
