#include "Helpers/RequestProcessingUtils.h"

#include "Logging/NodeDump.h"

namespace RequestProcessing {

namespace {

constexpr wchar_t ContinuationMark[] = L"ContinuationMark";

// The flat attribute names and their partners on the "ContinuationMark" child, in this order.
struct PagingPair {
    const wchar_t* flat;
    const wchar_t* child;
};
constexpr PagingPair PagingPairs[] = {
    {L"SessionId", L"SessionId"},
    {L"ContinuationMark", L"Position"},
    {L"EventsCount", L"Count"},
};

constexpr uint32_t DefaultEventsCount = 1000;

} // namespace

GUID NewGuid() {
    GUID guid{};
    const RPC_STATUS status = UuidCreate(&guid);
    const bool usable = status == RPC_S_OK ||
                        ((status == RPC_S_UUID_LOCAL_ONLY || status == RPC_S_UUID_NO_ADDRESS) &&
                         !(guid == GUID_NULL));
    if (!usable) {
        RaiseError(HresultFromWin32(static_cast<DWORD>(status)));
    }
    return guid;
}

void NormalizePagingPosition(const EkNodePtr& node) {
    const EkNodePtr mark = node.GetChildByName(ContinuationMark, false);
    if (mark) {
        std::vector<uint8_t> scratch;
        for (const PagingPair& pair : PagingPairs) {
            if (!node.HasAttribute(pair.flat) && mark.HasAttribute(pair.child)) {
                CopyAttribute(pair.child, mark, pair.flat, node, scratch);
            }
        }
        const EkNodePtr events = node.GetChildByName(L"Events", false);
        if (events && mark.HasAttribute(L"Position")) {
            CopyAttribute(L"Position", mark, ContinuationMark, events, scratch);
        }
        return;
    }
    const EkNodePtr created = EkNodePtr::CreateNode(ContinuationMark, nullptr);
    node.AddChild(created);
    GUID sessionId{};
    created.SetAttribute(L"SessionId",
                         node.GetAttribute(L"SessionId", sessionId) ? sessionId : NewGuid());
    created.SetAttribute(L"Position", static_cast<int64_t>(node.GetUInt32(ContinuationMark, 0)));
    created.SetAttribute(L"Count",
                         static_cast<int64_t>(node.GetUInt32(L"EventsCount", DefaultEventsCount)));
}

void RaiseUnknownRequest(const EkNodePtr& request) {
    LOG_AT(Logging::LOG_ERR, L"Unknown request: " << Logging::NodeDump{request});
    RaiseError(HR_UNKNOWN_REQUEST);
}

} // namespace RequestProcessing
