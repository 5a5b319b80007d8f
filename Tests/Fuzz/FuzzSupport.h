// What the fuzz targets share: the entry points libFuzzer calls, checks of properties that stop
// the run, and the text of the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A target without a set-up of its own leaves LLVMFuzzerInitialize out.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace Fuzz {

// Prints the failed property and aborts, so that libFuzzer keeps the input.
[[noreturn]] void CheckFailed(const char* expression, const char* file, int line);

// Whether the node library refused a conversion of a value: DISP_E_TYPEMISMATCH or
// DISP_E_OVERFLOW.
bool IsConversionFailure(int32_t code);

// The bytes as text: UTF-8 decoded (ill-formed pieces become U+FFFD).
std::wstring WideText(std::string_view bytes);

// A file in memory holding the fuzzer's bytes, for code that reads files by their path; removed
// with the object.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // "/proc/PID/fd/N": a path that other processes (the .evtx reader) can open too.
    const std::string& Path() const noexcept { return m_path; }

private:
    int m_descriptor = -1;
    std::string m_path;
};

} // namespace Fuzz

// The property must hold for every input.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0) : Fuzz::CheckFailed(#condition, __FILE__, __LINE__))
