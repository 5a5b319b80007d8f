// The store folder as other processes share it: events written to a channel's file of written
// events under a file lock, and the watcher that picks up what others append to the folder's files.
#include "PalEventLog/Store/Store.h"

#include "PalEventLog/Evtx/EvtxReader.h"
#include "PalEventLog/Store/EventXml.h"
#include "PalSupport/PosixHandles.h"

#include "Base/CFunctionBoundary.h"
#include "Win32/WinError.h"

#include <pugixml.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <optional>

namespace PalEventLog {

namespace {

// A file opened for appending with an exclusive advisory lock, so that writers in several
// processes append whole events one after another; closing it releases the lock. Empty, with
// errno set, when it cannot be opened or locked.
Pal::UniqueFd OpenLocked(const std::filesystem::path& path) {
    Pal::UniqueFd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (file && ::flock(file.Get(), LOCK_EX) != 0) {
        file.Reset();
    }
    return file;
}

// The file of written events of a channel: its name with '/' as "%4", as Windows names log files.
std::string WrittenFileName(std::wstring_view channel) {
    std::string name;
    for (const char c : Base::Utf8FromWide(channel)) {
        if (c == '/') {
            name += "%4";
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
                   c == '.' || c == ' ') {
            name += c;
        } else {
            name += '_';
        }
    }
    return name + ".written.xml";
}

} // namespace

bool Store::Write(std::wstring_view channelName,
                  const std::function<std::string(uint64_t)>& makeXml, DWORD& error) {
    ParsedEvent parsed;
    return WriteEvent(
        channelName,
        [&](uint64_t recordId, std::string& xml) -> const ParsedEvent* {
            const size_t at = xml.size();
            xml += makeXml(recordId);
            pugi::xml_document document;
            std::wstring problem;
            return document.load_buffer(xml.data() + at, xml.size() - at) &&
                           ParseEventXml(document.document_element(), parsed, problem)
                       ? &parsed
                       : nullptr;
        },
        error);
}

bool Store::Write(std::wstring_view channelName, WrittenEvent& event, DWORD& error) {
    return WriteEvent(
        channelName,
        [&](uint64_t recordId, std::string& xml) -> const ParsedEvent* {
            char digits[24];
            const auto end = std::to_chars(std::begin(digits), std::end(digits), recordId).ptr;
            xml.append(event.xmlHead).append(digits, end).append(event.xmlTail);
            event.parsed.values.recordId = recordId;
            event.parsed.values.present |= kHasRecordId;
            return &event.parsed;
        },
        error);
}

template <class MakeEvent>
bool Store::WriteEvent(std::wstring_view channelName, const MakeEvent& make, DWORD& error) {
    // The channels that gained events, in the thread's buffer kept from one event to the next (a
    // new one for a listener that writes while it is told).
    thread_local std::vector<const Channel*> spare;
    std::vector<const Channel*> changed = std::move(spare);
    changed.clear();
    {
        WriteLock lock(*this);
        // Events written and those other processes appended follow the channel's last one.
        const Following following(*this);
        error = WriteLocked(channelName, make, changed);
    }
    // Events other writers appended are announced even when this one failed.
    Notify(changed);
    changed.clear();
    spare = std::move(changed);
    DeliverProblems();
    return error == ERROR_SUCCESS;
}

template <class MakeEvent>
DWORD Store::WriteLocked(std::wstring_view channelName, const MakeEvent& make,
                         std::vector<const Channel*>& changed) {
    Channel& channel = GetOrAddChannel(channelName);
    Pal::UniqueFd file;
    WrittenFile* written = nullptr;
    uint64_t sizeBefore = 0;
    if (!m_folder.empty()) {
        auto found = m_writtenFiles.find(&channel);
        if (found == m_writtenFiles.end()) {
            std::filesystem::path path = m_folder / WrittenFileName(channel.name);
            FileState& state = m_files[path];
            found = m_writtenFiles.emplace(&channel, WrittenFile{std::move(path), &state}).first;
        }
        written = &found->second;
        file = OpenLocked(written->path);
        if (!file && errno == ENOENT) {
            std::error_code ec;
            std::filesystem::create_directories(m_folder, ec); // a store folder not there yet
            file = OpenLocked(written->path);
        }
        if (!file) {
            return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
        }
        // What other processes appended to this file comes first.
        bool shrank = false;
        bool unreadable = false;
        const std::vector<const Channel*> appended = IngestFile(written->path, shrank, &unreadable);
        changed.insert(changed.end(), appended.begin(), appended.end());
        if (unreadable) {
            // Its events could not be read: where they end is unknown, and an event written now
            // could be read twice or lost.
            return ERROR_READ_FAULT;
        }
        struct stat info {};
        sizeBefore = ::fstat(file.Get(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    }
    const uint64_t recordId = channel.events.empty() ? 1 : channel.events.back().recordId + 1;
    // The event's line, after a line break that is written only after an abandoned event.
    std::string& xml = m_writeXml;
    xml.assign(1, '\n');
    const ParsedEvent* parsed = make(recordId, xml);
    LoadReport report;
    Channel* target = parsed != nullptr ? TargetChannel(*parsed, report) : nullptr;
    if (target == nullptr) {
        return ERROR_INVALID_DATA;
    }
    if (file) {
        FileState& state = *written->state;
        xml.push_back('\n');
        size_t skip = 1;
        if (state.consumed < sizeBefore) {
            // Writers append whole events under the file lock, which is ours now: what follows
            // the last complete event was left by a writer that died or failed mid-event. It is
            // ended by a line break and passed over, and the event goes on the next line.
            Report(written->path.filename().wstring() + L": incomplete event at offset " +
                   std::to_wstring(state.consumed) + L" abandoned by its writer; skipped");
            skip = 0;
        }
        const std::string_view text = std::string_view(xml).substr(skip);
        if (::write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        }
        state.consumed = sizeBefore + text.size();
        state.lastSize = state.consumed;
    }
    AddEvent(*target, *parsed);
    RollOver(*target);
    changed.push_back(target);
    return ERROR_SUCCESS;
}

std::vector<const Channel*> Store::Grown(const std::vector<ChannelMark>& before) {
    std::vector<const Channel*> changed;
    for (auto& [channelName, channel] : WriterChannels()) {
        size_t was = 0;
        for (const ChannelMark& mark : before) {
            if (mark.channel == channel.get()) {
                was = mark.events;
            }
        }
        if (channel->events.size() > was) {
            RollOver(*channel);
            changed.push_back(channel.get());
        }
    }
    return changed;
}

std::vector<const Channel*> Store::IngestEvtx(const std::filesystem::path& file, uint64_t size) {
    FileState& state = m_files[file];
    const std::wstring name = file.filename().wstring();
    state.lastSize = state.consumed = size;
    std::error_code timeError;
    state.evtxTime = std::filesystem::last_write_time(file, timeError);
    const int count = EvtxRecordCount(file);
    if (count < 0) {
        if (!state.reportedProblem) {
            state.reportedProblem = true;
            Report(name + L": cannot be read; its events read so far stay");
        }
        return {};
    }
    state.reportedProblem = false;
    if (count < state.evtxRecords) {
        Report(name + L": now has " + std::to_wstring(count) + L" records, had " +
               std::to_wstring(state.evtxRecords) + L"; its events read so far stay");
        state.evtxRecords = count;
        return {};
    }
    if (count == state.evtxRecords) {
        return {};
    }
    const auto before = Marks();
    LoadReport report;
    LoadEvtxFile(file, report, {}, std::max(state.evtxRecords, 0));
    for (auto& problem : report.problems) {
        Report(problem);
    }
    return Grown(before);
}

std::vector<const Channel*> Store::IngestFile(const std::filesystem::path& file, bool& shrank,
                                              bool* unreadable) {
    if (LowerCaseExtension(file) == ".evtx") {
        std::error_code ec;
        const uint64_t size = std::filesystem::file_size(file, ec);
        return IngestEvtx(file, ec ? 0 : size);
    }
    FileState& state = m_files[file];
    // Made only for a report: a writer reads its file before every event it writes.
    const auto name = [&file] { return file.filename().wstring(); };
    // A file that cannot be read is reported once until it can be read again.
    auto cannotRead = [&](const std::wstring& why) {
        if (unreadable != nullptr) {
            *unreadable = true;
        }
        if (!state.reportedProblem) {
            state.reportedProblem = true;
            Report(name() + L": cannot be read" + why + L"; its events read so far stay");
        }
    };
    std::error_code ec;
    const uint64_t size = std::filesystem::file_size(file, ec);
    if (ec) {
        cannotRead(L" (" + Base::WideFromUtf8(ec.message()) + L")");
        return {};
    }
    if (size < state.consumed) {
        shrank = true;
        Report(name() + L": shrank from " + std::to_wstring(state.consumed) + L" to " +
               std::to_wstring(size) + L" bytes; its events read so far stay");
        state.consumed = size;
        state.lastSize = size;
        return {};
    }
    if (size == state.consumed) {
        state.lastSize = size;
        return {};
    }
    std::string bytes(static_cast<size_t>(size - state.consumed), '\0');
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(state.consumed));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!in) {
        cannotRead({});
        return {};
    }
    state.reportedProblem = false;
    const size_t end = bytes.rfind(kEventEndTag);
    if (end == std::string::npos) {
        // Only part of an event so far; a writer may still be at it. Reported when the file
        // stays that way for a whole scan.
        if (size == state.lastSize && !state.reportedIncomplete) {
            state.reportedIncomplete = true;
            Report(name() + L": incomplete event at offset " + std::to_wstring(state.consumed) +
                   L"; read when it is complete");
        }
        state.lastSize = size;
        return {};
    }
    state.reportedIncomplete = false;
    const auto before = Marks();
    LoadReport report;
    LoadEventChunk(std::string_view(bytes).substr(0, end + kEventEndTag.size()), report);
    for (auto& problem : report.problems) {
        Report(name() + L": " + problem);
    }
    state.consumed += EndOfEvents(bytes, end);
    state.lastSize = size;
    return Grown(before);
}

void Store::Rescan() {
    if (m_folder.empty()) {
        return;
    }
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder, ec)) {
        const std::string name = entry.path().filename().string();
        const std::string extension = LowerCaseExtension(entry.path());
        if ((extension == ".xml" && name != "publishers.xml" && name != "accounts.xml" &&
             m_metadataFiles.count(entry.path()) == 0) ||
            extension == ".evtx") {
            files.push_back(entry.path());
        }
    }
    // Only files whose size moved are read.
    std::vector<const Channel*> changed;
    std::vector<std::filesystem::path> moved;
    {
        WriteLock lock(*this);
        for (const auto& file : files) {
            std::error_code sizeError;
            const uint64_t size = std::filesystem::file_size(file, sizeError);
            auto found = m_files.find(file);
            const bool log = found != m_files.end() && found->second.evtxRecords >= 0;
            if (sizeError || found == m_files.end() || size != found->second.consumed ||
                size != found->second.lastSize ||
                (log &&
                 std::filesystem::last_write_time(file, sizeError) != found->second.evtxTime)) {
                moved.push_back(file);
            }
        }
        // Events that other processes appended follow the channel's last one.
        const Following following(*this);
        for (const auto& file : moved) {
            bool shrank = false;
            for (const Channel* c : IngestFile(file, shrank)) {
                changed.push_back(c);
            }
        }
    }
    if (moved.empty()) {
        return;
    }
    Notify(changed);
    DeliverProblems();
}

struct FolderWatcher::State {
    Base::Mutex mutex;
    std::condition_variable_any wake;
    bool stop GUARDED_BY(mutex) = false;
};

FolderWatcher::FolderWatcher(std::weak_ptr<Store> store, std::chrono::milliseconds interval)
    : m_state(std::make_shared<State>()) {
    m_thread = std::thread([state = m_state, store = std::move(store), interval] {
        Base::UniqueLock lock(state->mutex);
        while (true) {
            const auto due = std::chrono::steady_clock::now() + interval;
            while (!state->stop &&
                   state->wake.wait_until(lock, due) == std::cv_status::no_timeout) {
            }
            if (state->stop) {
                return;
            }
            lock.unlock();
            // A failed scan (no memory) is retried at the next one.
            Base::CFunctionBoundary(
                [](Base::Thrown) noexcept {},
                [&] {
                    if (const std::shared_ptr<Store> owner = store.lock()) {
                        owner->Rescan();
                    } // the last owner may have let go during the scan: destroyed here
                });
            lock.lock();
        }
    });
}

FolderWatcher::~FolderWatcher() {
    {
        Base::LockGuard lock(m_state->mutex);
        m_state->stop = true;
    }
    m_state->wake.notify_all();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach(); // it sees `stop` when the scan that destroyed the store returns
    } else {
        m_thread.join();
    }
}

Store::~Store() = default;

} // namespace PalEventLog
