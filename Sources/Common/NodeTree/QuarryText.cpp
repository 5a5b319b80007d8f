#include "NodeTree/QuarryText.h"

#include "Base/Utf.h"

#include <cwchar>

namespace NodeTree {

namespace {

// True when every character is one UTF-16 code unit as it is: always where wide text is UTF-16,
// else when each is a scalar value of the basic plane.
template <typename Char>
bool OneUnitEach(std::basic_string_view<Char> text) noexcept {
    if constexpr (sizeof(Char) == 2) {
        return true;
    } else {
        for (const Char c : text) {
            if (static_cast<char32_t>(c) > 0xFFFF || !Base::IsScalarValue(c)) {
                return false;
            }
        }
        return true;
    }
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
        Assign(std::wstring_view(text, std::wcslen(text)));
    }
}

void Utf16Arg::Assign(std::wstring_view text) {
    m_length = Utf16Length(text);
    if (m_length < m_inline.size() && OneUnitEach(text)) {
        // Every character is one code unit.
        for (size_t i = 0; i < text.size(); ++i) {
            m_inline[i] = static_cast<EKNCHAR>(text[i]);
        }
        m_inline[m_length] = 0;
        m_text = m_inline.data();
        return;
    }
    m_heap.clear();
    AppendToUtf16(m_heap, text);
    m_heap.push_back(0);
    m_text = m_heap.data();
}

} // namespace NodeTree
