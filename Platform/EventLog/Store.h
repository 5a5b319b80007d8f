// The event store of the Event Log stand-in: channels of compact events loaded once from a folder
// (*.xml event files, *.evtx logs, publishers.xml, accounts.xml), or an empty store in memory.
#pragma once

#include "Text.h"

#include "Win32/WinTypes.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pugi {
class xml_node;
}

namespace PalEventLog {

using StrId = uint32_t; // index into the store's string pool; 0 is "absent"

// Interned strings; ids and views stay valid for the life of the pool.
class StringPool {
public:
    StringPool();
    StrId Intern(std::wstring_view text);
    std::wstring_view Get(StrId id) const noexcept { return strings_[id]; }
    size_t Count() const noexcept { return strings_.size(); }

private:
    std::deque<std::wstring> strings_;
    std::unordered_map<std::wstring_view, StrId> index_;
};

// Which optional System values an event carries.
enum Present : uint32_t {
    kHasQualifiers = 1u << 0,
    kHasVersion = 1u << 1,
    kHasLevel = 1u << 2,
    kHasTask = 1u << 3,
    kHasOpcode = 1u << 4,
    kHasKeywords = 1u << 5,
    kHasTimeCreated = 1u << 6,
    kHasRecordId = 1u << 7,
    kHasProcessId = 1u << 8,
    kHasThreadId = 1u << 9,
    kHasCorrelation = 1u << 10,
    kHasExecution = 1u << 11,
    kHasSecurity = 1u << 12,
    kHasEventId = 1u << 13,
    kHasProvider = 1u << 14,
};

enum class Payload : uint8_t { None, EventData, UserData };

// One child of EventData (Data, Binary, ...) or of the UserData element: element name, Name
// attribute and text, the text kept in the channel's text arena.
struct Item {
    StrId element = 0;
    StrId name = 0;
    uint32_t textOffset = 0;
    uint32_t textLength = 0;
};

// A parsed event: typed System values, strings interned, EventData/UserData values as items.
struct Event {
    uint64_t recordId = 0;
    uint64_t timeCreated = 0; // FILETIME ticks
    uint64_t keywords = 0;
    uint32_t processId = 0;
    uint32_t threadId = 0;
    StrId provider = 0;
    StrId eventSourceName = 0;
    StrId channel = 0;
    StrId computer = 0;
    StrId userSid = 0;
    uint32_t providerGuid = 0; // index into the store's GUID table; 0 is "absent"
    uint32_t activityId = 0;
    uint32_t relatedActivityId = 0;
    uint32_t firstItem = 0;
    uint32_t itemCount = 0;
    uint32_t userDataXmlOffset = 0; // the UserData element's XML in the text arena
    uint32_t userDataXmlLength = 0;
    StrId userDataElement = 0; // the name of the single child of UserData
    uint32_t present = 0;
    uint16_t eventId = 0;
    uint16_t qualifiers = 0;
    uint16_t task = 0;
    uint8_t level = 0;
    uint8_t opcode = 0;
    uint8_t version = 0;
    Payload payload = Payload::None;
};

// The events of one channel (or one log file), ordered by EventRecordID.
struct Channel {
    std::wstring name;
    bool classic = false;
    bool declared = false; // named by publishers.xml rather than only by events
    std::vector<Event> events;
    std::vector<Item> items;
    std::vector<wchar_t> text;

    std::wstring_view Text(uint32_t offset, uint32_t length) const noexcept {
        return {text.data() + offset, length};
    }
    std::wstring_view ItemText(const Item& item) const noexcept {
        return Text(item.textOffset, item.textLength);
    }
    // Index of the first event whose record id is not less than recordId.
    size_t LowerBound(uint64_t recordId) const noexcept;
};

struct Publisher {
    std::wstring name;
    GUID guid{};
    std::vector<std::wstring> channels;
    std::map<uint32_t, std::wstring> messages; // by event id (or full classic id)
    std::map<uint32_t, std::wstring> parameters;
    std::map<uint32_t, std::wstring> levels;
    std::map<uint32_t, std::wstring> tasks;
    std::map<uint32_t, std::wstring> opcodes;
    std::map<uint64_t, std::wstring> keywords; // by mask
};

struct Account {
    std::wstring domain;
    std::wstring name;
};

// What loading found: counts and the problems met, one text per problem.
struct LoadReport {
    size_t files = 0;
    size_t events = 0;
    std::vector<std::wstring> problems;
};

using ProgressFn = std::function<void(size_t eventsLoaded)>;

// A reader-writer lock for data that many threads read at once and few change: each thread reads
// under a shard of its own, so that readers on different threads do not bounce one lock word
// between their caches; a writer takes every shard. A thread reads under the same shard every
// time, so it may take the lock shared again while it holds it, as with one shared mutex.
class ReadMostlyMutex {
public:
    void lock_shared() const { Shard().lock_shared(); }
    void unlock_shared() const { Shard().unlock_shared(); }
    void lock() {
        for (Padded& shard : shards_) {
            shard.mutex.lock();
        }
    }
    void unlock() {
        for (auto it = shards_.rbegin(); it != shards_.rend(); ++it) {
            it->mutex.unlock();
        }
    }

private:
    static constexpr size_t kShards = 8;
    struct alignas(64) Padded {
        std::shared_mutex mutex;
    };
    std::shared_mutex& Shard() const;

    mutable std::array<Padded, kShards> shards_;
};

class Store {
public:
    // An empty store in memory with the channels every Windows machine has.
    Store();
    // Loads every *.xml, *.evtx, publishers.xml and accounts.xml of a folder. Unreadable files and
    // events are reported and skipped; the store is usable whatever they hold.
    static std::shared_ptr<Store> Open(const std::filesystem::path& folder, LoadReport* report,
                                       const ProgressFn& progress = {});
    // One log file as a store of its own, all its events in one channel named by the path.
    static std::shared_ptr<Store> OpenLogFile(const std::filesystem::path& file,
                                              LoadReport* report);

    // Loading steps, also used by tools that build stores. The caller holds the lock exclusively
    // or owns the store alone.
    void LoadEventFile(const std::filesystem::path& file, LoadReport& report,
                       const ProgressFn& progress = {});
    // Loads the records of a log from `firstRecord` on; the count of records is remembered for
    // the watcher, which loads those a writer adds later.
    void LoadEvtxFile(const std::filesystem::path& file, LoadReport& report,
                      const ProgressFn& progress = {}, int firstRecord = 0);
    void LoadEventXmlText(std::string_view xml, LoadReport& report);
    // Events one after another: parsed together, or one by one when the whole does not parse.
    void LoadEventChunk(std::string_view chunk, LoadReport& report);
    bool AddEventXml(const pugi::xml_node& event, LoadReport& report);
    void LoadPublishers(const std::filesystem::path& file, LoadReport& report);
    void LoadAccounts(const std::filesystem::path& file, LoadReport& report);
    // Orders every channel by record id; called once loading is done.
    void Finish();

    // The store's cache of one event file: its events in compact binary form, valid while the
    // file keeps its size and modification time. Loading a cached file is many times faster
    // than parsing it again.
    struct ChannelMark {
        Channel* channel;
        size_t events;
        size_t items;
        size_t text;
    };
    std::vector<ChannelMark> Marks() const;
    // Loads the events a valid cache holds for `source`, and where its complete events end;
    // false when there is none.
    bool LoadCache(const std::filesystem::path& source, const std::filesystem::path& cache,
                   LoadReport& report, uint64_t& consumed);
    // Writes what loading `source` added since `before` (and the problems from `problemsBefore`).
    void WriteCache(const std::filesystem::path& source, const std::filesystem::path& cache,
                    const std::vector<ChannelMark>& before, const LoadReport& report,
                    size_t problemsBefore) const;

    // Appends an event to the channel its System/Channel names, after the channel's last event.
    // Open result sets see it; listeners are told. Takes the lock itself.
    bool Append(std::string_view eventXml);
    // Writes a new event to a channel: `makeXml` receives the record id the event gets (one above
    // the channel's last) and returns its event XML. With a folder the event is also appended to
    // the channel's file of written events there. False with a Win32 code in `error`.
    bool Write(std::wstring_view channel, const std::function<std::string(uint64_t)>& makeXml,
               DWORD& error);

    // Events that other processes append to the folder's event files are picked up by a watcher
    // thread (started by Open) every `interval`; Rescan does one pass at once. Problems met (a
    // file that shrank or cannot be read, an event that stays incomplete) are reported to the
    // problem listeners and kept in Problems(); the store goes on serving what it has.
    void Rescan();
    std::vector<std::wstring> Problems() const;
    using ProblemListener = std::function<void(const std::wstring& problem)>;
    uint64_t AddProblemListener(ProblemListener listener);
    void RemoveProblemListener(uint64_t id);
    const std::filesystem::path& Folder() const noexcept { return folder_; }
    ~Store();
    using ChangeListener = std::function<void(const Channel& channel)>;
    // Registers a listener for appended events; returns its id for RemoveListener.
    uint64_t AddListener(ChangeListener listener);
    void RemoveListener(uint64_t id);

    // Lookups; the caller holds the lock (shared is enough).
    Channel* FindChannel(std::wstring_view name) const noexcept;
    const Publisher* FindPublisher(std::wstring_view name) const noexcept;
    const Account* FindAccount(std::wstring_view sid) const noexcept;
    const std::map<std::wstring, std::unique_ptr<Channel>, NoCaseLess>& Channels() const noexcept {
        return channels_;
    }
    const std::map<std::wstring, Publisher, NoCaseLess>& Publishers() const noexcept {
        return publishers_;
    }
    // The providers of a channel: those publishers.xml declares for it, then every other provider
    // of its events, without repeats.
    std::vector<std::wstring> ChannelPublishers(const Channel& channel) const;

    std::wstring_view String(StrId id) const noexcept { return strings_.Get(id); }
    const GUID& Guid(uint32_t id) const noexcept { return guids_[id]; }
    // The binary form of an interned SID string; empty when the text is not a SID.
    const std::vector<uint8_t>& SidBytes(StrId id) const noexcept {
        static const std::vector<uint8_t> none;
        return id < sidBytes_.size() ? sidBytes_[id] : none;
    }

    // Readers hold it shared; appends and loading hold it exclusively.
    mutable ReadMostlyMutex mutex;

private:
    // The number of records of a .evtx log; -1 when it cannot be read.
    static int EvtxRecordCount(const std::filesystem::path& path);
    // Where the complete events of a file's text end: after the last end tag at `lastEndTag` and
    // the blanks that follow it.
    static size_t EndOfEvents(std::string_view text, size_t lastEndTag);
    Channel& GetOrAddChannel(std::wstring_view name);
    // Keeps record ids increasing at the end of a channel from index `from` on.
    static void OrderAppended(Channel& channel, size_t from);
    // Write's work under the exclusive lock: ERROR_SUCCESS, or the code it failed with.
    DWORD WriteLocked(std::wstring_view channel,
                      const std::function<std::string(uint64_t)>& makeXml,
                      std::vector<const Channel*>& changed);
    // Loads the complete events that a file holds past the part already read; the caller holds
    // the lock exclusively. Returns the channels that grew.
    // `unreadable`, when given, is set when the file could not be read this time.
    std::vector<const Channel*> IngestFile(const std::filesystem::path& file, bool& shrank,
                                           bool* unreadable = nullptr);
    std::vector<const Channel*> IngestEvtx(const std::filesystem::path& file, uint64_t size);
    // The channels that grew since `before` (a Marks() result), their new events in order.
    std::vector<const Channel*> Grown(const std::vector<ChannelMark>& before);
    void Notify(const std::vector<const Channel*>& changed);
    // Problems are recorded under the store's lock and handed to the listeners after it.
    void Report(std::wstring problem);
    void DeliverProblems();
    void StartWatcher(std::chrono::milliseconds interval);

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
    std::filesystem::path folder_;
    std::map<std::filesystem::path, FileState> files_; // under `mutex`
    mutable std::mutex problemsMutex_;
    std::vector<std::wstring> problems_;
    std::vector<std::wstring> undelivered_;
    std::map<uint64_t, ProblemListener> problemListeners_;
    uint64_t nextProblemListener_ = 1;
    std::mutex watcherMutex_;
    std::condition_variable watcherWake_;
    bool watcherStop_ = false;
    std::thread watcher_;
    uint32_t InternGuid(const GUID& guid);
    uint32_t AppendText(Channel& channel, std::wstring_view text);

    StringPool strings_;
    std::vector<GUID> guids_;
    std::vector<std::vector<uint8_t>> sidBytes_; // by StrId, filled for user SIDs
    std::map<std::wstring, std::unique_ptr<Channel>, NoCaseLess> channels_;
    std::map<std::wstring, Publisher, NoCaseLess> publishers_;
    std::map<std::wstring, Account, NoCaseLess> accounts_;
    Channel* forcedChannel_ = nullptr; // a log file store puts every event here
    std::mutex listenersMutex_;
    std::map<uint64_t, ChangeListener> listeners_;
    uint64_t nextListener_ = 1;
};

// The process-wide store: PAL_EVENTLOG_DIR's folder, loaded on first use, or an empty one.
std::shared_ptr<Store> GlobalStore();
// Replaces the process-wide store (tools and tests); null goes back to loading on next use.
void SetGlobalStore(std::shared_ptr<Store> store);

} // namespace PalEventLog
