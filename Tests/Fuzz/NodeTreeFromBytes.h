// Node trees read from the fuzzer's bytes: names, types, attributes of every value type code
// (with values of the wrong type or not well formed) and children, drawn partly from a vocabulary
// of the names the code under test looks for.
#pragma once

#include "NodeTree/EkNodePtr.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

namespace Fuzz {

// Texts worth trying; any list may be empty (random texts are used then).
struct NodeVocabulary {
    std::vector<std::wstring> names;      // node names and node types
    std::vector<std::wstring> attributes; // attribute names
    std::vector<std::wstring> texts;      // attribute texts and list members
};

// A text from the vocabulary or from the bytes.
std::wstring TextFromBytes(FuzzedDataProvider& input, const std::vector<std::wstring>& vocabulary);

// Sets one attribute of a type code chosen by the bytes (a known one mostly, any 16-bit code at
// times) with a value read from the bytes. Values that the node library refuses (an image that
// is not well formed for its type) are left out.
void SetAttributeFromBytes(FuzzedDataProvider& input, const NodeVocabulary& vocabulary,
                           const EkNodePtr& node, const std::wstring& name);

// Up to `most` attributes with names from the vocabulary (or the bytes), each as
// SetAttributeFromBytes sets it.
void SetAttributesFromBytes(FuzzedDataProvider& input, const NodeVocabulary& vocabulary,
                            const EkNodePtr& node, size_t most);

// A node with its attributes and, while `depth` allows, children; at most `budget` nodes in all
// (decremented).
EkNodePtr NodeTreeFromBytes(FuzzedDataProvider& input, const NodeVocabulary& vocabulary, int depth,
                            int& budget);

} // namespace Fuzz
