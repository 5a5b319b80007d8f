// Serialization of nodes as XML text (serialization type 1).
//
// The output is UTF-8: "<nr>", one element per serialized node, then "</nr>" when the context is
// finalized. A node is written as
//   <node name="NAME" type="TYPE">ATTRIBUTES CHILDREN</node>   (or <node .../> when empty)
// and each attribute, in the order it was first set, as
//   <attr name="NAME" type="CODE">VALUE</attr>
// with CODE the decimal value type code and VALUE by type: the text (2); decimal (3, 4, 6);
// "true"/"false" (7); the braced upper-case GUID (13); one <item>VALUE</item> per member of a
// list of texts or element of an array (0x102, 0x103, 0x104, 0x106); lower-case hexadecimal of
// the bytes for any other type code. Children follow the attributes, down to the depth asked
// for (0 = the node alone, EKN_DEPTH_ALL = the whole subtree).
// Texts are escaped for XML: & < > " as entities; TAB, LF and CR inside attribute values and any
// other control character everywhere as numeric character references; unpaired surrogates become
// U+FFFD.
// Flag bit 0x1 puts every element on its own line (CR LF) indented by two blanks per level;
// other flag bits are accepted and have no effect.
#pragma once

#include "Node.h"

#include <string>

namespace Quarry {

// Appends the XML of `node` and `depth` levels of its descendants. The caller holds the node's
// tree lock. Throws std::bad_alloc.
void AppendNodeXml(std::string& out, const Node& node, int32_t depth, uint32_t flags);

// A serialization context: collects text and hands it to the sink in chunks of at most
// kChunkSize bytes. Used by one thread at a time.
class SerializationContext {
public:
    static constexpr uint32_t kMagic = 0x5365726C; // "Serl"
    static constexpr size_t kChunkSize = 4096;

    SerializationContext(uint32_t flags, EKN_SINK sink, void* sinkContext);

    // Writes the nodes (each under its tree lock) and passes every full chunk to the sink.
    // A failure of the sink is returned and is returned again by every later call.
    EKN_HRESULT Serialize(const Node* const* nodes, size_t count, int32_t depth);
    // Closes the text and passes everything that is left to the sink.
    EKN_HRESULT Finalize();

    uint32_t magic = kMagic;

private:
    EKN_HRESULT Deliver(bool all);

    uint32_t m_flags;
    EKN_SINK m_sink;
    void* m_sinkContext;
    std::string m_pending;
    EKN_HRESULT m_failure = 0;
    bool m_finalized = false;
};

} // namespace Quarry
