// Path helpers of the shell light-weight API. Both "\" and "/" separate components, so that the
// Windows paths the module builds and the Linux paths it is given mix freely.

#include "PalWin32/ApiBoundary.h"
#include "Win32/ShlwApi.h"
#include "Win32/WinBase.h"
#include "Win32/WinFile.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

bool IsSeparator(wchar_t c) noexcept {
    return c == L'\\' || c == L'/';
}

bool HasDrive(const std::wstring& path) noexcept {
    return path.size() >= 2 && path[1] == L':';
}

// Removes "." components and folds ".." into the component before it; separators stay as they
// were written.
std::wstring Canonicalize(const std::wstring& path) {
    struct Piece {
        std::wstring name;
        std::wstring separator;
    };
    std::wstring root;
    size_t i = 0;
    if (HasDrive(path)) {
        root = path.substr(0, 2);
        i = 2;
    }
    while (i < path.size() && IsSeparator(path[i])) {
        root += path[i++];
    }
    std::vector<Piece> pieces;
    while (i < path.size()) {
        Piece piece;
        while (i < path.size() && !IsSeparator(path[i])) {
            piece.name += path[i++];
        }
        while (i < path.size() && IsSeparator(path[i])) {
            piece.separator += path[i++];
        }
        if (piece.name == L".") {
            continue;
        }
        if (piece.name == L"..") {
            if (!pieces.empty()) {
                pieces.pop_back();
            }
            continue;
        }
        pieces.push_back(std::move(piece));
    }
    std::wstring result = root;
    for (const auto& piece : pieces) {
        result += piece.name;
        result += piece.separator;
    }
    return result;
}

} // namespace

LPWSTR WINAPI PathCombineW(LPWSTR pathOut, LPCWSTR directory, LPCWSTR file) {
    return Base::CFunctionBoundary(Pal::FailWithLastError<LPWSTR>(nullptr), [&]() -> LPWSTR {
        if (pathOut == nullptr || (directory == nullptr && file == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        const std::wstring dir = directory == nullptr ? std::wstring() : std::wstring(directory);
        const std::wstring name = file == nullptr ? std::wstring() : std::wstring(file);
        // The inputs are copied (the output may be one of them): a failure from here on leaves
        // an empty path.
        pathOut[0] = L'\0';
        std::wstring combined;
        if (name.empty()) {
            combined = dir;
        } else if (dir.empty() || HasDrive(name) ||
                   (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1]))) {
            combined = name;
        } else if (IsSeparator(name[0])) {
            // Rooted: on the directory's drive when it has one.
            combined = HasDrive(dir) ? dir.substr(0, 2) + name : name;
        } else {
            combined = dir;
            if (!IsSeparator(dir.back())) {
                combined += L'\\';
            }
            combined += name;
        }
        combined = Canonicalize(combined);
        if (combined.size() >= MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
        std::wmemcpy(pathOut, combined.c_str(), combined.size() + 1);
        return pathOut;
    });
}
