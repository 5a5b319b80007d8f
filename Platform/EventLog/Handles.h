// The Event Log handles of the process (EVT_HANDLEs and the classic functions' handles), checked:
// a handle is a tagged slot number with its kind and a generation, so a closed handle, a handle of
// another kind or garbage is recognised without dereferencing anything.
#pragma once

#include "Store.h"

#include "Base/Mutex.h"
#include "Win32/WinEvt.h"

#include <memory>
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

// An object that hands out event handles (a result set or a subscription); its event handles
// live only as long as it is open.
struct EventHandleOwner : HandleObject {
    std::shared_ptr<Store> store;
};

struct EventRef {
    Channel* channel = nullptr;
    uint32_t index = 0;
    uint32_t ownerSlot = 0;
    uint32_t ownerGeneration = 0;
};

class EventLogHandleTable {
public:
    // The kind a handle was made for, read from its bits alone: Free for what is no handle of
    // this table. Whether it is still open takes a look into the table.
    static HandleKind KindOf(EVT_HANDLE handle) noexcept;

    [[nodiscard]] EVT_HANDLE Add(HandleKind kind, std::shared_ptr<HandleObject> object);
    // An event handle owned by the open object `owner`.
    [[nodiscard]] EVT_HANDLE AddEvent(EVT_HANDLE owner, Channel* channel, uint32_t index);
    // The object behind a handle of the given kind, or null.
    std::shared_ptr<HandleObject> Get(EVT_HANDLE handle, HandleKind kind) const;
    // The event behind an event handle whose owner is still open, and that owner.
    bool GetEvent(EVT_HANDLE handle, EventRef& event,
                  std::shared_ptr<EventHandleOwner>& owner) const;
    bool Close(EVT_HANDLE handle);
    size_t OpenCount() const;

private:
    struct Slot {
        uint32_t generation = 1;
        HandleKind kind = HandleKind::Free;
        std::shared_ptr<HandleObject> object;
        EventRef event;
    };
    bool Decode(EVT_HANDLE handle, uint32_t& slot) const REQUIRES(m_mutex);
    EVT_HANDLE Encode(uint32_t slot) const REQUIRES(m_mutex);
    uint32_t Allocate() REQUIRES(m_mutex);

    mutable Base::Mutex m_mutex;
    std::vector<Slot> m_slots GUARDED_BY(m_mutex);
    std::vector<uint32_t> m_free GUARDED_BY(m_mutex);
    size_t m_open GUARDED_BY(m_mutex) = 0;
};

// The one table of the library.
EventLogHandleTable& EventLogHandles();

} // namespace PalEventLog
