#include "NodeTree/QuarryText.h"

#include "Base/Utf.h"

#include <algorithm>
#include <cwchar>

namespace NodeTree {

namespace {

constexpr bool WideIsUtf16 = sizeof(wchar_t) == 2;

// 1 for a character that is one UTF-16 code unit as it stands: always where wide text is UTF-16,
// else a scalar value of the basic plane (anything else takes the codec, which turns ill-formed
// pieces into U+FFFD). One expression without branches, which a loop over a text vectorises.
constexpr uint32_t IsOneUnit(uint32_t point) noexcept {
    return uint32_t{WideIsUtf16} | uint32_t{point < 0xD800} | uint32_t{point - 0xE000 < 0x2000};
}

} // namespace

void AppendFromUtf16(std::wstring& out, const EKNCHAR* text, size_t length) {
    Base::AppendConverted(out, std::basic_string_view<EKNCHAR>(text, length));
}

size_t Utf16Length(std::wstring_view text) noexcept {
    return Base::Utf16Length(text);
}

void AppendToUtf16(std::vector<EKNCHAR>& out, std::wstring_view text) {
    out.reserve(out.size() + Utf16Length(text));
    Base::AppendConverted(out, text);
}

Utf16Arg::Utf16Arg(std::wstring_view text) {
    Assign(text);
}

Utf16Arg::Utf16Arg(const wchar_t* text) {
    if (text != nullptr) {
        Assign(std::wstring_view(text));
    }
}

void Utf16Arg::Assign(std::wstring_view text) {
    if (text.size() < m_inline.size()) {
        // Checked, then copied, each in one pass without a branch per character, which the
        // compiler turns into vector code: the module sets attributes by the million.
        uint32_t outside = 0;
        for (const wchar_t c : text) {
            outside |= IsOneUnit(static_cast<uint32_t>(c)) ^ 1U;
        }
        if (outside == 0) {
            std::copy(text.begin(), text.end(), m_inline.begin());
            m_inline[text.size()] = 0;
            m_length = text.size();
            m_text = m_inline.data();
            return;
        }
    }
    m_length = Utf16Length(text);
    m_heap.clear();
    AppendToUtf16(m_heap, text);
    m_heap.push_back(0);
    m_text = m_heap.data();
}

} // namespace NodeTree
