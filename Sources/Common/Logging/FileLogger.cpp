#include "Logging/FileLogger.h"

#include "Base/Mutex.h"
#include "Base/Utf.h"
#include "ErrorHandling/ErrorHandling.h"
#include "Logging/DebugReport.h"
#include "Logging/ImpersonationRevertGuard.h"
#include "Logging/LogManager.h"
#include "Settings/ModulePaths.h"

#include "ModuleVersion.h"

#include <bit>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>

namespace Logging {

namespace {

// File access runs under the process's identity (fixed at build time).
constexpr bool kRevertImpersonation = true;
constexpr DWORD kSharingRetries = 4;
constexpr DWORD kSharingRetryDelayMs = 10;
const FileIdentity kUnknownIdentity{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};

bool WriteText(HANDLE file, const wchar_t* text, size_t length) noexcept {
    if constexpr (sizeof(wchar_t) == 2 && std::endian::native == std::endian::little) {
        // Wide text is UTF-16LE already (Windows): written as it stands.
        DWORD written = 0;
        return WriteFile(file, text, static_cast<DWORD>(length * sizeof(wchar_t)), &written,
                         nullptr) != FALSE;
    }
    try {
        std::string bytes;
        Base::AppendUtf16Le(bytes, std::wstring_view(text, length));
        DWORD written = 0;
        return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) !=
               FALSE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

// An opened file as a handle that writers share; empty when there is none or no memory for it.
std::shared_ptr<const UniqueKernelHandle> Shared(UniqueKernelHandle file) noexcept {
    if (!file) {
        return {};
    }
    try {
        return std::make_shared<const UniqueKernelHandle>(std::move(file));
    } catch (...) {
        DebugReport(L"FileLogger: cannot keep handle (error: 0x%08x)",
                    static_cast<unsigned>(E_OUTOFMEMORY));
        return {};
    }
}

bool HasDirectory(const std::wstring& fileName) noexcept {
    return fileName.find_first_of(L"\\/") != std::wstring::npos;
}

std::wstring HexPointer(const void* address) {
    wchar_t text[24];
    std::swprintf(text, std::size(text), L"0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

} // namespace

FileLogger::FileLogger(std::wstring fileName, std::wstring banner, TickSource ticks)
    : m_ticks(ticks), m_banner(std::move(banner)), m_fileName(std::move(fileName)),
      m_hasDirectory(HasDirectory(m_fileName)) {}

FileLogger::~FileLogger() = default;

std::wstring FileLogger::ModuleLogFileName() {
    return Settings::FileStem(Settings::ThisModulePath()) + L".log";
}

std::wstring FileLogger::ModuleBanner() {
    const std::wstring stars(100, L'*');
    wchar_t version[64];
    std::swprintf(version, std::size(version), L"%u.%u.%u.%u", ModuleVersion::Major,
                  ModuleVersion::Minor, ModuleVersion::Build, ModuleVersion::Revision);
    return stars + L"\r\n*** Module: " + Settings::ThisModulePath() + L" (Base: " +
           HexPointer(Settings::ThisModule()) + L")\r\n*** Version: " + version +
           L"\r\n*** Module description: Corvane64\r\n*** Process: " + Settings::ExecutablePath() +
           L" (Pid: " + std::to_wstring(GetCurrentProcessId()) + L")\r\n*** Command line: " +
           GetCommandLineW() + L"\r\n" + stars + L"\r\n";
}

void FileLogger::Write(const wchar_t* text, size_t length) noexcept {
    const SharedHandle file = GetHandle();
    if (file && !WriteText(file->Get(), text, length)) {
        DebugReport(L"FileLogger: cannot write (error: 0x%08x)",
                    static_cast<unsigned>(HresultFromWin32(GetLastError())));
    }
}

FileLogger::SharedHandle FileLogger::GetHandle() noexcept {
    const uint32_t keepOpen = LogManager::Instance().Settings().KeepOpenInterval();
    Base::LockGuard lock(m_lock);
    if (keepOpen == 0) {
        // Opened for this write alone: the writer's share is the only one and closes it.
        m_handle.reset();
        return Shared(OpenFile());
    }
    const DWORD now = m_ticks();
    if (m_lastOpen == 0 || now - m_lastOpen >= keepOpen) {
        // Stamped first: a failed open leaves no handle until the interval has passed again.
        m_lastOpen = now == 0 ? 1 : now;
        m_handle.reset();
        m_handle = Shared(OpenFile());
    }
    return m_handle;
}

std::wstring FileLogger::FilePath() {
    return m_hasDirectory ? m_fileName
                          : LogManager::Instance().Settings().LogDirectory() + m_fileName;
}

UniqueKernelHandle FileLogger::OpenFile() noexcept {
    const ImpersonationRevertGuard guard(kRevertImpersonation);
    std::wstring path;
    try {
        path = FilePath();
    } catch (...) {
        DebugReport(L"FileLogger: cannot open log file '%ls' (error: 0x%08x)", m_fileName.c_str(),
                    static_cast<unsigned>(E_FAIL));
        return {};
    }
    const uint32_t thresholdMB = LogManager::Instance().Settings().SizeThresholdMB();

    UniqueKernelHandle file;
    DWORD error = ERROR_SUCCESS;
    for (DWORD attempt = 0; attempt < kSharingRetries; ++attempt) {
        file = FromCreateFile(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            break;
        }
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION) {
            break;
        }
        Sleep(kSharingRetryDelayMs);
    }
    if (!file) {
        DebugReport(L"FileLogger: cannot open log file '%ls' (error: 0x%08x)", path.c_str(),
                    static_cast<unsigned>(HresultFromWin32(error)));
        return {};
    }

    if (thresholdMB != 0) {
        DWORD high = 0;
        const DWORD low = GetFileSize(file.Get(), &high);
        const uint64_t sizeMB = ((static_cast<uint64_t>(high) << 32) | low) >> 20;
        if (sizeMB >= thresholdMB) {
            if (!m_tooBigReported) {
                DebugReport(L"FileLogger: log file '%ls' is too big (size=%dMB threshold=%dMB)",
                            path.c_str(), static_cast<int>(sizeMB), static_cast<int>(thresholdMB));
                m_tooBigReported = true;
            }
            return {};
        }
        m_tooBigReported = false;
    }

    if (!m_banner.empty()) {
        WriteBanner(file.Get());
    }
    return file;
}

void FileLogger::WriteBanner(HANDLE file) noexcept {
    BY_HANDLE_FILE_INFORMATION info{};
    FileIdentity identity = kUnknownIdentity;
    if (GetFileInformationByHandle(file, &info)) {
        identity = FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    } else {
        DebugReport(L"FileLogger: cannot get file id (error: 0x%08x)",
                    static_cast<unsigned>(HresultFromWin32(GetLastError())));
    }
    if (identity == m_lastIdentity) {
        return;
    }
    m_lastIdentity = identity;
    if (!WriteText(file, m_banner.data(), m_banner.size())) {
        DebugReport(L"FileLogger: cannot write (error: 0x%08x)",
                    static_cast<unsigned>(HresultFromWin32(GetLastError())));
    }
}

} // namespace Logging
