#include "Components/DbgAliveObjectsTracker.h"

#include "ErrorHandling/ErrorDescription.h"
#include "ErrorHandling/LazyInstance.h"
#include "Logging/LogManager.h"
#include "Platform.h"

#include <memory>

namespace {

LazyInstance<DbgAliveObjectsTracker> g_tracker;

// The frames text: every address in "0x" and 16 hexadecimal digits, separated by ";".
std::wstring FramesText(const std::array<void*, 4>& frames) {
    std::wstring text;
    for (void* frame : frames) {
        if (!text.empty()) {
            text += L';';
        }
        text += HexAddress(frame);
    }
    return text;
}

} // namespace

DbgAliveObjectsTracker::DbgAliveObjectsTracker(bool enabled, uint32_t framesToSkip) noexcept
    : m_enabled(enabled), m_framesToSkip(framesToSkip) {}

DbgAliveObjectsTracker::~DbgAliveObjectsTracker() {
    m_enabled = false;
}

DbgAliveObjectsTracker& DbgAliveObjectsTracker::Instance() {
    return g_tracker.Get([] {
        // Tracking is switched on by the Debug settings; until they are read it stays off.
        return std::make_unique<DbgAliveObjectsTracker>(false, 0);
    });
}

void DbgAliveObjectsTracker::Add(const void* object, const char* tag) noexcept {
    if (!m_enabled) {
        return;
    }
    Entry entry{tag, {nullptr, nullptr, nullptr, nullptr}};
    RtlCaptureStackBackTrace(m_framesToSkip + 1, 4, entry.frames.data(), nullptr);
    try {
        std::lock_guard lock(m_lock);
        m_table.insert_or_assign(object, entry);
    } catch (...) {
        // Without memory the object goes unrecorded.
    }
}

void DbgAliveObjectsTracker::Remove(const void* object) noexcept {
    if (!m_enabled) {
        return;
    }
    std::lock_guard lock(m_lock);
    m_table.erase(object);
}

size_t DbgAliveObjectsTracker::Count() const {
    std::lock_guard lock(m_lock);
    return m_table.size();
}

void DbgAliveObjectsTracker::Dump() noexcept {
    if (!m_enabled) {
        return;
    }
    std::lock_guard lock(m_lock);
    if (m_table.empty()) {
        return;
    }
    LOG_AT(Logging::LOG_WARN, L"Alive component objects: " << m_table.size());
    for (const auto& [object, entry] : m_table) {
        LOG_AT(Logging::LOG_WARN, L"ObjTag='" << entry.tag << L"' Ptr=" << object << L" EIPs="
                                              << FramesText(entry.frames));
    }
}
