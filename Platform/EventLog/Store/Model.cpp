// The string pool and the channel's lookups of the store's data model.
#include "PalEventLog/Store/Model.h"

#include <algorithm>

namespace PalEventLog {

StringPool::StringPool() {
    m_strings.emplace_back(); // id 0: absent
}

StrId StringPool::Intern(std::wstring_view text) {
    if (text.empty()) {
        return 0;
    }
    auto found = m_index.find(text);
    if (found != m_index.end()) {
        return found->second;
    }
    const auto id = static_cast<StrId>(m_strings.size());
    const std::wstring& stored = m_strings.emplace_back(text);
    m_index.emplace(std::wstring_view(stored), id);
    return id;
}

size_t Channel::LowerBound(uint64_t recordId) const noexcept {
    // Record ids usually run without gaps: the index they give is tried first (a classic reader
    // seeks to a record for every event it reads).
    const size_t count = events.size();
    if (count > 0 && recordId >= events[0].recordId) {
        const uint64_t guess = recordId - events[0].recordId;
        if (guess < count && events[guess].recordId == recordId &&
            (guess == 0 || events[guess - 1].recordId < recordId)) {
            return static_cast<size_t>(guess);
        }
    }
    auto it = std::lower_bound(events.begin(), events.end(), recordId,
                               [](const Event& e, uint64_t id) { return e.recordId < id; });
    return static_cast<size_t>(it - events.begin());
}

} // namespace PalEventLog
