// Node trees as JSON, losslessly: names, types, typed attributes in their order and children in
// their order. One node is an object:
//
//   {"name": "GetDataRequest", "type": "", "attributes": [...], "children": [...]}
//
// "type", "attributes" and "children" may be left out when empty. Each attribute is
// {"name": N, "type": T, "value": V} with T the node library's type code and V by type:
//
//   2      string                      0x102  array of strings
//   3, 4   integer (32-bit signed,     0x103, 0x104  arrays of such integers
//          unsigned)
//   6      64-bit integer as a decimal 0x106  array of them
//          string (JSON numbers lose
//          precision past 2^53); a
//          number is accepted too
//   7      true or false               13     GUID "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
//
// Any other 16-bit type code carries its byte image as hexadecimal digits in "hex" instead of
// "value". Texts are UTF-8 in JSON and UTF-16 in the node library; a lone surrogate in a node's
// text is written as U+FFFD.
#pragma once

#include "NodeTree/EkNodePtr.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace HalyardHost {

// JSON that does not describe a node tree; the text names the place and the reason, e.g.
// "children[1].attributes[0].value: type 3 needs a 32-bit signed integer".
class NodeJsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The deepest tree accepted from JSON (the module's own trees are a few levels deep), and the
// most attributes and children a node may have there.
constexpr int MaxNodeJsonDepth = 64;
constexpr size_t MaxNodeJsonAttributes = 256;
constexpr size_t MaxNodeJsonChildren = 1000;

// The JSON form of a node and its subtree as compact text (nlohmann's dump(-1) of NodeToJson),
// written straight from the tree.
std::string NodeToJsonText(const EkNodePtr& node);
// The JSON form of a node and its subtree.
nlohmann::ordered_json NodeToJson(const EkNodePtr& node);
// A new root node built from its JSON form; raises NodeJsonError for anything malformed, before
// any node is handed out.
EkNodePtr NodeFromJson(const nlohmann::ordered_json& json);

} // namespace HalyardHost
