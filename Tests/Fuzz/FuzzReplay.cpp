// The main of a fuzz target outside a libFuzzer build: runs the target once over every file named
// on the command line or found under a folder named there, as libFuzzer runs a corpus. A target
// that finds a property broken aborts; reaching the end means every input passed.
#include "FuzzSupport.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

bool RunFile(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(stream),
                                  std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    size_t inputs = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    ok = RunFile(entry.path()) && ok;
                    ++inputs;
                }
            }
        } else if (std::filesystem::exists(path)) {
            ok = RunFile(path) && ok;
            ++inputs;
        }
        // A folder that is not there holds no inputs (a target without regression inputs).
    }
    std::printf("%zu inputs run\n", inputs);
    return ok ? 0 : 1;
}
