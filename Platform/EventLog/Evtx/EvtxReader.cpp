#include "PalEventLog/Evtx/EvtxReader.h"

#include "PalEventLog/Evtx/EvtxReaderProtocol.h"

#include "Base/Utf.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace PalEventLog {

namespace {

constexpr const char* kReaderName = "PalEventLogEvtxReader";
// A record takes milliseconds; a reader silent this long is stuck in a damaged log.
constexpr int kSilenceLimitMs = 10000;
// No record's XML comes near this (a chunk holds 64 KiB of binary XML).
constexpr uint32_t kPayloadLimit = 64u << 20;

// The reader program: beside the module holding this code (the stand-in's library, or a program
// it is linked into), else beside the running program.
std::filesystem::path ReaderProgram() {
    Dl_info info{};
    std::error_code ec;
    if (dladdr(reinterpret_cast<void*>(&ReaderProgram), &info) != 0 && info.dli_fname != nullptr) {
        const auto beside = std::filesystem::path(info.dli_fname).parent_path() / kReaderName;
        if (std::filesystem::is_regular_file(beside, ec)) {
            return beside;
        }
    }
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / kReaderName;
}

} // namespace

EvtxReader::~EvtxReader() {
    Finish(true);
}

bool EvtxReader::Open(const std::filesystem::path& log, int first, std::wstring& error) {
    Finish(true); // a reader opened again starts afresh
    m_count = -1;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = L"cannot start the .evtx reader: " + Base::WideFromUtf8(std::strerror(errno));
        return false;
    }
    m_output.Reset(ends[0]);
    Pal::UniqueFd input(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.Get(), STDOUT_FILENO);
    // What a faulting reader prints (a sanitizer's report) is no concern of the store's users:
    // the store reports how the reader ended.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string program = ReaderProgram().string();
    const std::string path = log.string();
    const std::string from = std::to_string(first);
    char* arguments[] = {const_cast<char*>(program.c_str()), const_cast<char*>(path.c_str()),
                         const_cast<char*>(from.c_str()), nullptr};
    const int spawned =
        posix_spawn(&m_process, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_process = -1;
        error = L"cannot start " + Base::WideFromUtf8(program) + L": " +
                Base::WideFromUtf8(std::strerror(spawned));
        return false;
    }
    input.Reset(); // the reader's end: the output ends when the reader does
    m_next = first;
    EvtxFrameHeader header{};
    Read read = ReadExactly(&header, sizeof header);
    if (read == Read::Done && header.kind == 'C') {
        m_count = header.index;
        return true;
    }
    std::string text;
    if (read == Read::Done && header.kind == 'E' && header.length <= kPayloadLimit) {
        text.resize(header.length);
        read = ReadExactly(text.data(), text.size());
        if (read == Read::Done) {
            error = Base::WideFromUtf8(text);
            Finish(true);
            return false;
        }
    }
    error = L"the .evtx reader stopped: " + Stopped(read);
    return false;
}

EvtxReader::Result EvtxReader::Next(int& index, std::string& xml, std::wstring& error) {
    index = m_next;
    if (m_process == -1) {
        error = L"the .evtx reader is not running";
        return Result::Stopped;
    }
    EvtxFrameHeader header{};
    Read read = ReadExactly(&header, sizeof header);
    if (read == Read::Done && header.kind == 'Z') {
        Finish(true); // done; what it still does on its way out is of no interest
        return Result::End;
    }
    if (read == Read::Done && ((header.kind != 'R' && header.kind != 'U') ||
                               header.index != m_next || header.length > kPayloadLimit)) {
        error = L"its output went wrong; " + Finish(true);
        return Result::Stopped;
    }
    if (read == Read::Done) {
        xml.resize(header.length);
        read = ReadExactly(xml.data(), xml.size());
    }
    if (read != Read::Done) {
        error = Stopped(read);
        return Result::Stopped;
    }
    index = header.index;
    m_next = index + 1;
    if (header.kind == 'U') {
        error = Base::WideFromUtf8(xml);
        return Result::Unreadable;
    }
    return Result::Record;
}

EvtxReader::Read EvtxReader::ReadExactly(void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        pollfd ready{m_output.Get(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, kSilenceLimitMs);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled == 0) {
            return Read::Silent;
        }
        const ssize_t n = polled < 0 ? -1 : ::read(m_output.Get(), bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Read::Ended;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return Read::Done;
}

std::wstring EvtxReader::Finish(bool stop) {
    if (m_process == -1) {
        return L"it was not running";
    }
    if (stop) {
        ::kill(m_process, SIGKILL);
    }
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(m_process, &status, 0)) < 0 && errno == EINTR) {
    }
    m_process = -1;
    m_output.Reset();
    if (ended > 0 && WIFSIGNALED(status)) {
        return L"it ended with signal " + std::to_wstring(WTERMSIG(status));
    }
    return L"it ended with exit code " +
           std::to_wstring(ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

std::wstring EvtxReader::Stopped(Read read) {
    if (read == Read::Silent) {
        Finish(true);
        return L"it gave no answer for " + std::to_wstring(kSilenceLimitMs / 1000) +
               L" s and was ended";
    }
    return Finish(false); // its output ended: it has ended or is ending
}

int EvtxRecordCount(const std::filesystem::path& path) {
    EvtxReader reader;
    std::wstring error;
    return reader.Open(path, INT_MAX, error) ? reader.RecordCount() : -1;
}

} // namespace PalEventLog
