// Process and thread identity and the command line.
#include "Base/CFunctionBoundary.h"
#include "Base/Utf.h"
#include "Win32/WinBase.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// One argument as CommandLineToArgvW reads it back: quoted when it is empty or holds a blank,
// a tab or a quote; backslashes are doubled only before a quote.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty()) {
        line += L' ';
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring ReadCommandLine() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string raw{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::wstring line;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) {
            end = raw.size();
        }
        AppendArgument(line, Base::WideFromUtf8(std::string_view(raw).substr(start, end - start)));
        start = end + 1;
    }
    return line;
}

// The process id once read; 0 until then, and again in a child that fork() made.
std::atomic<pid_t> g_processId{0};

} // namespace

DWORD WINAPI GetCurrentProcessId() {
    // Windows reads the id from the process's own memory; here it is a system call, which every
    // log line's head would pay, so it is read once (again after a fork).
    pid_t id = g_processId.load(std::memory_order_relaxed);
    if (id == 0) {
        [[maybe_unused]] static const int forgetInChild = pthread_atfork(
            nullptr, nullptr, [] { g_processId.store(0, std::memory_order_relaxed); });
        id = getpid();
        g_processId.store(id, std::memory_order_relaxed);
    }
    return static_cast<DWORD>(id);
}

DWORD WINAPI GetCurrentThreadId() {
    thread_local const auto t_id = static_cast<DWORD>(syscall(SYS_gettid));
    return t_id;
}

HANDLE WINAPI GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

LPWSTR WINAPI GetCommandLineW() {
    // Read once; Windows, too, hands out the same buffer for the life of the process.
    // Without memory at the first call the command line stays empty.
    static std::wstring s_line = Base::CFunctionBoundary(
        [](Base::Thrown) noexcept { return std::wstring(); }, [] { return ReadCommandLine(); });
    return s_line.data();
}
