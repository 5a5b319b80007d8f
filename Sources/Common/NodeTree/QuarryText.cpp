#include "NodeTree/QuarryText.h"

#include "Base/Utf.h"

#include <algorithm>
#include <cwchar>

namespace NodeTree {

namespace {

constexpr bool WideIsUtf16 = sizeof(wchar_t) == 2;

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
    // Text that is one unit a character (nearly all) is copied as it stands: the module sets
    // attributes by the million.
    if (text.size() < m_inline.size()) {
        bool direct = false;
        if constexpr (WideIsUtf16) {
            std::copy(text.begin(), text.end(), m_inline.begin());
            direct = true;
        } else {
            direct = Base::PutUnitsBelowSurrogates(text, m_inline.data()) == text.size();
        }
        if (direct) {
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
