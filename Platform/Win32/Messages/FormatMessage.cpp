// FormatMessageW over message-table resources, and the system's message table: a resource-only
// PE file built with this library and kept beside it.
#include "PalSupport/MessageEscapes.h"
#include "PalWin32/ApiBoundary.h"
#include "PalWin32/Core/Modules.h"
#include "PalWin32/Messages/PeImage.h"
#include "PalWin32/Messages/ResourceModules.h"
#include "Win32/WinBase.h"

#include <cwchar>
#include <string>

namespace {

constexpr WORD kMessageTableType = 11; // RT_MESSAGETABLE
constexpr WORD kMessageTableName = 1;
constexpr wchar_t kSystemMessagesFile[] = L"PalSystemMessages.dll";

// Loaded on first use, once; a missing file leaves the system table empty.
std::shared_ptr<const Pal::ResourceModule> SystemMessages() {
    static const std::shared_ptr<const Pal::ResourceModule> s_module = [] {
        DWORD error = ERROR_SUCCESS;
        return std::shared_ptr<const Pal::ResourceModule>(
            Pal::ReadResourceModule(Pal::OwnDirectory() + kSystemMessagesFile, error));
    }();
    return s_module;
}

DWORD LookUp(const Pal::ResourceModule* module, DWORD messageId, DWORD languageId,
             std::wstring& text) {
    if (module == nullptr) {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    std::span<const uint8_t> table;
    const DWORD error = module->image.FindResource(kMessageTableType, kMessageTableName,
                                                   static_cast<LANGID>(languageId), table);
    return error != ERROR_SUCCESS ? error : Pal::FindMessage(table, messageId, text);
}

struct Expansion {
    std::wstring text;
    DWORD error = ERROR_SUCCESS;
};

// One insert of an argument array: %n!format! with a string (s, ls, ws, S) or an integer
// (d, i, u, x, X with an optional l or h) taken from the array of DWORD_PTR values.
bool AppendInsert(std::wstring& out, const std::wstring& format, DWORD_PTR value) {
    std::wstring conversion = format;
    while (!conversion.empty() && (conversion.front() == L'l' || conversion.front() == L'h' ||
                                   conversion.front() == L'w')) {
        conversion.erase(0, 1);
    }
    if (conversion == L"s" || conversion == L"S") {
        const auto* text = reinterpret_cast<const wchar_t*>(value);
        out += text != nullptr ? text : L"(null)";
        return true;
    }
    wchar_t buffer[32];
    int written = -1;
    if (conversion == L"d" || conversion == L"i") {
        written = std::swprintf(buffer, 32, L"%d", static_cast<int32_t>(value));
    } else if (conversion == L"u") {
        written = std::swprintf(buffer, 32, L"%u", static_cast<uint32_t>(value));
    } else if (conversion == L"x") {
        written = std::swprintf(buffer, 32, L"%x", static_cast<uint32_t>(value));
    } else if (conversion == L"X") {
        written = std::swprintf(buffer, 32, L"%X", static_cast<uint32_t>(value));
    }
    if (written < 0) {
        return false;
    }
    out.append(buffer, static_cast<size_t>(written));
    return true;
}

// Breaks lines longer than the width at their last blank (or at the width when there is none).
std::wstring Wrap(const std::wstring& text, size_t width) {
    std::wstring out;
    size_t lineStart = 0;
    while (lineStart <= text.size()) {
        size_t lineEnd = text.find(L"\r\n", lineStart);
        const bool last = lineEnd == std::wstring::npos;
        std::wstring line = text.substr(lineStart, last ? std::wstring::npos : lineEnd - lineStart);
        while (line.size() > width) {
            size_t cut = line.rfind(L' ', width);
            size_t skip = 1;
            if (cut == std::wstring::npos || cut == 0) {
                cut = width;
                skip = 0;
            }
            out += line.substr(0, cut);
            out += L"\r\n";
            line.erase(0, cut + skip);
        }
        out += line;
        if (last) {
            break;
        }
        out += L"\r\n";
        lineStart = lineEnd + 2;
    }
    return out;
}

Expansion Expand(const std::wstring& pattern, DWORD flags, const void* arguments) {
    Expansion result;
    std::wstring& out = result.text;
    const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const wchar_t c = pattern[i];
        if (c == L'\r' || c == L'\n') {
            if (width == 0) {
                out += c;
            } else if (c == L'\n' || i + 1 >= pattern.size() || pattern[i + 1] != L'\n') {
                // With a width, the text's own line breaks become blanks.
                out += L' ';
            }
            continue;
        }
        if (c != L'%' || i + 1 >= pattern.size()) {
            out += c;
            continue;
        }
        const wchar_t next = pattern[++i];
        if (next == L'0') {
            // Ends the message without a final line break.
            return width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK
                       ? Expansion{Wrap(out, width)}
                       : result;
        }
        if (next >= L'1' && next <= L'9') {
            const size_t start = i - 1;
            unsigned number = static_cast<unsigned>(next - L'0');
            if (i + 1 < pattern.size() && pattern[i + 1] >= L'0' && pattern[i + 1] <= L'9') {
                number = number * 10 + static_cast<unsigned>(pattern[++i] - L'0');
            }
            std::wstring format = L"s";
            if (i + 1 < pattern.size() && pattern[i + 1] == L'!') {
                const size_t close = pattern.find(L'!', i + 2);
                if (close != std::wstring::npos) {
                    format = pattern.substr(i + 2, close - i - 2);
                    i = close;
                }
            }
            if (ignoreInserts) {
                out += pattern.substr(start, i + 1 - start);
                continue;
            }
            if ((flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) == 0 || arguments == nullptr) {
                // Variable argument lists cannot be walked here.
                return Expansion{{}, ERROR_INVALID_PARAMETER};
            }
            const auto* values = static_cast<const DWORD_PTR*>(arguments);
            if (!AppendInsert(out, format, values[number - 1])) {
                return Expansion{{}, ERROR_INVALID_PARAMETER};
            }
            continue;
        }
        if (const wchar_t* escape = Pal::MessageLineEscape(next)) {
            out += escape;
        } else {
            out += next; // "%%", "% ", "%.", "%!" and any other character stand for themselves
        }
    }
    if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        out = Wrap(out, width);
    }
    return result;
}

} // namespace

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                            LPWSTR buffer, DWORD size, void* arguments) {
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Base::CFunctionBoundary(Pal::FailWithLastError<DWORD>(0), [&]() -> DWORD {
        std::wstring pattern;
        if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
            if (source == nullptr) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            pattern = static_cast<LPCWSTR>(source);
        } else if ((flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)) != 0) {
            DWORD error = ERROR_RESOURCE_DATA_NOT_FOUND;
            if ((flags & FORMAT_MESSAGE_FROM_HMODULE) != 0) {
                // A null module stands for the executable, which has no PE resources here.
                const auto module =
                    Pal::FindResourceModule(static_cast<HMODULE>(const_cast<void*>(source)));
                error = LookUp(module.get(), messageId, languageId, pattern);
            }
            if (error != ERROR_SUCCESS && (flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0) {
                error = LookUp(SystemMessages().get(), messageId, languageId, pattern);
                if (error == ERROR_RESOURCE_DATA_NOT_FOUND ||
                    error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
                    error == ERROR_RESOURCE_NAME_NOT_FOUND) {
                    error = ERROR_MR_MID_NOT_FOUND; // the system table is missing: nothing in it
                }
            }
            if (error != ERROR_SUCCESS) {
                SetLastError(error);
                return 0;
            }
        } else {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        const Expansion expansion = Expand(pattern, flags, arguments);
        if (expansion.error != ERROR_SUCCESS) {
            SetLastError(expansion.error);
            return 0;
        }
        const std::wstring& text = expansion.text;
        if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
            // size is the least number of characters to allocate.
            const size_t characters = std::max<size_t>(text.size() + 1, size);
            auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, characters * sizeof(wchar_t)));
            if (block == nullptr) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            text.copy(block, text.size());
            block[text.size()] = L'\0';
            *reinterpret_cast<LPWSTR*>(buffer) = block;
            return static_cast<DWORD>(text.size());
        }
        if (text.size() + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        text.copy(buffer, text.size());
        buffer[text.size()] = L'\0';
        return static_cast<DWORD>(text.size());
    });
}

LANGID WINAPI GetUserDefaultLangID() {
    return MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}
