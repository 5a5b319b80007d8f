// Debug output: with no debugger to receive it, the text goes to the file that PAL_DEBUG_OUTPUT
// names ("-" for standard error) and is dropped when the variable is unset.
#include "PalSupport/PosixHandles.h"

#include "Base/CFunctionBoundary.h"
#include "Base/Mutex.h"
#include "Base/Utf.h"
#include "Win32/WinBase.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

Base::Mutex g_outputMutex; // serialises writers of this process

void WriteAll(int fd, const std::string& text) noexcept {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<size_t>(n);
    }
}

} // namespace

void WINAPI OutputDebugStringW(LPCWSTR text) {
    const DWORD lastError = GetLastError();
    const char* target = std::getenv("PAL_DEBUG_OUTPUT");
    if (text == nullptr || target == nullptr || target[0] == '\0') {
        return;
    }
    // Debug output never fails its caller.
    Base::CFunctionBoundary([](Base::Thrown) noexcept {},
                            [&] {
                                const std::string bytes = Base::Utf8FromWide(text);
                                Base::LockGuard lock(g_outputMutex);
                                if (std::string_view(target) == "-") {
                                    WriteAll(STDERR_FILENO, bytes);
                                } else {
                                    // Opened per call in append mode: one write per text, so texts
                                    // of other processes appending to the same file land between
                                    // texts, never inside one.
                                    const Pal::UniqueFd file(open(
                                        target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
                                    if (file) {
                                        WriteAll(file.Get(), bytes);
                                    }
                                }
                            });
    SetLastError(lastError);
}
