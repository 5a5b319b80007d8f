// XML escaping for every writer of XML text in the project. "&", "<" and ">" always become
// "&amp;", "&lt;" and "&gt;"; what else is escaped depends on where the text goes, and each
// caller says it with an XmlEscapes value.
#pragma once

#include <string>
#include <string_view>

namespace Base {

struct XmlEscapes {
    bool apostrophe = false; // "'" as "&apos;": the text may stand in a single-quoted attribute
    bool quote = false;      // '"' as "&quot;": the text may stand in a double-quoted attribute
    // Control characters other than TAB, LF and CR as "&#xN;" (upper-case hexadecimal).
    bool controls = false;
    // TAB, LF and CR as "&#xN;" too: an attribute value keeps them so, where a parser would
    // turn them into blanks.
    bool lineControls = false;
};

// "&", "<" and ">" only: element content.
inline constexpr XmlEscapes kEscapeMarkup{};
// "&", "<", ">" and "'": element content and single-quoted attribute values, as event XML is
// written.
inline constexpr XmlEscapes kEscapeMarkupAndApostrophe{.apostrophe = true};

namespace Detail {

template <typename Char>
void AppendXmlEscaped(std::basic_string<Char>& out, std::basic_string_view<Char> text,
                      const XmlEscapes& escapes) {
    const auto append = [&out](const char* ascii) {
        while (*ascii != '\0') {
            out += static_cast<Char>(*ascii++);
        }
    };
    for (const Char c : text) {
        switch (c) {
        case '&':
            append("&amp;");
            continue;
        case '<':
            append("&lt;");
            continue;
        case '>':
            append("&gt;");
            continue;
        case '\'':
            if (escapes.apostrophe) {
                append("&apos;");
                continue;
            }
            break;
        case '"':
            if (escapes.quote) {
                append("&quot;");
                continue;
            }
            break;
        default:
            break;
        }
        const auto code = static_cast<unsigned>(c);
        const bool lineControl = c == '\t' || c == '\n' || c == '\r';
        if (code < 0x20 && (lineControl ? escapes.lineControls : escapes.controls)) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            append("&#x");
            if (code >= 0x10) {
                out += static_cast<Char>(kHex[code >> 4]);
            }
            out += static_cast<Char>(kHex[code & 0xF]);
            out += static_cast<Char>(';');
            continue;
        }
        out += c;
    }
}

} // namespace Detail

// Appends `text` to `out` with the characters that `escapes` names replaced. Narrow text is
// UTF-8: only ASCII characters are ever replaced.
inline void AppendXmlEscaped(std::wstring& out, std::wstring_view text, const XmlEscapes& escapes) {
    Detail::AppendXmlEscaped(out, text, escapes);
}
inline void AppendXmlEscaped(std::string& out, std::string_view text, const XmlEscapes& escapes) {
    Detail::AppendXmlEscaped(out, text, escapes);
}

// The same as a new string.
inline std::wstring XmlEscaped(std::wstring_view text, const XmlEscapes& escapes) {
    std::wstring out;
    AppendXmlEscaped(out, text, escapes);
    return out;
}
inline std::string XmlEscaped(std::string_view text, const XmlEscapes& escapes) {
    std::string out;
    AppendXmlEscaped(out, text, escapes);
    return out;
}

} // namespace Base
