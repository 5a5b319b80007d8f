#include "Logging/NodeDump.h"

#include "ErrorHandling/ErrorDescription.h"
#include "NodeTree/NodeSerializer.h"

namespace Logging {

namespace {

// The dumped text is UTF-8; code points outside the range are replaced.
std::wstring WideFromUtf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        uint32_t point = 0xFFFD;
        size_t length = 1;
        if (lead < 0x80) {
            point = lead;
        } else if ((lead >> 5) == 0x6) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead >> 4) == 0xE) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead >> 3) == 0x1E) {
            length = 4;
            point = lead & 0x07;
        }
        if (length > 1) {
            if (i + length > text.size()) {
                point = 0xFFFD;
                length = 1;
            } else {
                for (size_t k = 1; k < length; ++k) {
                    point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
                }
            }
        }
        if constexpr (sizeof(wchar_t) == 2) {
            if (point > 0xFFFF) {
                point -= 0x10000;
                out.push_back(static_cast<wchar_t>(0xD800 + (point >> 10)));
                out.push_back(static_cast<wchar_t>(0xDC00 + (point & 0x3FF)));
                i += length;
                continue;
            }
        }
        out.push_back(static_cast<wchar_t>(point));
        i += length;
    }
    return out;
}

std::wstring DumpText(const EkNodePtr& node) {
    std::string text = SerializeNodesToText(&node, 1, 0x101, EKN_DEPTH_ALL);
    const size_t keep = text.find_last_not_of(" \r\n\t");
    text.resize(keep == std::string::npos ? 0 : keep + 1);
    size_t begin = 0;
    if (text.rfind("<nr>", 0) == 0) {
        begin = text.find_first_not_of("\r\n", 4);
        if (begin == std::string::npos) {
            begin = text.size();
        }
    }
    size_t end = text.size();
    constexpr std::string_view close = "</nr>";
    if (end >= begin + close.size() && std::string_view(text).substr(end - close.size()) == close) {
        end -= close.size();
        while (end > begin && (text[end - 1] == '\r' || text[end - 1] == '\n')) {
            --end;
        }
    }
    return WideFromUtf8(text.substr(begin, end - begin));
}

} // namespace

std::wstring DumpNode(const EkNodePtr& node) {
    if (!node) {
        return L"EkNode[<null>]";
    }
    // Hidden attributes are masked once the settings name them.
    return L"EkNode[" + HexAddress(node.Get()) + L"]:\r\n" + DumpText(node);
}

} // namespace Logging
