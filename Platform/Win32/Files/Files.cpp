// Files with Windows semantics over POSIX descriptors: access and share modes, creation
// dispositions, appending handles, identity from device and inode, duplicated handles.
//
// Share modes are checked among the open handles of this process, as Windows checks them among
// all handles of the machine; another process's handles are not visible here, so for them no
// ERROR_SHARING_VIOLATION ever arises.

#include "PalWin32/ApiBoundary.h"
#include "PalWin32/Faults.h"
#include "PalWin32/Files/NativeText.h"
#include "PalWin32/Handles.h"
#include "PalWin32/NoDestructor.h"

#include "Base/FileTime.h"

#include "Base/Mutex.h"
#include "Win32/WinBase.h"
#include "Win32/WinFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr DWORD kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD kDeleteRights = DELETE | GENERIC_ALL;

// The read, write and delete uses of an access mask, as the share flags name them.
DWORD SharedUses(DWORD access) noexcept {
    DWORD uses = 0;
    if ((access & kReadRights) != 0) {
        uses |= FILE_SHARE_READ;
    }
    if ((access & kWriteRights) != 0) {
        uses |= FILE_SHARE_WRITE;
    }
    if ((access & kDeleteRights) != 0) {
        uses |= FILE_SHARE_DELETE;
    }
    return uses;
}

struct FileKey {
    dev_t device;
    ino_t inode;
    bool operator==(const FileKey&) const = default;
};

class FileObject;

// The open file objects of the process, for the share-mode check.
class ShareTable {
public:
    // Registers an open with its uses and share mode when it is compatible with every open of
    // the same file; false for a sharing violation.
    bool TryAdd(const FileObject* file, FileKey key, DWORD uses, DWORD share);
    void Remove(const FileObject* file) noexcept;
    // True when every open of the file allows the given use.
    bool AllOpensShare(FileKey key, DWORD use);

private:
    struct Entry {
        const FileObject* file;
        FileKey key;
        DWORD uses;
        DWORD share;
    };
    Base::Mutex m_mutex;
    std::vector<Entry> m_entries GUARDED_BY(m_mutex);
};

ShareTable& Shares() {
    static Pal::NoDestructor<ShareTable> table;
    return table.Get();
}

class FileObject final : public Pal::KernelObject {
public:
    FileObject(int descriptor, DWORD access) noexcept
        : m_descriptor(descriptor), m_access(access) {}
    ~FileObject() override {
        Shares().Remove(this);
        ::close(m_descriptor);
    }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    int Descriptor() const noexcept { return m_descriptor; }
    DWORD Access() const noexcept { return m_access; }

private:
    int m_descriptor;
    DWORD m_access;
};

bool ShareTable::TryAdd(const FileObject* file, FileKey key, DWORD uses, DWORD share) {
    Base::LockGuard lock(m_mutex);
    for (const auto& entry : m_entries) {
        if (entry.key == key && ((uses & ~entry.share) != 0 || (entry.uses & ~share) != 0)) {
            return false;
        }
    }
    m_entries.push_back(Entry{file, key, uses, share});
    return true;
}

void ShareTable::Remove(const FileObject* file) noexcept {
    Base::LockGuard lock(m_mutex);
    std::erase_if(m_entries, [file](const Entry& entry) { return entry.file == file; });
}

bool ShareTable::AllOpensShare(FileKey key, DWORD use) {
    Base::LockGuard lock(m_mutex);
    for (const auto& entry : m_entries) {
        if (entry.key == key && (entry.share & use) == 0) {
            return false;
        }
    }
    return true;
}

// ENOENT means a missing file when the directory exists, else a missing path, as Windows says.
DWORD MissingEntryError(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat status {};
    const std::string parent = path.substr(0, slash);
    return ::stat(parent.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                           : ERROR_PATH_NOT_FOUND;
}

DWORD ErrorForPath(int error, const std::string& path) {
    return error == ENOENT ? MissingEntryError(path) : Pal::Win32ErrorFromErrno(error);
}

std::shared_ptr<FileObject> FindFile(HANDLE handle) {
    auto file = Pal::KernelHandles().FindAs<FileObject>(handle);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return file;
}

FILETIME FileTimeOf(const timespec& time) noexcept {
    const uint64_t ticks = Base::FileTimeFromUnix(time.tv_sec, time.tv_nsec);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

bool IsCurrentProcess(HANDLE process) noexcept {
    return process == INVALID_HANDLE_VALUE; // the pseudo handle of the current process
}

} // namespace

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES, DWORD creationDisposition, DWORD, HANDLE) {
    return Base::CFunctionBoundary(
        Pal::FailWithLastError<HANDLE>(INVALID_HANDLE_VALUE), [&]() -> HANDLE {
            if (fileName == nullptr || *fileName == L'\0' || creationDisposition < CREATE_NEW ||
                creationDisposition > TRUNCATE_EXISTING) {
                SetLastError(fileName == nullptr || *fileName == L'\0' ? ERROR_PATH_NOT_FOUND
                                                                       : ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
            if (Pal::Injected("CreateFileW")) {
                return INVALID_HANDLE_VALUE;
            }
            const std::string path = Pal::ToNativePath(fileName);
            const bool reads = (desiredAccess & kReadRights) != 0;
            const bool writes = (desiredAccess & kWriteRights) != 0;
            const bool appendOnly =
                (desiredAccess & FILE_APPEND_DATA) != 0 &&
                (desiredAccess & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL)) == 0;
            int flags = O_CLOEXEC | (reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY);
            if (appendOnly) {
                flags |= O_APPEND;
            }
            switch (creationDisposition) {
            case CREATE_NEW:
                flags |= O_CREAT | O_EXCL;
                break;
            case CREATE_ALWAYS:
            case OPEN_ALWAYS:
                flags |= O_CREAT;
                break;
            default:
                break;
            }
            // Whether the file was there before: CREATE_ALWAYS and OPEN_ALWAYS report it.
            struct stat before {};
            const bool existed = ::stat(path.c_str(), &before) == 0;
            if (existed && S_ISDIR(before.st_mode)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            const int descriptor = ::open(path.c_str(), flags, 0666);
            if (descriptor < 0) {
                const int error = errno;
                SetLastError(error == EEXIST ? ERROR_FILE_EXISTS : ErrorForPath(error, path));
                return INVALID_HANDLE_VALUE;
            }
            auto file = std::make_shared<FileObject>(descriptor, desiredAccess);
            struct stat status {};
            if (::fstat(descriptor, &status) != 0) {
                SetLastError(Pal::Win32ErrorFromErrno(errno));
                return INVALID_HANDLE_VALUE;
            }
            if (!Shares().TryAdd(file.get(), FileKey{status.st_dev, status.st_ino},
                                 SharedUses(desiredAccess), shareMode)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
            // Truncation waits for the share check, so that a refused open leaves the file alone.
            if ((creationDisposition == CREATE_ALWAYS && existed) ||
                creationDisposition == TRUNCATE_EXISTING) {
                if (::ftruncate(descriptor, 0) != 0) {
                    SetLastError(Pal::Win32ErrorFromErrno(errno));
                    return INVALID_HANDLE_VALUE;
                }
            }
            HANDLE handle = Pal::KernelHandles().Insert(std::move(file));
            if (handle == nullptr) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return INVALID_HANDLE_VALUE;
            }
            const bool reportsExisting =
                creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
            SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
            return handle;
        });
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToWrite != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto file = FindFile(handle);
    if (file == nullptr) {
        return FALSE;
    }
    if (Pal::Injected("WriteFile")) {
        return FALSE;
    }
    if ((file->Access() & kWriteRights) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // One write call for the whole buffer keeps an appended line in one piece; the loop only
    // continues after a partial write.
    const auto* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < bytesToWrite) {
        const ssize_t written = ::write(file->Descriptor(), bytes + done, bytesToWrite - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastError(Pal::Win32ErrorFromErrno(errno));
            if (bytesWritten != nullptr) {
                *bytesWritten = done;
            }
            return FALSE;
        }
        done += static_cast<DWORD>(written);
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (overlapped != nullptr || (buffer == nullptr && bytesToRead != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto file = FindFile(handle);
    if (file == nullptr) {
        return FALSE;
    }
    if ((file->Access() & kReadRights) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ssize_t done = -1;
    do {
        done = ::read(file->Descriptor(), buffer, bytesToRead);
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        SetLastError(Pal::Win32ErrorFromErrno(errno));
        return FALSE;
    }
    if (bytesRead != nullptr) {
        *bytesRead = static_cast<DWORD>(done);
    }
    return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE handle, LPDWORD fileSizeHigh) {
    const auto file = FindFile(handle);
    struct stat status {};
    if (file == nullptr) {
        return INVALID_FILE_SIZE;
    }
    if (::fstat(file->Descriptor(), &status) != 0) {
        SetLastError(Pal::Win32ErrorFromErrno(errno));
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<uint64_t>(status.st_size);
    if (fileSizeHigh != nullptr) {
        *fileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    // A low part of all ones is a valid size; callers tell it from failure by the last error.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL WINAPI GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information) {
    if (information == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto file = FindFile(handle);
    if (file == nullptr) {
        return FALSE;
    }
    struct stat status {};
    if (::fstat(file->Descriptor(), &status) != 0) {
        SetLastError(Pal::Win32ErrorFromErrno(errno));
        return FALSE;
    }
    const auto size = static_cast<uint64_t>(status.st_size);
    const auto inode = static_cast<uint64_t>(status.st_ino);
    const auto device = static_cast<uint64_t>(status.st_dev);
    *information = BY_HANDLE_FILE_INFORMATION{};
    information->dwFileAttributes =
        S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    information->ftCreationTime = FileTimeOf(status.st_ctim);
    information->ftLastAccessTime = FileTimeOf(status.st_atim);
    information->ftLastWriteTime = FileTimeOf(status.st_mtim);
    // The device number folded into 32 bits stands for the volume serial number.
    information->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    information->nFileSizeLow = static_cast<DWORD>(size);
    information->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
    information->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    information->nFileIndexLow = static_cast<DWORD>(inode);
    return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE sourceHandle, HANDLE targetProcess,
                            LPHANDLE targetHandle, DWORD, BOOL, DWORD options) {
    if (!IsCurrentProcess(sourceProcess) || !IsCurrentProcess(targetProcess)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    auto object = Pal::KernelHandles().Find(sourceHandle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (targetHandle != nullptr) {
        HANDLE copy = Pal::KernelHandles().Insert(object);
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        *targetHandle = copy;
    }
    if ((options & DUPLICATE_CLOSE_SOURCE) != 0) {
        Pal::KernelHandles().Remove(sourceHandle);
    }
    return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        const std::string path = Pal::ToNativePath(pathName);
        if (path.empty()) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        if (Pal::Injected("CreateDirectoryW")) {
            return FALSE;
        }
        if (::mkdir(path.c_str(), 0777) != 0) {
            const int error = errno;
            SetLastError(error == ENOENT ? ERROR_PATH_NOT_FOUND : Pal::Win32ErrorFromErrno(error));
            return FALSE;
        }
        return TRUE;
    });
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR pathName) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        const std::string path = Pal::ToNativePath(pathName);
        if (::rmdir(path.c_str()) != 0) {
            SetLastError(ErrorForPath(errno, path));
            return FALSE;
        }
        return TRUE;
    });
}

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName) {
    return Base::CFunctionBoundary(
        Pal::FailWithLastError<DWORD>(INVALID_FILE_ATTRIBUTES), [&]() -> DWORD {
            const std::string path = Pal::ToNativePath(fileName);
            struct stat status {};
            if (path.empty() || ::stat(path.c_str(), &status) != 0) {
                SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ErrorForPath(errno, path));
                return INVALID_FILE_ATTRIBUTES;
            }
            if (S_ISDIR(status.st_mode)) {
                return FILE_ATTRIBUTE_DIRECTORY;
            }
            return (status.st_mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
        });
}

BOOL WINAPI DeleteFileW(LPCWSTR fileName) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        const std::string path = Pal::ToNativePath(fileName);
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            SetLastError(ErrorForPath(errno, path));
            return FALSE;
        }
        if (S_ISDIR(status.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // As on Windows, a file open without FILE_SHARE_DELETE cannot be deleted.
        if (!Shares().AllOpensShare(FileKey{status.st_dev, status.st_ino}, FILE_SHARE_DELETE)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (::unlink(path.c_str()) != 0) {
            SetLastError(ErrorForPath(errno, path));
            return FALSE;
        }
        return TRUE;
    });
}
