#include "NodeTree/QuarryText.h"

#include "Base/Utf.h"

#include <cwchar>

namespace NodeTree {

namespace {

constexpr bool WideIsUtf16 = sizeof(wchar_t) == 2;

// True for a character that is one UTF-16 code unit as it stands: always where wide text is
// UTF-16, else a scalar value of the basic plane (anything else takes the codec, which turns
// ill-formed pieces into U+FFFD).
constexpr bool IsOneUnit(uint32_t point) noexcept {
    return WideIsUtf16 || point < 0xD800 || (point > 0xDFFF && point <= 0xFFFF);
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
    if (text == nullptr) {
        return;
    }
    // Short texts of single code units are measured while they are copied.
    bool oneUnitEach = true;
    for (size_t i = 0; i < m_inline.size(); ++i) {
        const auto point = static_cast<uint32_t>(text[i]);
        if (point == 0) {
            if (oneUnitEach) {
                m_inline[i] = 0;
                m_length = i;
                m_text = m_inline.data();
                return;
            }
            break;
        }
        oneUnitEach &= IsOneUnit(point);
        m_inline[i] = static_cast<EKNCHAR>(point);
    }
    Assign(std::wstring_view(text, std::wcslen(text)));
}

void Utf16Arg::Assign(std::wstring_view text) {
    if (text.size() < m_inline.size()) {
        // One pass: copy while checking that every character is one code unit.
        bool oneUnitEach = true;
        for (size_t i = 0; i < text.size(); ++i) {
            const auto point = static_cast<uint32_t>(text[i]);
            oneUnitEach &= IsOneUnit(point);
            m_inline[i] = static_cast<EKNCHAR>(point);
        }
        if (oneUnitEach) {
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
