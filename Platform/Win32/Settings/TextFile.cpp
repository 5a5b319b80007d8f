#include "PalWin32/Settings/TextFile.h"

#include "PalWin32/Files/NativeText.h"

#include "Base/Utf.h"

#include "Win32/WinError.h"

#include <cerrno>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace Pal {

bool ReadTextFile(const std::string& path, std::wstring& text, DWORD& error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    const std::string bytes{std::istreambuf_iterator<char>(stream),
                            std::istreambuf_iterator<char>()};
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text = Base::WideFromUtf16Le(std::string_view(bytes).substr(2));
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = Base::WideFromUtf8(std::string_view(bytes).substr(3));
    } else {
        text = Base::WideFromUtf8(bytes);
    }
    error = ERROR_SUCCESS;
    return true;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace Pal
