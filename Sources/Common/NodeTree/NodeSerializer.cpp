#include "NodeTree/NodeSerializer.h"

#include "ErrorHandling/ComMethodBoundary.h"

#include <vector>

CNodeSerializer::CNodeSerializer(int32_t type, uint32_t flags, std::string& output)
    : m_output(output) {
    ThrowIfFailed(
        EknStartSerialization(type, flags, &CNodeSerializer::Sink, &m_output, &m_context));
}

CNodeSerializer::~CNodeSerializer() {
    if (m_context != nullptr) {
        EknCloseSerializationContext(m_context);
    }
}

void CNodeSerializer::Serialize(const EkNodePtr* nodes, uint64_t count, int32_t depth) {
    std::vector<void*> handles;
    handles.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        handles.push_back(nodes[i].Get());
    }
    ThrowIfFailed(EknSerializeNodes(m_context, handles.data(), count, depth));
}

void CNodeSerializer::Finalize() {
    ThrowIfFailed(EknFinalizeSerialization(m_context));
}

EKN_HRESULT QUARRY_CALL CNodeSerializer::Sink(const void* data, uint32_t size,
                                              void* context) noexcept {
    return ComMethodBoundary(
        [&] { static_cast<std::string*>(context)->append(static_cast<const char*>(data), size); });
}

std::string SerializeNodesToText(const EkNodePtr* nodes, uint64_t count, uint32_t flags,
                                 int32_t depth) {
    std::string text;
    CNodeSerializer serializer(EKN_SERIALIZATION_XML_TEXT, flags, text);
    if (count != 0) {
        serializer.Serialize(nodes, count, depth);
    }
    serializer.Finalize();
    if (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}
