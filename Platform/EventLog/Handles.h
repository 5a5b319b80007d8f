// Checked Evt handles: a handle is a tagged slot number with its kind and a generation, so a closed
// handle, a handle of another kind or garbage is recognised without dereferencing anything.
#pragma once

#include "Store.h"

#include "Win32/WinEvt.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace PalEventLog {

enum class HandleKind : uint8_t {
    Free,
    ResultSet,
    Event,
    Bookmark,
    RenderContext,
    PublisherMetadata,
    ChannelConfig,
    Subscription,
    ClassicLog,   // OpenEventLogW
    ClassicSource // RegisterEventSourceW
};

struct HandleObject {
    virtual ~HandleObject() = default;
};

// An object that hands out event handles (a result set, later a subscription); its event handles
// live only as long as it is open.
struct EventSource : HandleObject {
    std::shared_ptr<Store> store;
};

struct EventRef {
    Channel* channel = nullptr;
    uint32_t index = 0;
    uint32_t ownerSlot = 0;
    uint32_t ownerGeneration = 0;
};

class HandleTable {
public:
    // The kind a handle was made for, read from its bits alone: Free for what is no handle of
    // this table. Whether it is still open takes a look into the table.
    static HandleKind KindOf(EVT_HANDLE handle) noexcept;

    [[nodiscard]] EVT_HANDLE Add(HandleKind kind, std::shared_ptr<HandleObject> object);
    // An event handle owned by the open object `owner`.
    [[nodiscard]] EVT_HANDLE AddEvent(EVT_HANDLE owner, Channel* channel, uint32_t index);
    // Handles of `count` events of `owner` into `out`, under one lock: all of them, or none when
    // the owner is closed. Returns how many were made.
    [[nodiscard]] size_t AddEvents(EVT_HANDLE owner, const std::pair<Channel*, uint32_t>* events,
                                   size_t count, EVT_HANDLE* out);
    // The object behind a handle of the given kind, or null.
    std::shared_ptr<HandleObject> Get(EVT_HANDLE handle, HandleKind kind) const;
    // The event behind an event handle whose owner is still open, and that owner.
    bool GetEvent(EVT_HANDLE handle, EventRef& event, std::shared_ptr<EventSource>& owner) const;
    bool Close(EVT_HANDLE handle);
    size_t OpenCount() const;

private:
    struct Slot {
        uint32_t generation = 1;
        HandleKind kind = HandleKind::Free;
        std::shared_ptr<HandleObject> object;
        EventRef event;
    };
    bool Decode(EVT_HANDLE handle, uint32_t& slot) const;
    EVT_HANDLE Encode(uint32_t slot) const;
    uint32_t Allocate();

    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
    size_t open_ = 0;
};

HandleTable& Handles();

} // namespace PalEventLog
