#include "Components/DbgAliveObjectsTracker.h"

#include "Base/Mutex.h"
#include "ErrorHandling/ErrorDescription.h"
#include "ErrorHandling/LazyInstance.h"
#include "Logging/LogManager.h"
#include "Platform.h"
#include "Settings/SettingsManager.h"

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
        const bool enabled =
            Settings::ReadSettingInt(L"Debug", L"EnableAliveObjectsTracking", 0) != 0;
        const uint32_t framesToSkip =
            enabled ? Settings::ReadSettingInt(L"Debug", L"AliveObjectsTrackingFramesToSkip", 0)
                    : 0;
        return std::make_unique<DbgAliveObjectsTracker>(enabled, framesToSkip);
    });
}

void DbgAliveObjectsTracker::Add(const void* object, const char* tag) noexcept {
    if (!m_enabled) {
        return;
    }
    Entry entry{tag, {nullptr, nullptr, nullptr, nullptr}};
    RtlCaptureStackBackTrace(m_framesToSkip + 1, 4, entry.frames.data(), nullptr);
    try {
        Base::LockGuard lock(m_lock);
        m_table.insert_or_assign(object, entry);
    } catch (...) {
        // Without memory the object goes unrecorded.
    }
}

void DbgAliveObjectsTracker::Remove(const void* object) noexcept {
    if (!m_enabled) {
        return;
    }
    Base::LockGuard lock(m_lock);
    m_table.erase(object);
}

size_t DbgAliveObjectsTracker::Count() const {
    Base::LockGuard lock(m_lock);
    return m_table.size();
}

void DbgAliveObjectsTracker::Dump() noexcept {
    if (!m_enabled) {
        return;
    }
    Base::LockGuard lock(m_lock);
    if (m_table.empty()) {
        return;
    }
    const size_t count = m_table.size();
    LOG_AT(Logging::LOG_WARN, L"Alive component objects: " << count);
    for (const auto& item : m_table) {
        const void* const object = item.first;
        const Entry& entry = item.second;
        LOG_AT(Logging::LOG_WARN, L"ObjTag='" << entry.tag << L"' Ptr=" << object << L" EIPs="
                                              << FramesText(entry.frames));
    }
}
