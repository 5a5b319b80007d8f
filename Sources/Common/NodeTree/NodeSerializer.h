// Node trees as text through the node library's serializer.
#pragma once

#include "NodeTree/EkNodePtr.h"

#include <string>

// One serialization: every chunk the library delivers is appended to the caller's narrow string.
class CNodeSerializer {
public:
    // Starts a serialization of `type` with `flags` passed through to the library.
    CNodeSerializer(int32_t type, uint32_t flags, std::string& output);
    ~CNodeSerializer();
    CNodeSerializer(const CNodeSerializer&) = delete;
    CNodeSerializer& operator=(const CNodeSerializer&) = delete;

    // Writes `count` nodes down to `depth` levels of children.
    void Serialize(const EkNodePtr* nodes, uint64_t count, int32_t depth);
    // Flushes what remains through the sink.
    void Finalize();

private:
    // The sink the library calls; an exception boundary.
    static EKN_HRESULT QUARRY_CALL Sink(const void* data, uint32_t size, void* context) noexcept;

    std::string& m_output;
    void* m_context = nullptr;
};

// The text of `count` nodes (type-1 serialization with `flags`), without a trailing NUL byte.
std::string SerializeNodesToText(const EkNodePtr* nodes, uint64_t count, uint32_t flags,
                                 int32_t depth);
