// Helpers of the tests that read the log: settings through the environment, the lines of the log
// collected, the debug output captured, UTF-16LE files read back.
#pragma once

#include "Base/Utf.h"
#include "Logging/LogManager.h"
#include "Platform/Win32/TempDirectory.h"
#include "Support/DebugOutputCapture.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

// Sets (or with null clears) GS_Logger_<key> and refreshes the logger settings at once.
inline void SetLoggerSetting(const char* key, const char* value) {
    const std::string name = std::string("GS_Logger_") + key;
    if (value != nullptr) {
        ::setenv(name.c_str(), value, 1);
    } else {
        ::unsetenv(name.c_str());
    }
    Logging::LogManager::Instance().Settings().Refresh();
}

// A millisecond clock that a test moves by hand, for the logger settings and the file logger.
inline std::atomic<DWORD> g_testTicks{0};
inline DWORD WINAPI TestTicks() {
    return g_testTicks.load();
}

// A logger that keeps every line it is given.
class CollectingLogger final : public Logging::ILogger {
public:
    void Write(const wchar_t* text, size_t length) noexcept override {
        std::lock_guard lock(m_mutex);
        m_lines.emplace_back(text, length);
    }
    std::vector<std::wstring> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_lines;
};

// The message of a log line: what follows the head (time, severity, ids, "file:line | "), its
// indentation included, without the final CR LF.
inline std::wstring MessageOf(const std::wstring& line) {
    size_t at = 0;
    for (int bar = 0; bar < 4 && at != std::wstring::npos; ++bar) {
        at = line.find(L'|', at == 0 ? 0 : at + 1);
    }
    if (at == std::wstring::npos) {
        return line;
    }
    std::wstring message = line.substr(at + 2);
    if (message.ends_with(L"\r\n")) {
        message.resize(message.size() - 2);
    }
    return message;
}

// The lines of the process's log while it lives: a CollectingLogger registered with the log
// manager at construction and removed at destruction.
class LogCapture {
public:
    // With a severity, lines up to it are written while the capture lives (GS_Logger_MaxSeverity).
    explicit LogCapture(const char* maxSeverity = nullptr) : m_maxSeverity(maxSeverity) {
        if (m_maxSeverity != nullptr) {
            SetLoggerSetting("MaxSeverity", m_maxSeverity);
        }
        m_registered = Logging::LogManager::Instance().AddLogger(&m_logger);
    }
    ~LogCapture() {
        Logging::LogManager::Instance().RemoveLogger(&m_logger);
        if (m_maxSeverity != nullptr) {
            SetLoggerSetting("MaxSeverity", nullptr);
        }
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Registered() const noexcept { return m_registered; }
    std::vector<std::wstring> Lines() const { return m_logger.Lines(); }
    // The messages of the lines (MessageOf).
    std::vector<std::wstring> Messages() const {
        std::vector<std::wstring> messages;
        for (const std::wstring& line : m_logger.Lines()) {
            messages.push_back(MessageOf(line));
        }
        return messages;
    }
    // The messages without the indentation of the call depth.
    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> texts = Messages();
        for (std::wstring& text : texts) {
            text.erase(0, text.find_first_not_of(L' '));
        }
        return texts;
    }
    // The texts that begin with `prefix`.
    std::vector<std::wstring> Starting(const std::wstring& prefix) const {
        std::vector<std::wstring> found;
        for (std::wstring& text : Texts()) {
            if (text.starts_with(prefix)) {
                found.push_back(std::move(text));
            }
        }
        return found;
    }
    // How many texts are exactly `text`.
    size_t Count(const std::wstring& text) const {
        const std::vector<std::wstring> texts = Texts();
        return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
    }

private:
    CollectingLogger m_logger;
    const char* m_maxSeverity;
    bool m_registered = false;
};

// A UTF-16LE file as text; a byte-order mark stays in the text as U+FEFF.
inline std::wstring ReadUtf16Le(const std::string& bytes) {
    return Base::WideFromUtf16Le(bytes);
}

inline std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        auto end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}
