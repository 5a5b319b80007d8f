// Module names and handles of shared objects, and stack capture.
#include "PalWin32/Core/Modules.h"
#include "PalWin32/ApiBoundary.h"
#include "PalWin32/NoDestructor.h"

#include "Base/Mutex.h"
#include "Base/UniqueAny.h"
#include "Base/Utf.h"
#include "Platform.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#include <unwind.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using UniqueDlHandle = Base::UniqueAny<void*, &::dlclose>;

// References that GetModuleHandleExW took without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT:
// one dlopen handle per reference, by module base.
class NativeModuleReferences {
public:
    void Add(HMODULE module, UniqueDlHandle handle) {
        Base::LockGuard lock(m_mutex);
        m_handles.emplace(module, std::move(handle));
    }

    bool Release(HMODULE module) noexcept {
        UniqueDlHandle handle; // closed after the lock is let go
        Base::LockGuard lock(m_mutex);
        const auto it = m_handles.find(module);
        if (it == m_handles.end()) {
            return false;
        }
        handle = std::move(it->second);
        m_handles.erase(it);
        return true;
    }

private:
    Base::Mutex m_mutex;
    std::multimap<HMODULE, UniqueDlHandle> m_handles GUARDED_BY(m_mutex);
};

NativeModuleReferences& References() noexcept {
    static Pal::NoDestructor<NativeModuleReferences> references;
    return references.Get();
}

int FindExecutableBase(dl_phdr_info* info, size_t, void* data) {
    // The first object the loader reports is the executable.
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            *static_cast<uintptr_t*>(data) = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            break;
        }
    }
    return 1;
}

HMODULE ExecutableModule() noexcept {
    static const HMODULE s_module = [] {
        uintptr_t address = 0;
        dl_iterate_phdr(FindExecutableBase, &address);
        Dl_info info{};
        if (address == 0 || dladdr(reinterpret_cast<void*>(address), &info) == 0) {
            return static_cast<HMODULE>(nullptr);
        }
        return static_cast<HMODULE>(info.dli_fbase);
    }();
    return s_module;
}

std::wstring ExecutablePath() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
        return {};
    }
    return Base::WideFromUtf8(std::string_view(buffer.data(), static_cast<size_t>(length)));
}

// The full path of the shared object that contains an address; empty when there is none.
std::wstring SharedObjectPath(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
        return {};
    }
    if (info.dli_fbase == ExecutableModule()) {
        return ExecutablePath();
    }
    std::string path = info.dli_fname;
    if (char* full = realpath(info.dli_fname, nullptr); full != nullptr) {
        path = full;
        std::free(full);
    }
    return Base::WideFromUtf8(path);
}

DWORD CopyWithTruncation(const std::wstring& path, LPWSTR buffer, DWORD size) {
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        path.copy(buffer, path.size());
        buffer[path.size()] = L'\0';
        return static_cast<DWORD>(path.size());
    }
    // Too small: as much as fits, terminated, the buffer size returned.
    path.copy(buffer, size - 1);
    buffer[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

} // namespace

namespace Pal {

bool ReleaseNativeModule(HMODULE module) noexcept {
    return References().Release(module);
}

std::wstring OwnDirectory() {
    std::wstring path = SharedObjectPath(reinterpret_cast<const void*>(&OwnDirectory));
    path.erase(path.find_last_of(L'/') + 1);
    return path;
}

} // namespace Pal

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    if (fileName == nullptr && size != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Base::CFunctionBoundary(Pal::FailWithLastError<DWORD>(0), [&]() -> DWORD {
        std::wstring path;
        if (module == nullptr || module == ExecutableModule()) {
            path = ExecutablePath();
        } else if (!Pal::ResourceModulePath(module, path)) {
            path = SharedObjectPath(module);
        }
        if (path.empty()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        return CopyWithTruncation(path, fileName, size);
    });
}

BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* module) {
    constexpr DWORD kPin = 0x00000001;
    constexpr DWORD kKnown = kPin | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (module == nullptr || (flags & ~kKnown) != 0 ||
        ((flags & kPin) != 0 && (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    return Base::CFunctionBoundary(Pal::FailWithLastError<BOOL>(FALSE), [&]() -> BOOL {
        Dl_info info{};
        if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
            if (dladdr(moduleName, &info) == 0) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return FALSE;
            }
        } else if (moduleName == nullptr) {
            const HMODULE executable = ExecutableModule();
            if (executable == nullptr || dladdr(executable, &info) == 0) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return FALSE;
            }
        } else {
            std::string name = Base::Utf8FromWide(moduleName);
            for (char& c : name) {
                if (c == '\\') {
                    c = '/';
                }
            }
            const UniqueDlHandle handle(dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD));
            link_map* map = nullptr;
            if (!handle || dlinfo(handle.Get(), RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
                dladdr(map->l_ld, &info) == 0) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return FALSE;
            }
        }
        const auto base = static_cast<HMODULE>(info.dli_fbase);
        if ((flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0 &&
            base != ExecutableModule()) {
            const int mode = RTLD_LAZY | RTLD_NOLOAD | ((flags & kPin) != 0 ? RTLD_NODELETE : 0);
            UniqueDlHandle handle(dlopen(info.dli_fname, mode));
            if (!handle) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return FALSE;
            }
            // A pinned module stays loaded for good (RTLD_NODELETE): its handle is closed here.
            if ((flags & kPin) == 0) {
                References().Add(base, std::move(handle));
            }
        }
        *module = base;
        return TRUE;
    });
}

namespace {

struct UnwindState {
    void* anchor;  // the return address into the caller of RtlCaptureStackBackTrace
    bool anchored; // frames are recorded from the anchor on
    DWORD skip;    // frames still to skip after the anchor
    DWORD capacity;
    DWORD count;
    PVOID* frames;
};

_Unwind_Reason_Code RecordFrame(_Unwind_Context* context, void* data) {
    auto& state = *static_cast<UnwindState*>(data);
    void* ip = reinterpret_cast<void*>(_Unwind_GetIP(context));
    if (ip == nullptr) {
        return _URC_END_OF_STACK;
    }
    if (!state.anchored) {
        if (ip != state.anchor) {
            return _URC_NO_REASON;
        }
        state.anchored = true;
    }
    if (state.skip > 0) {
        --state.skip;
        return _URC_NO_REASON;
    }
    state.frames[state.count++] = ip;
    return state.count < state.capacity ? _URC_NO_REASON : _URC_END_OF_STACK;
}

} // namespace

// Frames are counted from this function's own return address, so that frames of the unwinder
// (or of tools wrapping it) never shift the result.
NOINLINE WORD WINAPI RtlCaptureStackBackTrace(DWORD framesToSkip, DWORD framesToCapture,
                                              PVOID* backTrace, PDWORD backTraceHash) {
    constexpr DWORD kMaxFrames = 0xFFFF;
    if (backTrace == nullptr || framesToCapture == 0 || framesToSkip >= kMaxFrames ||
        framesToCapture > kMaxFrames - framesToSkip) {
        return 0;
    }
    UnwindState state{
        __builtin_return_address(0), false, framesToSkip, framesToCapture, 0, backTrace};
    _Unwind_Backtrace(RecordFrame, &state);
    DWORD hash = 0;
    for (DWORD i = 0; i < state.count; ++i) {
        hash += static_cast<DWORD>(reinterpret_cast<uintptr_t>(backTrace[i]));
    }
    if (backTraceHash != nullptr) {
        *backTraceHash = hash;
    }
    return static_cast<WORD>(state.count);
}
