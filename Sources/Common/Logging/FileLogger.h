// A logger that appends its lines to a UTF-16LE text file (no byte-order mark): the module's
// file in the log directory, or a file given with its path. Every file it starts writing to
// begins with the banner.
#pragma once

#include "Base/Mutex.h"
#include "Helpers/UniqueHandle.h"
#include "Logging/Logger.h"
#include "Logging/LoggerSettings.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Logging {

// The identity of a file: volume serial number and file index.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

class FileLogger final : public ILogger {
public:
    // A file name with "\" or "/" in it is used as it is; a bare name lies in the log directory.
    // `ticks` times how long a handle is kept open.
    FileLogger(std::wstring fileName, std::wstring banner, TickSource ticks = &GetTickCount);
    ~FileLogger();
    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    // Writes the line's UTF-16LE bytes with one WriteFile through the kept handle, which the
    // writer holds a share of, so that a reopen by another thread closes it only after the write;
    // a line that cannot be written is dropped and reported through the debug output.
    void Write(const wchar_t* text, size_t length) noexcept override;

    // The banner of this module: its path and load address, version, description, the process's
    // executable, id and command line, between two lines of 100 asterisks.
    static std::wstring ModuleBanner();
    // The file name of this module's log: the module's file name without extension + ".log".
    static std::wstring ModuleLogFileName();

private:
    using SharedHandle = std::shared_ptr<const UniqueKernelHandle>;

    // A share of the kept handle for one write, or empty.
    SharedHandle GetHandle() noexcept EXCLUDES(m_lock);
    UniqueKernelHandle OpenFile() noexcept REQUIRES(m_lock);
    std::wstring FilePath();
    void WriteBanner(HANDLE file) noexcept REQUIRES(m_lock);

    const TickSource m_ticks;
    const std::wstring m_banner;
    const std::wstring m_fileName;
    const bool m_hasDirectory;
    Base::RecursiveMutex m_lock;
    DWORD m_lastOpen GUARDED_BY(m_lock) = 0;
    SharedHandle m_handle GUARDED_BY(m_lock);
    FileIdentity m_lastIdentity GUARDED_BY(m_lock);
    bool m_tooBigReported GUARDED_BY(m_lock) = false;
};

} // namespace Logging
