// The Event Log handles of the process (EVT_HANDLEs and the classic functions' handles), checked:
// a handle is a tagged slot number with its kind and a generation, so a closed handle, a handle of
// another kind or garbage is recognised without dereferencing anything.
#pragma once

#include "PalEventLog/Store/Store.h"

#include "Base/Mutex.h"
#include "Win32/WinEvt.h"

#include <array>
#include <atomic>
#include <memory>
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
    ClassicLog,    // OpenEventLogW
    ClassicSource, // RegisterEventSourceW
    EventMetadataEnum,
    EventMetadata,
    ObjectArray // a publisher's channels, levels, tasks, opcodes or keywords
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

// The handles of the process. The table is split into shards, each under a lock of its own:
// objects are entered in the shard of the thread that opens them, and event handles in the shard
// of the object that hands them out, so that threads working on their own result sets do not
// wait for one another. Event sources have a shard of their own: a writer looks its source up
// for every event it reports, and must not wait behind readers that work in a thread's shard.
class EventLogHandleTable {
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
    bool GetEvent(EVT_HANDLE handle, EventRef& event,
                  std::shared_ptr<EventHandleOwner>& owner) const;

    // What UseEvent finds: null where a handle is not open.
    struct EventInUse {
        EventRef event;
        const Store* store = nullptr; // the store of the event's owner; null: no event
        HandleObject* object = nullptr;
        // References the call holds itself where its thread keeps none any more: in code that runs
        // after the thread's thread-locals are gone (a static object's destructor at exit).
        std::shared_ptr<Store> heldStore;
        std::shared_ptr<HandleObject> heldObject;
        const Event& Get() const { return event.channel->events[event.index]; }
    };
    // GetEvent, and Get of `object` unless it is null, for the calls made for every event read
    // (EvtRender with its render context, EvtFormatMessage with its publisher metadata): under
    // one lock when the two handles share a shard, and without taking references. The calling
    // thread keeps the event's store and the object instead, until a later UseEvent finds
    // others, so that they stay valid for the rest of its call even if their handles are closed
    // meanwhile: a thread keeps one store, and an object per slot number modulo kKeptObjects.
    // Close forgets what the closing thread keeps of the object it closes, and the store of the
    // result set or subscription it closes. Once the thread's thread-locals are destroyed, the use
    // holds the references itself.
    void UseEvent(EVT_HANDLE event, EVT_HANDLE object, HandleKind kind, EventInUse& use) const;
    bool Close(EVT_HANDLE handle);
    size_t OpenCount() const;

private:
    struct Slot {
        uint32_t generation = 1;
        HandleKind kind = HandleKind::Free;
        std::shared_ptr<HandleObject> object;
        EventRef event; // ownerSlot: the owner's index in the same shard
    };
    struct alignas(64) Shard {
        mutable Base::SpinLock lock;
        std::vector<Slot> slots GUARDED_BY(lock);
        std::vector<uint32_t> free GUARDED_BY(lock);
        size_t open GUARDED_BY(lock) = 0;

        // The index of an open slot that the handle names, if it names one of this shard.
        bool Decode(EVT_HANDLE handle, uint32_t& index) const REQUIRES(lock);
        // The slot of the open owner of an open event handle of this shard, with the event; null
        // for any other handle.
        const Slot* OwnerOfEvent(EVT_HANDLE handle, EventRef& event) const REQUIRES(lock);
        EVT_HANDLE Encode(uint32_t shard, uint32_t index) const REQUIRES(lock);
        uint32_t Allocate() REQUIRES(lock);
    };
    // What a thread keeps for UseEvent; released with the thread.
    static constexpr uint32_t kKeptObjects = 16;
    struct Kept {
        std::shared_ptr<Store> store;
        std::array<std::shared_ptr<HandleObject>, kKeptObjects> objects;
    };
    // The calling thread's Kept (ThreadObject); null once it is destroyed with the thread.
    static Kept* ThreadKept() noexcept;
    // UseEvent's halves, under the lock of the handle's shard. What the thread kept before and
    // keeps no more is moved to `released`, to be released outside the lock; without a Kept the
    // use holds its references itself.
    static void UseEventOf(const Shard& shard, EVT_HANDLE handle, Kept* kept, EventInUse& use,
                           std::shared_ptr<Store>& released) REQUIRES(shard.lock);
    static void UseObjectOf(const Shard& shard, EVT_HANDLE handle, HandleKind kind, Kept* kept,
                            EventInUse& use, std::shared_ptr<HandleObject>& released)
        REQUIRES(shard.lock);

    static constexpr uint32_t kShardBits = 4;
    static constexpr uint32_t kShards = 1u << kShardBits;
    static constexpr uint32_t kSourceShard = 0;
    static constexpr uint32_t kFirstThreadShard = 1;

    // The shard a handle's bits name; kShards for what is no handle of this table.
    static uint32_t ShardOf(EVT_HANDLE handle) noexcept;
    // The shard of the calling thread.
    static uint32_t ThreadShard() noexcept;

    std::array<Shard, kShards> m_shards;
};

// The one table of the library.
EventLogHandleTable& EventLogHandles();

} // namespace PalEventLog
