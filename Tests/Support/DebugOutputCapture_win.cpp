#include "Support/DebugOutputCapture.h"

#include "Platform.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// The layout of the DBWIN buffer: the sender's process id, then its text (ANSI, NUL-ended).
constexpr DWORD kBufferSize = 4096;
// Sent by Text() itself; see there.
constexpr char kSentinel[] = "DebugOutputCapture: sentinel\n";

} // namespace

struct DebugOutputCapture::State {
    HANDLE bufferReady = nullptr;
    HANDLE dataReady = nullptr;
    HANDLE mapping = nullptr;
    const char* view = nullptr;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::string text;
    std::thread listener;

    // Offers the buffer, takes what a sender put there, offers it again.
    void Listen() {
        const DWORD self = GetCurrentProcessId();
        while (!stop) {
            SetEvent(bufferReady);
            if (WaitForSingleObject(dataReady, 50) != WAIT_OBJECT_0) {
                continue;
            }
            DWORD sender = 0;
            std::memcpy(&sender, view, sizeof(sender));
            const char* message = view + sizeof(DWORD);
            const std::string line(message, strnlen(message, kBufferSize - sizeof(DWORD)));
            if (sender == self && line != kSentinel) {
                std::lock_guard lock(mutex);
                text += line;
            }
        }
    }

    ~State() {
        stop = true;
        if (listener.joinable()) {
            listener.join();
        }
        if (view != nullptr) {
            UnmapViewOfFile(view);
        }
        for (HANDLE handle : {mapping, dataReady, bufferReady}) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    }
};

DebugOutputCapture::DebugOutputCapture() : m_state(std::make_unique<State>()) {
    State& state = *m_state;
    state.bufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    state.dataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    state.mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       kBufferSize, L"DBWIN_BUFFER");
    if (state.mapping != nullptr) {
        state.view = static_cast<const char*>(
            MapViewOfFile(state.mapping, FILE_MAP_READ, 0, 0, kBufferSize));
    }
    if (state.bufferReady != nullptr && state.dataReady != nullptr && state.view != nullptr) {
        state.listener = std::thread([&state] { state.Listen(); });
    }
}

DebugOutputCapture::~DebugOutputCapture() = default;

std::string DebugOutputCapture::Text() const {
    // A sender waits for the buffer before it writes, and the listener offers the buffer again
    // only after it took the last text: once this line is sent, every earlier one has been taken.
    if (m_state->listener.joinable()) {
        OutputDebugStringA(kSentinel);
    }
    std::lock_guard lock(m_state->mutex);
    return m_state->text;
}
