#include "NodeTree/QuarryText.h"

#include <cwchar>

namespace NodeTree {

namespace {

constexpr bool WideIsUtf16 = sizeof(wchar_t) == 2;

bool IsHighSurrogate(uint32_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

void AppendFromUtf16(std::wstring& out, const EKNCHAR* text, size_t length) {
    if constexpr (WideIsUtf16) {
        out.append(reinterpret_cast<const wchar_t*>(text), length);
    } else {
        out.reserve(out.size() + length);
        for (size_t i = 0; i < length; ++i) {
            uint32_t unit = text[i];
            if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
                unit = 0x10000 + ((unit - 0xD800) << 10) +
                       (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
                ++i;
            }
            out.push_back(static_cast<wchar_t>(unit));
        }
    }
}

size_t Utf16Length(std::wstring_view text) noexcept {
    if constexpr (WideIsUtf16) {
        return text.size();
    } else {
        size_t length = text.size();
        for (wchar_t c : text) {
            const auto point = static_cast<uint32_t>(c);
            if (point > 0xFFFF && point <= 0x10FFFF) {
                ++length;
            }
        }
        return length;
    }
}

void AppendToUtf16(std::vector<EKNCHAR>& out, std::wstring_view text) {
    out.reserve(out.size() + Utf16Length(text));
    for (wchar_t c : text) {
        const auto point = static_cast<uint32_t>(c);
        if (!WideIsUtf16 && point > 0xFFFF && point <= 0x10FFFF) {
            out.push_back(static_cast<EKNCHAR>(0xD800 + ((point - 0x10000) >> 10)));
            out.push_back(static_cast<EKNCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else if (point > 0x10FFFF) {
            out.push_back(static_cast<EKNCHAR>(0xFFFD));
        } else {
            out.push_back(static_cast<EKNCHAR>(point));
        }
    }
}

Utf16Arg::Utf16Arg(std::wstring_view text) {
    Assign(text);
}

Utf16Arg::Utf16Arg(const wchar_t* text) {
    if (text == nullptr) {
        return;
    }
    // Short texts of single code units are measured while they are copied.
    uint32_t wide = 0;
    for (size_t i = 0; i < m_inline.size(); ++i) {
        const auto point = static_cast<uint32_t>(text[i]);
        if (point == 0) {
            if (WideIsUtf16 || wide <= 0xFFFF) {
                m_inline[i] = 0;
                m_length = i;
                m_text = m_inline.data();
                return;
            }
            break;
        }
        wide |= point;
        m_inline[i] = static_cast<EKNCHAR>(point);
    }
    Assign(std::wstring_view(text, std::wcslen(text)));
}

void Utf16Arg::Assign(std::wstring_view text) {
    if (text.size() < m_inline.size()) {
        // One pass: copy while checking that every character is one code unit.
        uint32_t wide = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            const auto point = static_cast<uint32_t>(text[i]);
            wide |= point;
            m_inline[i] = static_cast<EKNCHAR>(point);
        }
        if (WideIsUtf16 || wide <= 0xFFFF) {
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
