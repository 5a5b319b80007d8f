// LoadLibraryExW for data files and FreeLibrary. On this platform a PE file is only ever read
// for its resources: without a data-file flag the load fails with ERROR_NOT_SUPPORTED.
#include "PalWin32/Messages/ResourceModules.h"
#include "PalWin32/ApiBoundary.h"
#include "PalWin32/Faults.h"
#include "PalWin32/NoDestructor.h"

#include "Base/Mutex.h"
#include "Base/Utf.h"
#include "PalWin32/Core/Modules.h"
#include "Win32/WinBase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>

namespace {

// Larger files are no message modules.
constexpr off_t kMaxFileSize = 256 * 1024 * 1024;

constexpr uintptr_t kDataFileTag = 0x1;
constexpr uintptr_t kImageResourceTag = 0x2;

class ResourceModuleTable {
public:
    HMODULE Insert(std::shared_ptr<Pal::ResourceModule> module, uintptr_t tag) {
        const auto value = reinterpret_cast<uintptr_t>(module->image.Base()) | tag;
        Base::LockGuard lock(m_mutex);
        m_modules.emplace(value, std::move(module));
        return reinterpret_cast<HMODULE>(value);
    }

    std::shared_ptr<Pal::ResourceModule> Find(HMODULE module) const {
        Base::LockGuard lock(m_mutex);
        const auto it = m_modules.find(reinterpret_cast<uintptr_t>(module));
        return it == m_modules.end() ? nullptr : it->second;
    }

    bool Remove(HMODULE module) noexcept {
        std::shared_ptr<Pal::ResourceModule> removed; // released outside the lock
        Base::LockGuard lock(m_mutex);
        const auto it = m_modules.find(reinterpret_cast<uintptr_t>(module));
        if (it == m_modules.end()) {
            return false;
        }
        removed = std::move(it->second);
        m_modules.erase(it);
        return true;
    }

private:
    mutable Base::Mutex m_mutex;
    std::map<uintptr_t, std::shared_ptr<Pal::ResourceModule>> m_modules GUARDED_BY(m_mutex);
};

ResourceModuleTable& Table() {
    static Pal::NoDestructor<ResourceModuleTable> table;
    return table.Get();
}

// A file that cannot be opened fails as a data-file load does on Windows: ERROR_FILE_NOT_FOUND
// for a missing file, also in a missing folder or under a name that is no folder (not the
// ERROR_MOD_NOT_FOUND of a code load), ERROR_ACCESS_DENIED for one that may not be read.
DWORD ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    }
    struct stat status {};
    DWORD error = ERROR_SUCCESS;
    if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        error = ERROR_ACCESS_DENIED;
    } else if (!S_ISREG(status.st_mode) || status.st_size > kMaxFileSize) {
        error = ERROR_BAD_EXE_FORMAT;
    } else {
        bytes.resize(static_cast<size_t>(status.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        bytes.resize(done); // a file that shrank meanwhile is read as it now is
    }
    close(fd);
    return error;
}

bool Exists(const std::wstring& path) {
    struct stat status {};
    return stat(Base::Utf8FromWide(path).c_str(), &status) == 0;
}

// The file a library name stands for: "\" separates components as "/" does; a name without an
// extension gets ".dll" (a final "." means no extension); a bare name is looked for beside the
// executable, then in the current directory.
std::wstring ResolveLibraryPath(std::wstring name) {
    for (wchar_t& c : name) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    const size_t slash = name.find_last_of(L'/');
    const size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    if (name.find(L'.', nameStart) == std::wstring::npos) {
        name += L".dll";
    } else if (name.back() == L'.') {
        name.pop_back();
    }
    if (slash != std::wstring::npos) {
        return name;
    }
    wchar_t executable[4096];
    const DWORD length = GetModuleFileNameW(nullptr, executable, 4096);
    if (length != 0 && length < 4096) {
        std::wstring beside(executable, length);
        beside.erase(beside.find_last_of(L'/') + 1);
        beside += name;
        if (Exists(beside)) {
            return beside;
        }
    }
    return name;
}

} // namespace

namespace Pal {

std::shared_ptr<ResourceModule> ReadResourceModule(const std::wstring& path, DWORD& error) {
    std::vector<uint8_t> bytes;
    error = ReadFile(Base::Utf8FromWide(path), bytes);
    if (error != ERROR_SUCCESS) {
        return nullptr;
    }
    auto module = std::make_shared<ResourceModule>();
    error = module->image.Load(std::move(bytes));
    if (error != ERROR_SUCCESS) {
        return nullptr;
    }
    if (path.starts_with(L'/')) {
        module->path = path;
    } else {
        char* current = getcwd(nullptr, 0);
        module->path = current != nullptr ? Base::WideFromUtf8(current) + L"/" + path : path;
        std::free(current);
    }
    return module;
}

std::shared_ptr<const ResourceModule> FindResourceModule(HMODULE module) {
    return Table().Find(module);
}

bool ResourceModulePath(HMODULE module, std::wstring& path) {
    const auto found = Table().Find(module);
    if (found == nullptr) {
        return false;
    }
    path = found->path;
    return true;
}

} // namespace Pal

HMODULE WINAPI LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags) {
    constexpr DWORD kDataFileFlags = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                                     LOAD_LIBRARY_AS_IMAGE_RESOURCE;
    if (fileName == nullptr || fileName[0] == L'\0' || file != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((flags & kDataFileFlags) == 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return Base::CFunctionBoundary(Pal::FailWithLastError<HMODULE>(nullptr), [&]() -> HMODULE {
        if (Pal::Injected("LoadLibraryExW")) {
            return nullptr;
        }
        DWORD error = ERROR_SUCCESS;
        auto module = Pal::ReadResourceModule(ResolveLibraryPath(fileName), error);
        if (module == nullptr) {
            SetLastError(error);
            return nullptr;
        }
        // As on Windows, the low bits of the handle tell how the module was loaded.
        const uintptr_t tag =
            (flags & LOAD_LIBRARY_AS_IMAGE_RESOURCE) != 0 ? kImageResourceTag : kDataFileTag;
        return Table().Insert(std::move(module), tag);
    });
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    if (module != nullptr && (Table().Remove(module) || Pal::ReleaseNativeModule(module))) {
        return TRUE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
