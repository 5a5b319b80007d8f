// Node trees in log messages: the tree's text serialization under a header with its handle, with
// the attributes named by the HiddenNodeTypeAttrs setting masked.
#pragma once

#include "NodeTree/EkNodePtr.h"

#include <map>
#include <ostream>
#include <set>
#include <string>

namespace Logging {

// Node type name ("*" for every type) -> names of the attributes hidden in dumps.
using HiddenAttributeTable = std::map<std::wstring, std::set<std::wstring>>;

// The text shown instead of a hidden attribute's value.
inline constexpr const wchar_t* HiddenValueMask = L"********";

// Parses the HiddenNodeTypeAttrs form: items separated by ";", each a type name or "*", a colon
// and attribute names separated by ","; blanks, CR, LF and tabs trimmed. An item that is not two
// parts around one ":" throws an HRX with E_INVALIDARG.
HiddenAttributeTable ParseHiddenNodeTypeAttrs(const std::wstring& text);

// The process's table from the setting "Logger" / "HiddenNodeTypeAttrs", built on first use.
const HiddenAttributeTable& HiddenAttributes();

// Null when no attribute of the table is in the node's tree (nothing is copied), else a copy of
// the tree with those attributes set to HiddenValueMask. The node passed in is never changed.
EkNodePtr MaskHiddenAttributes(const EkNodePtr& node, const HiddenAttributeTable& table);

// "EkNode[0x...]:" and the tree's text (without the "<nr>" wrapper) after masking with the
// process's table; "EkNode[<null>]" for null. A malformed setting throws (E_INVALIDARG).
std::wstring DumpNode(const EkNodePtr& node);
// The same with a given table.
std::wstring DumpNode(const EkNodePtr& node, const HiddenAttributeTable& table);

// Writes DumpNode of a node into a log message: LOG_AT(sev, L"Request node: " << NodeDump(n)).
struct NodeDump {
    const EkNodePtr& node;
};

inline std::wostream& operator<<(std::wostream& stream, const NodeDump& dump) {
    return stream << DumpNode(dump.node);
}

} // namespace Logging
