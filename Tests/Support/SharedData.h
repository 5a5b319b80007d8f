// The real logs written by Windows that the tests read when they are there: kept outside the
// project (their licences are not ours), in CORVANE_SHARED_DATA's "evtx" folder.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace SharedData {

inline std::filesystem::path EvtxFolder() {
    const char* shared = std::getenv("CORVANE_SHARED_DATA");
    return std::filesystem::path(shared != nullptr ? shared : CORVANE_SHARED_DATA) / "evtx";
}

// Those logs in name order, the damaged ones left out; empty when absent.
inline std::vector<std::filesystem::path> EvtxFiles() {
    const std::filesystem::path folder = EvtxFolder();
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return files;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.path().extension() == ".evtx" &&
            entry.path().parent_path().filename() != "damaged") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace SharedData
