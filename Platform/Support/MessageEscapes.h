// The line escapes of message texts as FormatMessageW reads them, which the Event Log's message
// formatting reads too: %n a line break (CR LF), %r a carriage return, %t a tab.
#pragma once

namespace Pal {

// The text an escape character stands for after "%"; null when it is no line escape.
constexpr const wchar_t* MessageLineEscape(wchar_t c) noexcept {
    switch (c) {
    case L'n':
        return L"\r\n";
    case L'r':
        return L"\r";
    case L't':
        return L"\t";
    default:
        return nullptr;
    }
}

} // namespace Pal
