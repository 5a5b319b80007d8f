#include "Logging/NodeDump.h"

#include "Base/Text.h"
#include "Base/Utf.h"
#include "ErrorHandling/ErrorDescription.h"
#include "ErrorHandling/LazyInstance.h"
#include "NodeTree/NodeSerializer.h"
#include "Settings/SettingsManager.h"

#include <string_view>
#include <vector>

namespace Logging {

namespace {

LazyInstance<HiddenAttributeTable> g_hiddenAttributes;

// The non-empty pieces of a text between separators.
std::vector<std::wstring> SplitSkippingEmpty(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find(separator, start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

// Appends the node's text serialization without the "<nr>" wrapper and the line breaks around it.
void AppendDumpText(std::wstring& out, const EkNodePtr& node) {
    const std::string text = SerializeNodesToText(&node, 1, 0x101, EKN_DEPTH_ALL);
    std::string_view shown(text);
    const size_t keep = shown.find_last_not_of(" \r\n\t");
    shown = shown.substr(0, keep == std::string_view::npos ? 0 : keep + 1);
    if (shown.starts_with("<nr>")) {
        const size_t begin = shown.find_first_not_of("\r\n", 4);
        shown.remove_prefix(begin == std::string_view::npos ? shown.size() : begin);
    }
    if (shown.ends_with("</nr>")) {
        shown.remove_suffix(5);
        while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n')) {
            shown.remove_suffix(1);
        }
    }
    Base::AppendConverted(out, shown);
}

} // namespace

HiddenAttributeTable ParseHiddenNodeTypeAttrs(const std::wstring& text) {
    HiddenAttributeTable table;
    for (const auto& item : SplitSkippingEmpty(text, L';')) {
        const auto parts = SplitSkippingEmpty(item, L':');
        if (parts.size() != 2) {
            RaiseError(E_INVALIDARG);
        }
        auto& names = table[Base::Trimmed(parts[0])];
        for (const auto& name : SplitSkippingEmpty(parts[1], L',')) {
            if (auto trimmed = Base::Trimmed(name); !trimmed.empty()) {
                names.insert(std::move(trimmed));
            }
        }
    }
    return table;
}

const HiddenAttributeTable& HiddenAttributes() {
    return g_hiddenAttributes.Get([] {
        std::wstring setting;
        Settings::ReadSetting(L"Logger", L"HiddenNodeTypeAttrs", setting);
        return std::make_unique<HiddenAttributeTable>(ParseHiddenNodeTypeAttrs(setting));
    });
}

EkNodePtr MaskHiddenAttributes(const EkNodePtr& node, const HiddenAttributeTable& table) {
    if (table.empty() || !node) {
        return {};
    }
    const auto everyType = table.find(L"*");
    EkNodePtr copy;
    // The walk keeps the child positions from the dumped node down to the current one; the copy
    // has the same shape, so the same positions reach the current node's counterpart there
    // (a lookup by name would miss same-named siblings).
    std::vector<uint64_t> positions;
    auto counterpart = [&]() {
        EkNodePtr target = copy;
        for (const uint64_t index : positions) {
            target = target.GetChildByIndex(index, true);
        }
        return target;
    };
    auto maskNode = [&](const EkNodePtr& current) {
        const auto ofType = table.find(current.GetNodeType());
        for (const auto& entry : {ofType, everyType}) {
            if (entry == table.end()) {
                continue;
            }
            for (const auto& name : entry->second) {
                if (!current.HasAttribute(name.c_str())) {
                    continue;
                }
                if (!copy) {
                    copy = node.CloneNode(0x7FFFFFFF);
                }
                counterpart().SetAttribute(name.c_str(), HiddenValueMask);
            }
        }
    };
    // Depth first, parents before children, without recursion.
    struct Frame {
        EkNodePtr node;
        uint64_t next;
        uint64_t count;
    };
    maskNode(node);
    std::vector<Frame> stack;
    stack.push_back(Frame{node, 0, node.GetChildCount()});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.count) {
            stack.pop_back();
            if (!positions.empty()) {
                positions.pop_back();
            }
            continue;
        }
        const uint64_t index = top.next++;
        EkNodePtr child = top.node.GetChildByIndex(index, true);
        positions.push_back(index);
        maskNode(child);
        const uint64_t count = child.GetChildCount();
        stack.push_back(Frame{std::move(child), 0, count});
    }
    return copy;
}

std::wstring DumpNode(const EkNodePtr& node) {
    if (!node) {
        return L"EkNode[<null>]";
    }
    return DumpNode(node, HiddenAttributes());
}

std::wstring DumpNode(const EkNodePtr& node, const HiddenAttributeTable& table) {
    if (!node) {
        return L"EkNode[<null>]";
    }
    const EkNodePtr masked = MaskHiddenAttributes(node, table);
    const EkNodePtr& shown = masked ? masked : node;
    // One string, written once: a dump may be long (a deep session's page list).
    std::wstring dump = L"EkNode[" + HexAddress(shown.Get()) + L"]:\r\n";
    AppendDumpText(dump, shown);
    return dump;
}

} // namespace Logging
