#include "PalEventLog/Api/Render.h"
#include "PalEventLog/Evtx/EvtxFile.h"
#include "PalEventLog/Store/Store.h"
#include "Platform/EventLog/TestStore.h"

#include "Platform/Win32/TempDirectory.h"

#include "Win32/SynchApi.h"
#include "Win32/WinBase.h"
#include "Win32/WinError.h"
#include "Win32/WinEvt.h"

#include <pugixml.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace PalEventLog;
namespace fs = std::filesystem;

namespace {

size_t EventCount(Store& store, const wchar_t* channel) {
    Store::ReadLock lock(store);
    const Channel* c = store.FindChannel(channel);
    return c == nullptr ? 0 : c->events.size();
}

using Ids = std::vector<uint64_t>;

// The record ids of a channel's events, in the store's order.
Ids RecordIds(const Store& store, const std::wstring& channel) {
    Store::ReadLock lock(store);
    Ids ids;
    if (const Channel* c = store.FindChannel(channel)) {
        for (const Event& e : c->events) {
            ids.push_back(e.recordId);
        }
    }
    return ids;
}

// Overwrites a file's bytes in place (same file, same size) and moves its modification time on,
// as a writer does that fills space the file already has.
void RewriteInPlace(const fs::path& file, const std::string& bytes) {
    const auto written = fs::last_write_time(file);
    std::fstream(file, std::ios::in | std::ios::out | std::ios::binary)
        .write(bytes.data(), bytes.size());
    fs::last_write_time(file, written + std::chrono::seconds(1));
}

// Writes one Application event whose only insert is `value`, as a writing process does.
bool WriteValue(Store& store, const std::string& value) {
    DWORD error = 0;
    return store.Write(
        L"Application",
        [&](uint64_t record) {
            return Testing::EventXml("Application", record, 1, 4, "P", "2024-01-01T00:00:00Z",
                                     "<Data>" + value + "</Data>");
        },
        error);
}

// The first insert of each Application event, in order.
std::vector<std::wstring> FirstInserts(Store& store) {
    Store::ReadLock lock(store);
    const Channel& channel = *store.FindChannel(L"Application");
    std::vector<std::wstring> all;
    for (const Event& e : channel.events) {
        all.emplace_back(InsertionStrings(store, channel, e).front());
    }
    return all;
}

TEST(Store, LoadsBothXmlFormsAndOrdersByRecordId) {
    TempDirectory folder;
    // One event per line, out of order, double-quoted attributes.
    folder.Write("a.xml", "<Event xmlns=\"http://schemas.microsoft.com/win/2004/08/events/event\">"
                          "<System><Provider Name=\"P\"/><EventID>5</EventID><EventRecordID>9"
                          "</EventRecordID><Channel>Custom/Ops</Channel><Computer>c</Computer>"
                          "</System></Event>\n" +
                              Testing::EventXml("Custom/Ops", 3, 1, 4, "P", "2024-01-01T00:00:00Z",
                                                "<Data>v</Data>"));
    // A root element holding events, with a declaration.
    folder.Write("b.XML",
                 "<?xml version='1.0' encoding='utf-8'?><Events>" +
                     Testing::EventXml("Application", 1, 1, 4, "Q", "2024-01-01T00:00:00Z", "") +
                     "</Events>");
    folder.Write("broken.xml", "<Event><System><Channel>Application</Channel>");
    folder.Write("publishers.xml",
                 "<Publishers><Channel Name='Legacy' Classic='true'/>"
                 "<Publisher Name='P' Guid='{11111111-2222-3333-4444-555555555555}'>"
                 "<Channel Name='Custom/Ops'/><Message EventId='5'>Five %1</Message></Publisher>"
                 "<Publisher Name='Z'><Channel Name='Custom/Ops'/></Publisher></Publishers>");
    folder.Write("accounts.xml", "<Accounts><Account Sid='S-1-5-21-1-2-3-1001' Domain='CORP' "
                                 "Name='alice'/><Account Sid='bad' Name='x'/></Accounts>");
    LoadReport report;
    auto store = Store::Open(folder.Path(), &report);
    EXPECT_EQ(RecordIds(*store, L"custom/ops"), (Ids{3, 9}));
    EXPECT_EQ(RecordIds(*store, L"Application"), Ids{1});
    Store::ReadLock lock(*store);
    const Channel* ops = store->FindChannel(L"Custom/Ops");
    ASSERT_NE(ops, nullptr);
    EXPECT_TRUE(store->FindChannel(L"Legacy")->classic);
    EXPECT_FALSE(ops->classic);
    EXPECT_FALSE(report.problems.empty()); // the broken file and the bad SID
    ASSERT_NE(store->Catalog().FindAccount(L"S-1-5-21-1-2-3-1001"), nullptr);
    EXPECT_EQ(store->Catalog().FindAccount(L"S-1-5-21-1-2-3-1001")->name, L"alice");
    // Declared publishers first, then the other providers of the channel's events.
    EXPECT_EQ(store->ChannelPublishers(*ops), (std::vector<std::wstring>{L"P", L"Z"}));
    ASSERT_NE(store->Catalog().FindPublisher(L"p"), nullptr);
    EXPECT_EQ(store->Catalog().FindPublisher(L"P")->messages.at(5), L"Five %1");
}

// Every event of every channel as XML, in order.
std::wstring Dump(const Store& store) {
    Store::ReadLock lock(store);
    std::wstring all;
    for (const auto& [name, channel] : store.Channels()) {
        all += name + L":\n";
        for (const Event& e : channel->events) {
            all += EventXml(store, *channel, e) + L"\n";
        }
    }
    return all;
}

TEST(Store, ParsedFilesAreCachedUntilTheyChange) {
    TempDirectory folder;
    std::string xml;
    for (int r = 1; r <= 50; ++r) {
        xml += Testing::EventXml(
            r % 2 ? "Application" : "Custom", r, r, r % 5, "P", "2024-01-01T00:00:00.123Z",
            "<Data Name='n'>v" + std::to_string(r) + "</Data><Binary>00</Binary>",
            r % 3 ? "<Security UserID='S-1-5-21-1-2-3-1001'/>" : "");
    }
    xml += "<Event><System><Provider Name='U'/><EventRecordID>7</EventRecordID><Channel>Custom"
           "</Channel><Correlation ActivityID='{11111111-2222-3333-4444-555555555555}'/></System>"
           "<UserData><X xmlns='urn:x'><A>1</A></X></UserData></Event>\n<Event><broken";
    folder.Write("events.xml", xml);
    LoadReport first;
    const std::wstring parsed = Dump(*Store::Open(folder.Path(), &first));
    ASSERT_TRUE(fs::exists(folder.Path() / ".cache" / "events.xml.palcache"));
    LoadReport second;
    auto cached = Store::Open(folder.Path(), &second);
    EXPECT_EQ(Dump(*cached), parsed);
    EXPECT_EQ(second.events, first.events);
    EXPECT_EQ(second.problems, first.problems);
    EXPECT_FALSE(first.problems.empty());
    {
        Store::ReadLock lock(*cached);
        EXPECT_FALSE(
            cached->SidBytes(cached->FindChannel(L"Application")->events[0].userSid).empty());
    }

    // A file rewritten with other events of the same size is parsed again; so is one whose cache
    // is damaged.
    std::string rewritten = xml;
    for (size_t at = rewritten.find(">v"); at != std::string::npos; at = rewritten.find(">v", at)) {
        rewritten[++at] = 'w';
    }
    RewriteInPlace(folder.Path() / "events.xml", rewritten);
    auto reread = [&] { return FirstInserts(*Store::Open(folder.Path(), nullptr)).back(); };
    EXPECT_EQ(reread(), L"w49");
    std::ofstream(folder.Path() / ".cache" / "events.xml.palcache", std::ios::binary | std::ios::in)
        .write("garbage!", 8);
    EXPECT_EQ(reread(), L"w49");
}

TEST(Store, AppendedEventsFollowTheLastAndNotifyListeners) {
    auto store = Testing::StoreOf(
        Testing::EventXml("Application", 10, 1, 4, "P", "2024-01-01T00:00:00Z", ""));
    int notified = 0;
    auto registration = store->AddListener([&](const Channel& c) {
        EXPECT_EQ(c.name, L"Application");
        ++notified;
    });
    ASSERT_TRUE(
        store->Append(Testing::EventXml("Application", 4, 2, 4, "P", "2024-01-01T00:00:00Z", "")));
    registration.Reset();
    ASSERT_TRUE(
        store->Append(Testing::EventXml("Application", 20, 3, 4, "P", "2024-01-01T00:00:00Z", "")));
    EXPECT_FALSE(store->Append("<Event><System>"));
    EXPECT_EQ(notified, 1) << "told of the first append only: the registration was undone";
    EXPECT_EQ(RecordIds(*store, L"Application"), (Ids{10, 11, 20}));
}

using Testing::SharedEvtxFolder;

// An event as the test reads it itself from libevtx's XML, without the store's parser.
struct PlainEvent {
    uint64_t record = 0;
    unsigned eventId = 0;
    unsigned level = 0;
    std::string provider;
    uint64_t time = 0;
    std::map<std::string, std::string> data;
};

// What libevtx itself says about a file: its record count and histograms of levels, event ids
// and provider names; with `xml`, also each event as its XML reads.
struct LibevtxView {
    size_t count = 0;
    std::map<int, size_t> levels;
    std::map<uint32_t, size_t> eventIds;
    std::map<std::string, size_t> providers;
    std::vector<PlainEvent> events;
};

LibevtxView ReadWithLibevtx(const fs::path& file, bool xml = false) {
    LibevtxView view;
    EvtxFile log;
    std::wstring error;
    if (!log.Open(file, error)) {
        return view;
    }
    const int count = log.RecordCount(error);
    std::string text;
    for (int i = 0; i < count; ++i) {
        EvtxRecord record;
        if (!log.Record(i, record, error)) {
            continue;
        }
        ++view.count;
        if (const auto level = record.Level()) {
            ++view.levels[*level];
        }
        if (const auto id = record.EventIdentifier()) {
            ++view.eventIds[*id & 0xFFFF];
        }
        if (const auto name = record.SourceName()) {
            ++view.providers[*name];
        }
        if (!xml || !record.Xml(text, error)) {
            continue;
        }
        pugi::xml_document doc;
        doc.load_string(text.c_str());
        const pugi::xml_node event = doc.child("Event");
        const pugi::xml_node system = event.child("System");
        PlainEvent e;
        e.record = system.child("EventRecordID").text().as_ullong();
        e.eventId = system.child("EventID").text().as_uint();
        e.level = system.child("Level").text().as_uint();
        e.provider = system.child("Provider").attribute("Name").value();
        e.time = ParseSystemTime(Base::WideFromUtf8(
                                     system.child("TimeCreated").attribute("SystemTime").value()))
                     .value_or(0);
        for (pugi::xml_node d : event.child("EventData").children("Data")) {
            e.data[d.attribute("Name").value()] = d.text().get();
        }
        view.events.push_back(std::move(e));
    }
    return view;
}

// Waits up to `limit` for a condition that another thread makes true. The limit is generous for
// loaded test machines; how soon the watcher notices is measured by the benchmarks.
template <class F>
bool Eventually(F&& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool HasProblem(const Store& store, std::wstring_view text) {
    for (const auto& problem : store.Problems()) {
        if (problem.find(text) != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

// Readers of the store, result sets as subscriptions, see its appended events whatever appended
// them (EventLogApi.ReadersDuringAppendsSeeEveryEventOnceAndWhole reads result sets during
// appends); here a subscription is told of what the watcher found.
TEST(StoreFolder, EventsAppendedByAnotherWriterReachSubscriptions) {
    TempDirectory folder;
    folder.Write("a.xml", Testing::EventXml("Application", 1, 1, 4, "P", "2024-01-01T00:00:00Z",
                                            "<Data>x</Data>"));
    auto store = Store::Open(folder.Path(), nullptr);
    SetGlobalStore(store);
    HANDLE signal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EVT_HANDLE subscription = EvtSubscribe(nullptr, signal, L"Application", nullptr, nullptr,
                                           nullptr, nullptr, EvtSubscribeToFutureEvents);
    ASSERT_NE(subscription, nullptr);
    EVT_HANDLE events[8];
    DWORD returned = 0;
    // Two events, the second only half written at first.
    const std::string second =
        Testing::EventXml("Application", 3, 3, 4, "P", "2024-01-01T00:00:00Z", "<Data>z</Data>");
    {
        std::ofstream out(folder.Path() / "a.xml", std::ios::app | std::ios::binary);
        out << Testing::EventXml("Application", 2, 2, 4, "P", "2024-01-01T00:00:00Z", "")
            << second.substr(0, 40);
    }
    ASSERT_TRUE(Eventually([&] { return EventCount(*store, L"Application") == 2; }));
    // The subscription was told.
    EXPECT_EQ(WaitForSingleObject(signal, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(EvtNext(subscription, 8, events, 0, 0, &returned));
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(Testing::RecordIdOf(events[0]), 2u);
    EvtClose(events[0]);
    EvtClose(subscription);
    CloseHandle(signal);
    EXPECT_TRUE(Eventually([&] { return HasProblem(*store, L"incomplete event"); }));
    std::ofstream(folder.Path() / "a.xml", std::ios::app | std::ios::binary) << second.substr(40);
    // A new file is picked up too.
    folder.Write("b.xml", Testing::EventXml("System", 9, 9, 4, "P", "2024-01-01T00:00:00Z", ""));
    ASSERT_TRUE(Eventually([&] { return EventCount(*store, L"Application") == 3; }));
    ASSERT_TRUE(Eventually([&] { return EventCount(*store, L"System") == 1; }));
    SetGlobalStore(nullptr);
}

// A live log fills its chunks in place: its size stays, only its time moves. The watcher reads
// the new records from where the first load stopped, and a store opened afterwards does not take
// the cache of the earlier contents.
TEST(StoreFolder, ALogFilledInPlaceIsReadAgainByTheWatcherAndTheCache) {
    const fs::path log = SharedEvtxFolder() / "DeepBlueCLI" / "many-events-application.evtx";
    if (!fs::exists(log)) {
        GTEST_SKIP() << "no shared evtx sample " << log;
    }
    std::string full;
    {
        std::ifstream in(log, std::ios::binary);
        full.assign(std::istreambuf_iterator<char>(in), {});
    }
    // The file header and four chunks, the last one not yet written (zeroed), then written.
    const size_t chunk = 65536;
    const std::string filled = full.substr(0, 4096 + 4 * chunk);
    const std::string empty = filled.substr(0, 4096 + 3 * chunk) + std::string(chunk, '\0');
    TempDirectory folder;
    folder.Write("a.evtx", empty);
    auto store = Store::Open(folder.Path(), nullptr); // parses and writes the cache
    const size_t before = EventCount(*store, L"Application");
    ASSERT_GT(before, 0u);
    RewriteInPlace(folder.Path() / "a.evtx", filled);
    ASSERT_TRUE(Eventually([&] { return EventCount(*store, L"Application") > before; }));
    // Compared with a store that loads the whole log at once: the same events, in order.
    const fs::path file = folder.Path() / "a.evtx";
    const Ids whole = RecordIds(*Store::OpenLogFile(file, nullptr), file.wstring());
    EXPECT_EQ(RecordIds(*store, L"Application"), whole);
    EXPECT_EQ(RecordIds(*Store::Open(folder.Path(), nullptr), L"Application"), whole);
}

TEST(StoreFolder, AShrunkOrVanishedFileIsReportedAndItsEventsStay) {
    TempDirectory folder;
    std::string xml;
    for (int r = 1; r <= 3; ++r) {
        xml += Testing::EventXml("Application", r, r, 4, "P", "2024-01-01T00:00:00Z", "");
    }
    folder.Write("a.xml", xml);
    folder.Write("b.xml", Testing::EventXml("System", 1, 1, 4, "P", "2024-01-01T00:00:00Z", ""));
    auto store = Store::Open(folder.Path(), nullptr);
    std::vector<std::wstring> heard;
    std::mutex heardMutex;
    const auto registration = store->AddProblemListener([&](const std::wstring& problem) {
        std::lock_guard lock(heardMutex);
        heard.push_back(problem);
    });
    // Truncated in the middle of the second event; b.xml removed.
    fs::resize_file(folder.Path() / "a.xml", xml.size() / 2);
    fs::remove(folder.Path() / "b.xml");
    ASSERT_TRUE(Eventually([&] { return HasProblem(*store, L"a.xml: shrank"); }));
    store->Rescan();
    EXPECT_EQ(EventCount(*store, L"Application"), 3u);
    EXPECT_EQ(EventCount(*store, L"System"), 1u);
    // The watcher thread that found the problem tells its listeners after its scan, which may
    // still be under way when the problem can be read.
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard lock(heardMutex);
        return !heard.empty();
    }));
}

// The last owner of a store lets go of it from a listener that the watcher thread calls: the
// store ends when that scan is over, and the thread ends without touching it again (it used to go
// on with the freed store, which AddressSanitizer reports).
TEST(StoreFolder, TheLastOwnerLettingGoDuringAScanEndsTheStoreSafely) {
    TempDirectory folder;
    const std::string first =
        Testing::EventXml("Application", 1, 1, 4, "P", "2024-01-01T00:00:00Z", "");
    folder.Write("a.xml", first);
    // Destroyed with the listener, and so with the store; the test holds no reference to the
    // store, not even a weak one, so that its memory is freed when it is destroyed.
    struct Sentinel {
        explicit Sentinel(std::atomic<std::thread::id>& endedOn) : endedOn(endedOn) {}
        ~Sentinel() { endedOn = std::this_thread::get_id(); }
        std::atomic<std::thread::id>& endedOn;
    };
    std::atomic<std::thread::id> endedOn{};
    auto owner = std::make_shared<std::shared_ptr<Store>>(Store::Open(folder.Path(), nullptr));
    auto sentinel = std::make_shared<Sentinel>(endedOn);
    // The registration outlives the store; undoing it then is a no-op.
    const auto registration =
        (*owner)->AddListener([owner, sentinel](const Channel&) { owner->reset(); });
    sentinel.reset();
    folder.Write("a.xml", first + Testing::EventXml("Application", 2, 1, 4, "P",
                                                    "2024-01-01T00:00:00Z", ""));
    ASSERT_TRUE(Eventually([&] { return endedOn.load() != std::thread::id(); }));
    EXPECT_NE(endedOn.load(), std::this_thread::get_id()) << "destroyed on the watcher thread";
    // The watcher thread ends meanwhile; a use of the destroyed store would be reported now.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

TEST(StoreFolder, TwoStoresWritingOneFolderSeeEveryEventOnce) {
    TempDirectory folder;
    auto first = Store::Open(folder.Path(), nullptr);
    auto second = Store::Open(folder.Path(), nullptr);
    auto writer = [](Store& store, int count, const std::string& tag) {
        for (int i = 0; i < count; ++i) {
            WriteValue(store, tag + std::to_string(i));
        }
    };
    std::thread a(writer, std::ref(*first), 200, "a");
    std::thread b(writer, std::ref(*second), 200, "b");
    a.join();
    b.join();
    for (auto* store : {first.get(), second.get()}) {
        ASSERT_TRUE(Eventually([&] { return EventCount(*store, L"Application") == 400; }))
            << EventCount(*store, L"Application");
        const std::vector<std::wstring> values = FirstInserts(*store);
        EXPECT_EQ(std::set<std::wstring>(values.begin(), values.end()).size(), 400u);
        const Ids ids = RecordIds(*store, L"Application");
        EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end(), std::greater_equal<>()), ids.end());
    }
}

// The file of written events removed while the store is open (an operator clearing the folder):
// the next writes start it again, and a store opened afterwards finds them.
TEST(StoreFolder, WritesGoOnAfterTheWrittenEventsFileIsRemoved) {
    TempDirectory folder;
    auto store = Store::Open(folder.Path(), nullptr);
    EXPECT_TRUE(WriteValue(*store, "before"));
    const fs::path file = folder.Path() / "Application.written.xml";
    ASSERT_TRUE(fs::exists(file));
    fs::remove(file);
    store->Rescan(); // the watcher's scan notices the file gone
    EXPECT_TRUE(WriteValue(*store, "after"));
    EXPECT_TRUE(WriteValue(*store, "later"));
    EXPECT_EQ(EventCount(*store, L"Application"), 3u);
    EXPECT_EQ(EventCount(*Store::Open(folder.Path(), nullptr), L"Application"), 2u);
}

// A store opened from the cache reads on from where the complete events end, as one that parsed
// the file: an event half written at the first load is read once it is complete.
TEST(StoreFolder, AnEventCompletedAfterTheCacheWasWrittenIsRead) {
    TempDirectory folder;
    const std::string second =
        Testing::EventXml("Application", 2, 2, 4, "P", "2024-01-01T00:00:00Z", "<Data>2</Data>");
    folder.Write("a.xml",
                 Testing::EventXml("Application", 1, 1, 4, "P", "2024-01-01T00:00:00Z", "") +
                     second.substr(0, 50));
    Store::Open(folder.Path(), nullptr); // writes the cache
    ASSERT_TRUE(fs::exists(folder.Path() / ".cache" / "a.xml.palcache"));
    auto cached = Store::Open(folder.Path(), nullptr);
    EXPECT_EQ(EventCount(*cached, L"Application"), 1u);
    std::ofstream(folder.Path() / "a.xml", std::ios::app | std::ios::binary) << second.substr(50);
    cached->Rescan();
    EXPECT_EQ(EventCount(*cached, L"Application"), 2u);
}

// A writer that died mid-event leaves part of one at the end of the written-events file; the
// events written after it are read once, by the writer and by every other store, now and later.
TEST(StoreFolder, EventsWrittenAfterAnAbandonedHalfEventAreReadOnce) {
    TempDirectory folder;
    const std::string cut =
        Testing::EventXml("Application", 2, 2, 4, "P", "2024-01-01T00:00:00Z", "<Data>c</Data>");
    folder.Write("Application.written.xml",
                 Testing::EventXml("Application", 1, 1, 4, "P", "2024-01-01T00:00:00Z",
                                   "<Data>first</Data>") +
                     cut.substr(0, cut.size() / 2));
    auto watching = Store::Open(folder.Path(), nullptr);
    auto writer = Store::Open(folder.Path(), nullptr);
    for (const char* value : {"second", "third"}) {
        ASSERT_TRUE(WriteValue(*writer, value)) << value;
    }
    EXPECT_TRUE(HasProblem(*writer, L"incomplete event"));
    auto values = [](Store& store) {
        store.Rescan();
        return FirstInserts(store);
    };
    const std::vector<std::wstring> expected{L"first", L"second", L"third"};
    EXPECT_EQ(values(*writer), expected);
    EXPECT_TRUE(Eventually([&] { return values(*watching) == expected; }));
    EXPECT_EQ(values(*Store::Open(folder.Path(), nullptr)), expected);
}

TEST(StoreFaithfulness, RealLogsLoadAsLibevtxReadsThem) {
    const std::vector<fs::path> files = Testing::SharedEvtxFiles();
    if (files.empty()) {
        GTEST_SKIP() << "no shared evtx samples at " << SharedEvtxFolder();
    }
    size_t total = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        LoadReport report;
        auto store = Store::OpenLogFile(file, &report);
        Store::ReadLock lock(*store);
        const Channel& channel = *store->FindChannel(file.wstring());
        const LibevtxView expected = ReadWithLibevtx(file);
        EXPECT_EQ(channel.events.size(), expected.count);
        std::map<int, size_t> ours;
        std::map<uint32_t, size_t> ourIds;
        std::map<std::string, size_t> ourProviders;
        for (size_t i = 0; i < channel.events.size(); ++i) {
            const Event& e = channel.events[i];
            ++ours[e.level];
            ++ourIds[e.eventId];
            // libevtx names a classic source by its EventSourceName, others by Provider Name.
            ++ourProviders[Base::Utf8FromWide(
                store->String(e.eventSourceName ? e.eventSourceName : e.provider))];
            if (i > 0) {
                EXPECT_LE(channel.events[i - 1].recordId, e.recordId);
            }
        }
        EXPECT_EQ(ours, expected.levels);
        EXPECT_EQ(ourIds, expected.eventIds);
        EXPECT_EQ(ourProviders, expected.providers);
        total += channel.events.size();
    }
    EXPECT_EQ(total, 16018u);
}

// Record ids of a query's events in the order EvtNext returns them, read on the log file until
// the result set says it has no more.
std::vector<uint64_t> QueryRecords(const fs::path& file, const std::wstring& xpath,
                                   DWORD flags = EvtQueryFilePath) {
    std::vector<uint64_t> records;
    EVT_HANDLE rs = EvtQuery(nullptr, file.wstring().c_str(), xpath.c_str(), flags);
    EXPECT_NE(rs, nullptr) << Base::Utf8FromWide(xpath);
    EVT_HANDLE batch[100];
    DWORD returned = 0;
    while (rs != nullptr && EvtNext(rs, 100, batch, 0, 0, &returned)) {
        for (DWORD i = 0; i < returned; ++i) {
            records.push_back(Testing::RecordIdOf(batch[i]));
            EXPECT_NE(records.back(), 0u);
            EvtClose(batch[i]);
        }
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EvtClose(rs);
    return records;
}

TEST(StoreFaithfulness, ReverseQueriesOfALogFileReturnNewestFirst) {
    const fs::path file = SharedEvtxFolder() / "python-evtx" / "system.evtx";
    if (!fs::exists(file)) {
        GTEST_SKIP() << "no shared evtx samples";
    }
    const std::vector<uint64_t> records =
        QueryRecords(file, L"*", EvtQueryFilePath | EvtQueryReverseDirection);
    EXPECT_EQ(records.size(), 1601u);
    EXPECT_EQ(std::adjacent_find(records.begin(), records.end(), std::less_equal<>()),
              records.end())
        << "not strictly newest first";
}

TEST(StoreFaithfulness, QueriesAgreeWithAPlainEvaluationOfTheXml) {
    const fs::path file = SharedEvtxFolder() / "omerbenamram-evtx" / "security.evtx";
    if (!fs::exists(file)) {
        GTEST_SKIP() << "no shared evtx samples";
    }
    const std::vector<PlainEvent> events = ReadWithLibevtx(file, true).events;
    ASSERT_FALSE(events.empty());
    std::vector<uint64_t> times;
    for (const PlainEvent& e : events) {
        times.push_back(e.time);
    }
    std::sort(times.begin(), times.end());
    const uint64_t from = times[times.size() / 3];
    const uint64_t to = times[2 * times.size() / 3];
    struct Case {
        std::wstring xpath;
        std::function<bool(const PlainEvent&)> plain;
    };
    const std::vector<Case> cases = {
        {L"*[System[(EventID >= 4600 and EventID <= 4700)]]",
         [](const PlainEvent& e) { return e.eventId >= 4600 && e.eventId <= 4700; }},
        {L"*[System[(Level=0 or Level=4) and EventID!=4624]]",
         [](const PlainEvent& e) { return (e.level == 0 || e.level == 4) && e.eventId != 4624; }},
        {L"*[System[TimeCreated[@SystemTime >= '" + FormatSystemTime(from) +
             L"' and @SystemTime < '" + FormatSystemTime(to) + L"']]]",
         [&](const PlainEvent& e) { return e.time >= from && e.time < to; }},
        {L"*[System[Provider[@Name='Microsoft-Windows-Security-Auditing']]]",
         [](const PlainEvent& e) { return e.provider == "Microsoft-Windows-Security-Auditing"; }},
        {L"*[EventData[Data[@Name='LogonType']='5']]",
         [](const PlainEvent& e) {
             auto found = e.data.find("LogonType");
             return found != e.data.end() && found->second == "5";
         }},
        {L"*[EventData[Data[@Name='LogonType']>3]]",
         [](const PlainEvent& e) {
             auto found = e.data.find("LogonType");
             return found != e.data.end() && !found->second.empty() && std::stoi(found->second) > 3;
         }},
    };
    for (const Case& c : cases) {
        std::set<uint64_t> expected;
        for (const PlainEvent& e : events) {
            if (c.plain(e)) {
                expected.insert(e.record);
            }
        }
        EXPECT_FALSE(expected.empty()) << Base::Utf8FromWide(c.xpath);
        const std::vector<uint64_t> found = QueryRecords(file, c.xpath);
        EXPECT_EQ(std::set<uint64_t>(found.begin(), found.end()), expected)
            << Base::Utf8FromWide(c.xpath);
    }
}

TEST(StoreFaithfulness, ADamagedLogLoadsWhatCanBeRead) {
    const fs::path file =
        SharedEvtxFolder() / "damaged" / "Microsoft-Windows-CAPI2%4Operational.evtx";
    if (!fs::exists(file)) {
        GTEST_SKIP() << "no damaged sample";
    }
    LoadReport report;
    auto store = Store::OpenLogFile(file, &report);
    Store::ReadLock lock(*store);
    const Channel& channel = *store->FindChannel(file.wstring());
    EXPECT_GT(channel.events.size(), 0u);
    EXPECT_LT(channel.events.size(), 459u);
    EXPECT_FALSE(report.problems.empty());
}

// The .evtx inputs the fuzz target keeps: a clean log of two events, and the same with a record
// between them whose template instance claims far more values than the chunk holds, on which
// libevtx faults. That record is reported and the others load.
TEST(StoreFaithfulness, AnEvtxRecordOnWhichTheReaderFaultsIsReportedAndTheRestLoads) {
    const fs::path fuzz = fs::path(CORVANE_SOURCE_DIR) / "Tests" / "Fuzz";
    const fs::path clean = fuzz / "Corpus" / "EvtxFuzzer" / "two-events.evtx";
    LoadReport cleanReport;
    EXPECT_EQ(RecordIds(*Store::OpenLogFile(clean, &cleanReport), clean.wstring()), (Ids{1, 2}));
    EXPECT_TRUE(cleanReport.problems.empty());
    const fs::path file = fuzz / "Regressions" / "EvtxFuzzer" / "template-claims-values.evtx";
    LoadReport report;
    auto store = Store::OpenLogFile(file, &report);
    ASSERT_EQ(RecordIds(*store, file.wstring()), (Ids{1, 3}));
    Store::ReadLock lock(*store);
    EXPECT_EQ(store->String(store->FindChannel(file.wstring())->events[1].provider),
              L"Halyard-Monitor");
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_NE(report.problems[0].find(L"record 1 unreadable"), std::wstring::npos)
        << Base::Utf8FromWide(report.problems[0]);
}

} // namespace

namespace {

// The store the build generates for the main job: it must load cleanly, and every event of a
// declared publisher must have a message whose inserts all resolve.
TEST(SampleStore, LoadsCleanlyWithAMessageForEveryDeclaredEvent) {
    LoadReport report;
    auto store = Store::Open(CORVANE_SAMPLE_STORE, &report);
    Store::ReadLock lock(*store);
    EXPECT_TRUE(report.problems.empty()) << Base::Utf8FromWide(report.problems.front());
    size_t total = 0, formatted = 0;
    for (const auto& [name, channel] : store->Channels()) {
        total += channel->events.size();
        for (const Event& e : channel->events) {
            const Publisher* publisher = store->Catalog().FindPublisher(store->String(e.provider));
            if (publisher == nullptr) {
                continue;
            }
            const uint32_t full = (static_cast<uint32_t>(e.qualifiers) << 16) | e.eventId;
            auto message = publisher->messages.find(full);
            if (message == publisher->messages.end()) {
                message = publisher->messages.find(e.eventId);
            }
            ASSERT_NE(message, publisher->messages.end())
                << Base::Utf8FromWide(publisher->name) << " " << e.eventId;
            std::wstring text;
            EXPECT_EQ(ExpandMessage(message->second, InsertionStrings(*store, *channel, e),
                                    &publisher->parameters, text),
                      0u)
                << Base::Utf8FromWide(text);
            ++formatted;
        }
    }
    EXPECT_GE(total, 4000u);
    EXPECT_GT(formatted, total / 2);
    EXPECT_FALSE(store->FindChannel(L"Corvane/Operational")->classic);
}

} // namespace
