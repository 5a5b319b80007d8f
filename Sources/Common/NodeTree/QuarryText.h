// Text at the node library's boundary: the library speaks NUL-terminated UTF-16 (EKNCHAR) on every
// platform, the module wide strings (UTF-16 on Windows, UTF-32 elsewhere). Only the node-tree layer
// and the framework call convert here.
#pragma once

#include "Quarry/Quarry.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace NodeTree {

// Appends UTF-16 code units as wide characters (surrogate pairs joined where wchar_t is 32-bit;
// invalid input as Base/Utf.h says).
void AppendFromUtf16(std::wstring& out, const EKNCHAR* text, size_t length);
// Appends wide characters as UTF-16 code units.
void AppendToUtf16(std::vector<EKNCHAR>& out, std::wstring_view text);
// The number of UTF-16 code units of a wide text.
size_t Utf16Length(std::wstring_view text) noexcept;

// A NUL-terminated UTF-16 copy of a wide text for one library call; short texts stay on the stack.
class Utf16Arg {
public:
    explicit Utf16Arg(std::wstring_view text);
    // Null stays null.
    explicit Utf16Arg(const wchar_t* text);
    Utf16Arg(const Utf16Arg&) = delete;
    Utf16Arg& operator=(const Utf16Arg&) = delete;

    const EKNCHAR* Get() const noexcept { return m_text; }
    // Code units without the NUL.
    size_t Length() const noexcept { return m_length; }

private:
    void Assign(std::wstring_view text);

    std::array<EKNCHAR, 256> m_inline;
    std::vector<EKNCHAR> m_heap;
    const EKNCHAR* m_text = nullptr;
    size_t m_length = 0;
};

} // namespace NodeTree
