// The event store of the Event Log stand-in: channels of compact events loaded once from a folder
// (*.xml event files, *.evtx logs, publishers.xml, accounts.xml), or an empty store in memory.
// The units around it: EventXml (an event element read into its values), EvtxFile (.evtx logs),
// Catalog (publishers and accounts), ListenerList (who is told of changes), StoreCache (parsed
// files kept) and StoreFolder (writing to the folder and watching it).
#pragma once

#include "PalEventLog/Store/Catalog.h"
#include "PalEventLog/Store/ListenerList.h"
#include "PalEventLog/Store/Model.h"
#include "PalEventLog/Store/Text.h"

#include "Base/Mutex.h"

#include "Win32/WinTypes.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pugi {
class xml_node;
}

namespace PalEventLog {

using ProgressFn = std::function<void(size_t eventsLoaded)>;

struct ParsedEvent;
struct WrittenEvent;
class FolderWatcher;

// Writers (loading, appending, the folder's watcher) hold the writers' lock (WriteLock), one at a
// time, and do not exclude readers: events, texts, GUIDs and SIDs are appended to storage that
// never moves and published whole (AppendOnly.h), so a reader sees a prefix of each channel, and
// reading them takes no lock. Only the map of channels is locked: readers hold the store's lock
// shared (ReadLock) to look a channel up, and a new channel takes it exclusively for the moment
// it is entered. A Channel, once entered, stays for the store's life.
class Store : public std::enable_shared_from_this<Store> {
public:
    // Holds the store's lock shared for its scope.
    class SCOPED_CAPABILITY ReadLock : Base::SharedLockGuard<Base::ReadMostlyMutex> {
    public:
        explicit ReadLock(const Store& store) ACQUIRE_SHARED(store.m_mutex)
            : SharedLockGuard(store.m_mutex) {}
        ~ReadLock() RELEASE() = default;
    };

    // Holds the writers' lock for its scope: the thread may load and append.
    class SCOPED_CAPABILITY WriteLock : Base::LockGuard<Base::Mutex> {
    public:
        explicit WriteLock(Store& store) ACQUIRE(store.m_writeMutex)
            : LockGuard(store.m_writeMutex) {}
        ~WriteLock() RELEASE() = default;
    };

    // The lock, for the annotations of functions that need it held; nothing can take it through
    // this reference.
    const Base::ReadMostlyMutex& Mutex() const noexcept RETURN_CAPABILITY(m_mutex) {
        return m_mutex;
    }

    // An empty store in memory with the channels every Windows machine has.
    Store();
    // Loads every *.xml, *.evtx, publishers.xml and accounts.xml of a folder. Unreadable files and
    // events are reported and skipped; the store is usable whatever they hold.
    static std::shared_ptr<Store> Open(const std::filesystem::path& folder, LoadReport* report,
                                       const ProgressFn& progress = {});
    // One log file as a store of its own, all its events in one channel named by the path.
    static std::shared_ptr<Store> OpenLogFile(const std::filesystem::path& file,
                                              LoadReport* report);

    // Loading steps, also used by tools that build stores. The caller holds a WriteLock.
    void LoadEventFile(const std::filesystem::path& file, LoadReport& report,
                       const ProgressFn& progress = {}) REQUIRES(m_writeMutex);
    // Loads the records of a log from `firstRecord` on; the count of records is remembered for
    // the watcher, which loads those a writer adds later.
    void LoadEvtxFile(const std::filesystem::path& file, LoadReport& report,
                      const ProgressFn& progress = {}, int firstRecord = 0) REQUIRES(m_writeMutex);
    void LoadEventXmlText(std::string_view xml, LoadReport& report) REQUIRES(m_writeMutex);
    // Events one after another: parsed together, or one by one when the whole does not parse.
    void LoadEventChunk(std::string_view chunk, LoadReport& report) REQUIRES(m_writeMutex);
    // Adds an <Event> element to the channel its System/Channel names (or the log file's).
    bool AddEventXml(const pugi::xml_node& event, LoadReport& report) REQUIRES(m_writeMutex);
    // The catalog's files; the channels publishers.xml declares are created.
    void LoadPublishers(const std::filesystem::path& file, LoadReport& report)
        REQUIRES(m_writeMutex);
    void LoadAccounts(const std::filesystem::path& file, LoadReport& report) REQUIRES(m_writeMutex);
    // Whether an .xml file holds provider metadata (ProviderExport.h) rather than events.
    static bool IsProviderExportFile(const std::filesystem::path& file);
    // Orders every channel by record id; called once loading is done.
    void Finish() REQUIRES(m_writeMutex);

    // The store's cache of one event file: its events in compact binary form, valid while the
    // file keeps its size and modification time. Loading a cached file is many times faster
    // than parsing it again.
    struct ChannelMark {
        Channel* channel;
        size_t events;
        size_t items;
        size_t text;
    };
    std::vector<ChannelMark> Marks() const REQUIRES(m_writeMutex);
    // Loads the events a valid cache holds for `source`, and where its complete events end;
    // false when there is none.
    bool LoadCache(const std::filesystem::path& source, const std::filesystem::path& cache,
                   LoadReport& report, uint64_t& consumed) REQUIRES(m_writeMutex);
    // Writes what loading `source` added since `before` (and the problems from `problemsBefore`).
    void WriteCache(const std::filesystem::path& source, const std::filesystem::path& cache,
                    const std::vector<ChannelMark>& before, const LoadReport& report,
                    size_t problemsBefore) const REQUIRES(m_writeMutex);

    // Appends an event to the channel its System/Channel names, after the channel's last event.
    // Open result sets see it; listeners are told. Takes the lock itself.
    bool Append(std::string_view eventXml) EXCLUDES(m_writeMutex);
    // Writes a new event to a channel: `makeXml` receives the record id the event gets (one above
    // the channel's last) and returns its event XML. With a folder the event is also appended to
    // the channel's file of written events there. False with a Win32 code in `error`.
    bool Write(std::wstring_view channel, const std::function<std::string(uint64_t)>& makeXml,
               DWORD& error) EXCLUDES(m_writeMutex);
    // The same for an event whose values the writer made itself, without reading its XML again:
    // its record id is set here. Takes no memory of its own once the channel's file is known, so
    // that a writer does not wait for the allocator's locks that readers hold.
    bool Write(std::wstring_view channel, WrittenEvent& event, DWORD& error) EXCLUDES(m_writeMutex);

    // Events that other processes append to the folder's event files are picked up by a watcher
    // thread (started by Open) every `interval`; Rescan does one pass at once. Problems met (a
    // file that shrank or cannot be read, an event that stays incomplete) are reported to the
    // problem listeners and kept in Problems(); the store goes on serving what it has.
    void Rescan() EXCLUDES(m_writeMutex);
    std::vector<std::wstring> Problems() const EXCLUDES(m_problemsMutex);
    using ProblemListeners = ListenerList<const std::wstring&>;
    // Problems met from now on are handed to the listener (outside the store's locks) until the
    // registration is undone.
    [[nodiscard]] ProblemListeners::Registration
    AddProblemListener(ProblemListeners::Listener listener);
    const std::filesystem::path& Folder() const noexcept { return m_folder; }
    // Stops the folder's watcher (see FolderWatcher).
    ~Store();
    using ChangeListeners = ListenerList<const Channel&>;
    // A channel that gained events is handed to the listener (outside the store's locks) until the
    // registration is undone.
    [[nodiscard]] ChangeListeners::Registration AddListener(ChangeListeners::Listener listener);

    // Lookups; the caller holds a ReadLock.
    Channel* FindChannel(std::wstring_view name) const noexcept REQUIRES_SHARED(m_mutex);
    const std::map<std::wstring, std::unique_ptr<Channel>, NoCaseLess>& Channels() const noexcept
        REQUIRES_SHARED(m_mutex) {
        return m_channels;
    }
    // Publishers and accounts; read-only once the store is open, no lock needed.
    const PublisherCatalog& Catalog() const noexcept { return m_catalog; }
    // The providers of a channel: those publishers.xml declares for it, then every other provider
    // of its events, without repeats.
    std::vector<std::wstring> ChannelPublishers(const Channel& channel) const;

    // An event's texts, GUIDs and SIDs, by the ids it holds.
    std::wstring_view String(StrId id) const noexcept { return m_strings.Get(id); }
    const GUID& Guid(uint32_t id) const noexcept { return m_guids[id]; }
    // The binary form of an interned SID string; empty when the text is not a SID.
    const std::vector<uint8_t>& SidBytes(StrId id) const noexcept {
        static const std::vector<uint8_t> none;
        return id < m_sidBytes.size() ? m_sidBytes[id] : none;
    }

private:
    // Open's work.
    void LoadFolder(const std::filesystem::path& folder, LoadReport& report,
                    const ProgressFn& progress) REQUIRES(m_writeMutex);
    // ".xml" for "A.XML".
    static std::string LowerCaseExtension(const std::filesystem::path& file);
    // Where the complete events of a file's text end: after the last end tag at `lastEndTag` and
    // the blanks that follow it.
    static size_t EndOfEvents(std::string_view text, size_t lastEndTag);
    Channel& GetOrAddChannel(std::wstring_view name) REQUIRES(m_writeMutex);
    // A channel at its maximum size (PalChannelMaxEvents) rolls over: its oldest events leave
    // the log. Called after events were appended.
    static void RollOver(Channel& channel);
    // For a lambda inside a function that requires the writers' lock: the analysis checks a lambda
    // as a function of its own, which this tells that its caller holds the lock.
    void AssertWriting() const noexcept ASSERT_CAPABILITY(m_writeMutex) {}
    // Sets m_follow for its scope, which lies inside a WriteLock's.
    class Following {
    public:
        explicit Following(Store& store) REQUIRES(store.m_writeMutex) : m_store(store) {
            m_store.m_follow = true;
        }
        ~Following() NO_THREAD_SAFETY_ANALYSIS { m_store.m_follow = false; }
        Following(const Following&) = delete;
        Following& operator=(const Following&) = delete;

    private:
        Store& m_store;
    };
    // The channels as a writer reads them: they change only under both locks, so the writers'
    // lock alone keeps them still.
    const std::map<std::wstring, std::unique_ptr<Channel>, NoCaseLess>&
    WriterChannels() const noexcept REQUIRES(m_writeMutex) NO_THREAD_SAFETY_ANALYSIS {
        return m_channels;
    }
    // Write's work: `make(recordId, xml)` writes the event's XML into `xml` and returns its values,
    // null when the XML is no event. The channels that gained events are handed to the listeners.
    template <class MakeEvent>
    bool WriteEvent(std::wstring_view channel, const MakeEvent& make, DWORD& error)
        EXCLUDES(m_writeMutex);
    // Its part under the writers' lock: ERROR_SUCCESS, or the code it failed with.
    template <class MakeEvent>
    DWORD WriteLocked(std::wstring_view channel, const MakeEvent& make,
                      std::vector<const Channel*>& changed) REQUIRES(m_writeMutex);
    // The channel an event goes to: the log file's, or the one its System/Channel names (null,
    // with a problem, when it names none).
    Channel* TargetChannel(const ParsedEvent& parsed, LoadReport& report) REQUIRES(m_writeMutex);
    // Loads the complete events that a file holds past the part already read. Returns the
    // channels that grew. `unreadable`, when given, is set when the file could not be read this
    // time.
    std::vector<const Channel*> IngestFile(const std::filesystem::path& file, bool& shrank,
                                           bool* unreadable = nullptr) REQUIRES(m_writeMutex);
    std::vector<const Channel*> IngestEvtx(const std::filesystem::path& file, uint64_t size)
        REQUIRES(m_writeMutex);
    // The channels that grew since `before` (a Marks() result), their new events in order.
    std::vector<const Channel*> Grown(const std::vector<ChannelMark>& before)
        REQUIRES(m_writeMutex);
    // Tells the change listeners, outside the store's lock.
    void Notify(const std::vector<const Channel*>& changed) EXCLUDES(m_writeMutex);
    // Problems are recorded under the store's lock and handed to the listeners after it.
    void Report(std::wstring problem) EXCLUDES(m_problemsMutex);
    void DeliverProblems() EXCLUDES(m_writeMutex, m_problemsMutex);

    // How far each event file of the folder has been read (bytes), and its size at the last scan.
    struct FileState {
        uint64_t consumed = 0;
        uint64_t lastSize = 0;
        bool reportedIncomplete = false;
        int evtxRecords = -1; // records of a .evtx log loaded so far
        // A log's records are written into chunks already there: its time tells of a change.
        std::filesystem::file_time_type evtxTime{};
        bool reportedProblem = false;
    };
    // AddEventXml's work: the channel the event went to, or null.
    Channel* AddEventElement(const pugi::xml_node& event, LoadReport& report)
        REQUIRES(m_writeMutex);
    // Interns a parsed event's texts into the store and appends it to `channel`.
    void AddEvent(Channel& channel, const ParsedEvent& parsed) REQUIRES(m_writeMutex);
    uint32_t InternGuid(const GUID& guid) REQUIRES(m_writeMutex);
    uint32_t AppendText(Channel& channel, std::wstring_view text) REQUIRES(m_writeMutex);
    void InternSid(StrId sid) REQUIRES(m_writeMutex);

    // The writers' lock: loading, appending and the watcher, one at a time.
    Base::Mutex m_writeMutex ACQUIRED_BEFORE(m_mutex);
    // Readers hold it shared (each thread under a shard of its own); a writer holds it exclusively
    // only to enter a new channel into m_channels.
    mutable Base::ReadMostlyMutex m_mutex;
    // While set, each event added follows the channel's last one: an event without a record id,
    // or with one not above the last, gets the next. Set by appends and the watcher; loading
    // orders the channels in Finish instead.
    bool m_follow GUARDED_BY(m_writeMutex) = false;
    // Set while the store is opened, before it is shared; constant afterwards.
    std::filesystem::path m_folder;
    PublisherCatalog m_catalog;
    // The folder's files of provider metadata, which the watcher leaves alone; set while the
    // store is opened.
    std::set<std::filesystem::path> m_metadataFiles;
    Channel* m_forcedChannel = nullptr; // a log file store puts every event here
    std::map<std::filesystem::path, FileState> m_files GUARDED_BY(m_writeMutex);
    // The file of written events of each channel written to, and its state in m_files.
    struct WrittenFile {
        std::filesystem::path path;
        FileState* state = nullptr;
    };
    std::map<const Channel*, WrittenFile> m_writtenFiles GUARDED_BY(m_writeMutex);
    // The XML of the event being written; its buffer is kept from one event to the next.
    std::string m_writeXml GUARDED_BY(m_writeMutex);
    // Appended under the writers' lock, read without a lock (AppendOnly.h): readers reach only ids
    // of events published after them.
    StringPool m_strings;
    AppendOnlyVector<GUID, 4> m_guids;
    // By StrId, filled for user SIDs; an entry is set before the first event of its SID.
    AppendOnlyVector<std::vector<uint8_t>> m_sidBytes;
    // Entered under both locks (exclusively), so either keeps it still.
    std::map<std::wstring, std::unique_ptr<Channel>, NoCaseLess> m_channels GUARDED_BY(m_mutex);
    mutable Base::Mutex m_problemsMutex ACQUIRED_AFTER(m_writeMutex);
    std::vector<std::wstring> m_problems GUARDED_BY(m_problemsMutex);
    std::vector<std::wstring> m_undelivered GUARDED_BY(m_problemsMutex);
    ProblemListeners m_problemListeners;
    ChangeListeners m_changeListeners;
    // Last: stopped first when the store is destroyed.
    std::unique_ptr<FolderWatcher> m_watcher;
};

// The thread that picks up what other processes append to a store folder's files. It holds the
// store weakly, and strongly only for the length of one scan: when the last owner lets go of the
// store during a scan (a listener dropping it), the store is destroyed when that scan ends, on
// this thread, and the thread then ends without touching it again.
class FolderWatcher {
public:
    // Scans the store's folder every `interval`.
    FolderWatcher(std::weak_ptr<Store> store, std::chrono::milliseconds interval);
    // Stops the thread and waits for it; on the thread itself (the store destroyed at the end of
    // a scan) the thread is left to end by itself.
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

// The process-wide store: PAL_EVENTLOG_DIR's folder, loaded on first use, or an empty one.
std::shared_ptr<Store> GlobalStore();
// Replaces the process-wide store (tools and tests); null goes back to loading on next use.
void SetGlobalStore(std::shared_ptr<Store> store);

} // namespace PalEventLog
