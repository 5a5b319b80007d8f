// Node trees in log messages: the tree's text serialization under a header with its handle, with
// the attributes named by the HiddenNodeTypeAttrs setting masked.
#pragma once

#include "NodeTree/EkNodePtr.h"

#include <ostream>
#include <string>

namespace Logging {

// "EkNode[0x...]:" and the tree's text (without the "<nr>" wrapper); "EkNode[<null>]" for null.
std::wstring DumpNode(const EkNodePtr& node);

// Writes DumpNode of a node into a log message: LOG_AT(sev, L"Request node: " << NodeDump(n)).
struct NodeDump {
    const EkNodePtr& node;
};

inline std::wostream& operator<<(std::wostream& stream, const NodeDump& dump) {
    return stream << DumpNode(dump.node);
}

} // namespace Logging
