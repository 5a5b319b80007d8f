// A debugging aid: while switched on in the settings, every component object records itself with
// a tag and its creator's return addresses, and Dump writes the objects still alive to the log.
// Switched off (the default) it costs one test per object.
#pragma once

#include "Base/Mutex.h"

#include <array>
#include <cstdint>
#include <map>

class DbgAliveObjectsTracker {
public:
    struct Entry {
        const char* tag;
        std::array<void*, 4> frames;
    };

    DbgAliveObjectsTracker(bool enabled, uint32_t framesToSkip) noexcept;
    ~DbgAliveObjectsTracker();
    DbgAliveObjectsTracker(const DbgAliveObjectsTracker&) = delete;
    DbgAliveObjectsTracker& operator=(const DbgAliveObjectsTracker&) = delete;

    // The process's tracker, created on first use with the settings of that moment.
    static DbgAliveObjectsTracker& Instance();

    // Records an object (a static tag text); an earlier entry for the address is replaced.
    void Add(const void* object, const char* tag) noexcept;
    void Remove(const void* object) noexcept;
    // Writes the count and one line per live object at WARN; never fails.
    void Dump() noexcept;

    bool Enabled() const noexcept { return m_enabled; }
    size_t Count() const;

private:
    bool m_enabled;
    uint32_t m_framesToSkip;
    mutable Base::Mutex m_lock;
    std::map<const void*, Entry> m_table GUARDED_BY(m_lock);
};
