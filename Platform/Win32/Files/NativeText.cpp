#include "PalWin32/Files/NativeText.h"

#include "Base/Utf.h"
#include "Win32/WinError.h"

#include <cerrno>

namespace Pal {

std::string ToNativePath(LPCWSTR path) {
    std::string native =
        Base::Utf8FromWide(path == nullptr ? std::wstring_view() : std::wstring_view(path));
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    return native;
}

DWORD Win32ErrorFromErrno(int error) noexcept {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EBUSY:
        return ERROR_BUSY;
    case EIO:
        return ERROR_WRITE_FAULT;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case EFBIG:
        return ERROR_HANDLE_DISK_FULL;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

} // namespace Pal
