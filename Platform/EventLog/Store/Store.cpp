// The store: events parsed once from event XML and .evtx logs into compact channels with their
// strings interned, the folder or log file opened, and listeners told of changes.
#include "PalEventLog/Store/Store.h"

#include "PalEventLog/Evtx/EvtxReader.h"
#include "PalEventLog/Store/Behaviours.h"
#include "PalEventLog/Store/EventXml.h"
#include "PalEventLog/Store/ProviderExport.h"
#include "Win32/PalEventLogFaults.h"

#include "Win32/WinError.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace PalEventLog {

std::string Store::LowerCaseExtension(const std::filesystem::path& file) {
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

namespace {

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    std::string content;
    if (!in || ec) {
        return content;
    }
    content.resize(static_cast<size_t>(size));
    in.read(content.data(), static_cast<std::streamsize>(size));
    content.resize(static_cast<size_t>(in.gcount()));
    return content;
}

// Where the last Event start tag of `text` begins (not an EventData's); npos when there is none.
size_t LastEventStart(std::string_view text) {
    for (size_t at = text.rfind(kEventStartTag); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : text.rfind(kEventStartTag, at - 1)) {
        const size_t next = at + kEventStartTag.size();
        if (next == text.size() || std::isspace(static_cast<unsigned char>(text[next])) ||
            text[next] == '>' || text[next] == '/') {
            return at;
        }
    }
    return std::string_view::npos;
}

constexpr std::wstring_view kClassicChannels[] = {L"Application", L"System", L"Security"};

} // namespace

Store::Store() {
    WriteLock lock(*this);        // not shared yet
    m_guids.push_back(GUID_NULL); // id 0: absent
    for (auto name : kClassicChannels) {
        Channel& channel = GetOrAddChannel(name);
        channel.classic = true;
        channel.declared = true;
    }
}

Channel& Store::GetOrAddChannel(std::wstring_view name) {
    const auto& channels = WriterChannels();
    auto found = channels.find(name);
    if (found != channels.end()) {
        return *found->second;
    }
    auto channel = std::make_unique<Channel>();
    channel->name = name;
    Channel& result = *channel;
    // Readers look channels up in the map: it changes only while none reads it.
    Base::LockGuard exclusive(m_mutex);
    m_channels.emplace(std::wstring(name), std::move(channel));
    return result;
}

uint32_t Store::InternGuid(const GUID& guid) {
    // Few distinct GUIDs per store (providers); activity ids are many but compared rarely.
    for (size_t i = m_guids.size(); i-- > 1 && m_guids.size() - i < 64;) {
        if (m_guids[i] == guid) {
            return static_cast<uint32_t>(i);
        }
    }
    m_guids.push_back(guid);
    return static_cast<uint32_t>(m_guids.size() - 1);
}

uint32_t Store::AppendText(Channel& channel, std::wstring_view text) {
    return static_cast<uint32_t>(channel.text.AppendContiguous(text.data(), text.size(), L'\0'));
}

void Store::InternSid(StrId sid) {
    if (sid == 0 || (sid < m_sidBytes.size() && !m_sidBytes[sid].empty())) {
        return;
    }
    if (auto bytes = ParseSid(m_strings.Get(sid))) {
        while (m_sidBytes.size() <= sid) {
            m_sidBytes.emplace_back();
        }
        // No event of this SID is published yet: no reader looks at the entry.
        m_sidBytes[sid] = std::move(*bytes);
    }
}

void Store::AddEvent(Channel& channel, const ParsedEvent& parsed) {
    Event event = parsed.values;
    event.channel = m_strings.Intern(parsed.channel);
    event.provider = m_strings.Intern(parsed.provider);
    event.eventSourceName = m_strings.Intern(parsed.eventSourceName);
    event.computer = m_strings.Intern(parsed.computer);
    event.userSid = m_strings.Intern(parsed.userSid);
    InternSid(event.userSid);
    event.providerGuid = parsed.providerGuid ? InternGuid(*parsed.providerGuid) : 0;
    event.activityId = parsed.activityId ? InternGuid(*parsed.activityId) : 0;
    event.relatedActivityId = parsed.relatedActivityId ? InternGuid(*parsed.relatedActivityId) : 0;
    event.firstItem = static_cast<uint32_t>(channel.items.size());
    for (const ParsedEvent::Value& value : parsed.data) {
        Item item;
        item.element = m_strings.Intern(value.element);
        item.name = m_strings.Intern(value.name);
        item.textLength = static_cast<uint32_t>(value.text.size());
        item.textOffset = AppendText(channel, value.text);
        channel.items.push_back(item);
    }
    event.itemCount = static_cast<uint32_t>(channel.items.size()) - event.firstItem;
    if (!parsed.userDataElement.empty()) {
        event.userDataElement = m_strings.Intern(parsed.userDataElement);
        event.userDataXmlLength = static_cast<uint32_t>(parsed.userDataXml.size());
        event.userDataXmlOffset = AppendText(channel, parsed.userDataXml);
    }
    if (m_follow) {
        const uint64_t last = channel.events.empty() ? 0 : channel.events.back().recordId;
        if (event.recordId <= last || !(event.present & kHasRecordId)) {
            event.recordId = last + 1;
            event.present |= kHasRecordId;
        }
    }
    channel.events.push_back(event); // published whole, its items and texts before it
}

Channel* Store::AddEventElement(const pugi::xml_node& node, LoadReport& report) {
    ParsedEvent parsed;
    std::wstring problem;
    if (!ParseEventXml(node, parsed, problem)) {
        report.problems.push_back(std::move(problem));
        return nullptr;
    }
    Channel* channel = TargetChannel(parsed, report);
    if (channel == nullptr) {
        return nullptr;
    }
    AddEvent(*channel, parsed);
    ++report.events;
    return channel;
}

Channel* Store::TargetChannel(const ParsedEvent& parsed, LoadReport& report) {
    if (m_forcedChannel == nullptr && parsed.channel.empty()) {
        report.problems.push_back(L"event without System/Channel");
        return nullptr;
    }
    return m_forcedChannel ? m_forcedChannel : &GetOrAddChannel(parsed.channel);
}

bool Store::AddEventXml(const pugi::xml_node& node, LoadReport& report) {
    return AddEventElement(node, report) != nullptr;
}

void Store::LoadEventXmlText(std::string_view xml, LoadReport& report) {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(
        xml.data(), xml.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (!parsed) {
        report.problems.push_back(L"malformed event XML at offset " +
                                  std::to_wstring(parsed.offset) + L": " +
                                  Base::WideFromUtf8(parsed.description()));
    }
    // Events one after another, or under one root element; either way every Event element.
    std::vector<pugi::xml_node> events;
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
        if (node.type() != pugi::node_element) {
            continue;
        }
        if (LocalName(node.name()) == kEventElement) {
            events.push_back(node);
            continue;
        }
        for (pugi::xml_node e = node.first_child(); e; e = e.next_sibling()) {
            if (e.type() == pugi::node_element && LocalName(e.name()) == kEventElement) {
                events.push_back(e);
            }
        }
    }
    // The parser stops at an error: the last event it started is incomplete.
    if (!parsed && !events.empty()) {
        events.pop_back();
    }
    for (const pugi::xml_node& node : events) {
        AddEventXml(node, report);
    }
}

void Store::LoadEventFile(const std::filesystem::path& file, LoadReport& report,
                          const ProgressFn& progress) {
    ++report.files;
    std::string content = ReadFile(file);
    {
        // Events appended later start after the last complete event; an incomplete one at the
        // end is read again when it is complete.
        const size_t end = content.rfind(kEventEndTag);
        FileState& state = m_files[file];
        state.lastSize = content.size();
        state.consumed =
            end == std::string::npos || content.find(kEventsRootTag) != std::string::npos
                ? content.size()
                : EndOfEvents(content, end);
    }
    // Event elements one after another are parsed in chunks, so a large file never becomes one
    // large document; a root element holding the events is parsed whole. A UTF-8 byte-order mark
    // is skipped by looking for the first '<'.
    size_t first = content.find('<');
    constexpr std::string_view kDeclarationStart = "<?";
    while (first != std::string::npos &&
           content.compare(first, kDeclarationStart.size(), kDeclarationStart) == 0) {
        first = content.find('<', content.find("?>", first));
    }
    if (first == std::string::npos) {
        return;
    }
    if (content.compare(first, kEventStartTag.size(), kEventStartTag) != 0 ||
        content.compare(first, kEventsRootTag.size(), kEventsRootTag) == 0) {
        LoadEventXmlText(std::string_view(content).substr(first), report);
        return;
    }
    // Chunks of about a megabyte, cut after an event's end tag, are parsed as fragments; a chunk
    // that does not parse is taken again event by event so that one bad event costs only itself.
    constexpr size_t kChunk = 1 << 20;
    size_t begin = first;
    while (begin != std::string::npos && begin < content.size()) {
        size_t end = content.find(kEventEndTag, std::min(begin + kChunk, content.size()));
        end = end == std::string::npos ? content.size() : end + kEventEndTag.size();
        const std::string_view chunk = std::string_view(content).substr(begin, end - begin);
        LoadEventChunk(chunk, report);
        begin = content.find('<', end);
        if (progress) {
            progress(report.events);
        }
    }
}

void Store::LoadEventChunk(std::string_view chunk, LoadReport& report) {
    // The chunk is parsed in place in a buffer kept across calls: a fresh megabyte per chunk
    // would cost more in page faults than the parse itself.
    thread_local std::string buffer;
    buffer.assign(chunk);
    pugi::xml_document document;
    if (document.load_buffer_inplace(buffer.data(), buffer.size(),
                                     pugi::parse_default | pugi::parse_fragment,
                                     pugi::encoding_utf8)) {
        for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
            if (node.type() == pugi::node_element && LocalName(node.name()) == kEventElement) {
                AddEventXml(node, report);
            }
        }
        return;
    }
    size_t begin = 0;
    while (begin != std::string_view::npos && begin < chunk.size()) {
        size_t end = chunk.find(kEventEndTag, begin);
        end = end == std::string_view::npos ? chunk.size() : end + kEventEndTag.size();
        std::string_view piece = chunk.substr(begin, end - begin);
        // Up to one end tag, a second start tag means the first event was cut off (a writer
        // that died mid-event): it is skipped, so that it does not take the next one with it.
        const size_t last = LastEventStart(piece);
        if (last != 0 && last != std::string_view::npos &&
            LastEventStart(piece.substr(0, last)) != std::string_view::npos) {
            report.problems.push_back(L"incomplete event of " + std::to_wstring(last) +
                                      L" bytes skipped");
            piece.remove_prefix(last);
        }
        LoadEventXmlText(piece, report);
        begin = chunk.find('<', end);
    }
}

size_t Store::EndOfEvents(std::string_view text, size_t lastEndTag) {
    size_t end = lastEndTag + kEventEndTag.size();
    while (end < text.size() && std::isspace(static_cast<unsigned char>(text[end]))) {
        ++end;
    }
    return end;
}

void Store::LoadEvtxFile(const std::filesystem::path& path, LoadReport& report,
                         const ProgressFn& progress, int firstRecord) {
    ++report.files;
    const std::wstring fileName = path.filename().wstring();
    EvtxReader reader;
    std::wstring error;
    if (!reader.Open(path, firstRecord, error)) {
        report.problems.push_back(fileName + L": cannot open: " + error);
        return;
    }
    const int count = reader.RecordCount();
    size_t unreadable = 0;
    std::string xml;
    std::string batch;
    constexpr size_t kBatch = 1 << 20;
    {
        FileState& state = m_files[path];
        std::error_code sizeError;
        const auto size = std::filesystem::file_size(path, sizeError);
        state.consumed = state.lastSize = sizeError ? 0 : size;
        state.evtxRecords = count;
        state.evtxTime = std::filesystem::last_write_time(path, sizeError);
    }
    for (;;) {
        int index = 0;
        const EvtxReader::Result result = reader.Next(index, xml, error);
        if (result == EvtxReader::Result::End) {
            break;
        }
        if (result == EvtxReader::Result::Record) {
            // Records are parsed in batches, as event files are: one document per record would
            // cost more than the parse.
            batch += xml;
            batch.push_back('\n');
            if (batch.size() >= kBatch) {
                LoadEventChunk(batch, report);
                batch.clear();
            }
            if (progress && index % 10000 == 9999) {
                progress(report.events);
            }
            continue;
        }
        if (index >= count) {
            break; // the reader stopped after the last record: nothing is lost
        }
        if (unreadable++ == 0) {
            report.problems.push_back(fileName + L": record " + std::to_wstring(index) +
                                      L" unreadable: " + error);
        }
        // A reader that stopped on a record (libevtx faulted on it) is started again after it.
        if (result == EvtxReader::Result::Stopped &&
            (index + 1 >= count || !reader.Open(path, index + 1, error))) {
            if (index + 1 < count) {
                report.problems.push_back(fileName + L": records from " +
                                          std::to_wstring(index + 1) + L" unread: " + error);
            }
            break;
        }
    }
    if (!batch.empty()) {
        LoadEventChunk(batch, report);
    }
    if (unreadable > 1) {
        report.problems.push_back(fileName + L": " + std::to_wstring(unreadable) +
                                  L" records unreadable in all");
    }
}

void Store::LoadPublishers(const std::filesystem::path& file, LoadReport& report) {
    for (const ChannelDeclaration& declaration : m_catalog.LoadPublishers(file, report)) {
        Channel& channel = GetOrAddChannel(declaration.name);
        channel.declared = true;
        channel.classic = channel.classic || declaration.classic;
    }
}

void Store::LoadAccounts(const std::filesystem::path& file, LoadReport& report) {
    m_catalog.LoadAccounts(file, report);
}

void Store::Finish() {
    for (auto& [name, channel] : WriterChannels()) {
        auto byRecord = [](const Event& a, const Event& b) { return a.recordId < b.recordId; };
        if (!std::is_sorted(channel->events.begin(), channel->events.end(), byRecord)) {
            // Before the store is shared: no reader sees the events move.
            std::stable_sort(channel->events.begin(), channel->events.end(), byRecord);
        }
    }
}

std::shared_ptr<Store> Store::Open(const std::filesystem::path& folder, LoadReport* report,
                                   const ProgressFn& progress) {
    auto store = std::make_shared<Store>();
    LoadReport local;
    {
        WriteLock lock(*store); // not shared yet, but loading is done under the lock
        store->LoadFolder(folder, report ? *report : local, progress);
    }
    store->m_folder = folder;
    const char* poll = std::getenv("PAL_EVENTLOG_POLL_MS");
    const long interval = poll != nullptr ? std::strtol(poll, nullptr, 10) : 250;
    if (interval > 0) {
        store->m_watcher = std::make_unique<FolderWatcher>(store->weak_from_this(),
                                                           std::chrono::milliseconds(interval));
    }
    return store;
}

void Store::LoadFolder(const std::filesystem::path& folder, LoadReport& r,
                       const ProgressFn& progress) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.is_regular_file(ec)) {
            files.push_back(entry.path());
        }
    }
    if (ec) {
        r.problems.push_back(L"cannot read folder " + folder.wstring() + L": " +
                             Base::WideFromUtf8(ec.message()));
    }
    std::sort(files.begin(), files.end());
    const char* cacheSetting = std::getenv("PAL_EVENTLOG_CACHE");
    const bool useCache = cacheSetting == nullptr || std::string_view(cacheSetting) != "0";
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        const std::string extension = LowerCaseExtension(file);
        if (name == "publishers.xml") {
            LoadPublishers(file, r);
        } else if (name == "accounts.xml") {
            LoadAccounts(file, r);
        } else if (extension == ".man" || (extension == ".xml" && IsProviderExportFile(file))) {
            m_catalog.LoadProviderExport(file, r);
            m_metadataFiles.insert(file);
        } else if (extension == ".xml" || extension == ".evtx") {
            // Parsed event files are cached in the folder's .cache (PAL_EVENTLOG_CACHE=0: never).
            const std::filesystem::path cache = folder / ".cache" / (name + ".palcache");
            uint64_t consumed = 0;
            if (useCache && LoadCache(file, cache, r, consumed)) {
                std::error_code sizeError;
                const auto size = std::filesystem::file_size(file, sizeError);
                FileState& state = m_files[file];
                state.consumed = consumed;
                state.lastSize = sizeError ? 0 : size;
                if (extension == ".evtx") {
                    state.evtxRecords = EvtxRecordCount(file);
                    state.evtxTime = std::filesystem::last_write_time(file, sizeError);
                }
                continue;
            }
            const auto before = Marks();
            const size_t problemsBefore = r.problems.size();
            if (extension == ".xml") {
                LoadEventFile(file, r, progress);
            } else {
                LoadEvtxFile(file, r, progress);
            }
            if (useCache) {
                WriteCache(file, cache, before, r, problemsBefore);
            }
        }
    }
    m_catalog.LoadMessageFiles(folder, r);
    Finish();
}

bool Store::IsProviderExportFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string head(4096, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    return IsProviderExport(head);
}

std::shared_ptr<Store> Store::OpenLogFile(const std::filesystem::path& file, LoadReport* report) {
    auto store = std::make_shared<Store>();
    LoadReport local;
    LoadReport& r = report ? *report : local;
    WriteLock lock(*store); // not shared yet, but loading is done under the lock
    store->m_forcedChannel = &store->GetOrAddChannel(file.wstring());
    if (LowerCaseExtension(file) == ".evtx") {
        store->LoadEvtxFile(file, r);
    } else {
        store->LoadEventFile(file, r);
    }
    store->Finish();
    return store;
}

void Store::RollOver(Channel& channel) {
    const DWORD maximum = Behaviour(PalChannelMaxEvents);
    const size_t size = channel.events.size();
    if (maximum != 0 && size - channel.firstKept > maximum) {
        channel.firstKept = size - maximum;
        ++channel.rollovers;
    }
}

void Store::Notify(const std::vector<const Channel*>& changed) {
    for (const Channel* channel : changed) {
        m_changeListeners.Notify(*channel);
    }
}

bool Store::Append(std::string_view eventXml) {
    pugi::xml_document document;
    if (!document.load_buffer(eventXml.data(), eventXml.size())) {
        return false;
    }
    Channel* changed = nullptr;
    {
        WriteLock lock(*this);
        // Appended events follow the channel's last one.
        const Following following(*this);
        LoadReport report;
        changed = AddEventElement(document.document_element(), report);
        if (changed == nullptr) {
            return false;
        }
        RollOver(*changed);
    }
    Notify({changed});
    return true;
}

void Store::Report(std::wstring problem) {
    Base::LockGuard lock(m_problemsMutex);
    m_problems.push_back(problem);
    m_undelivered.push_back(std::move(problem));
}

void Store::DeliverProblems() {
    std::vector<std::wstring> problems;
    {
        Base::LockGuard lock(m_problemsMutex);
        problems.swap(m_undelivered);
    }
    for (const auto& problem : problems) {
        m_problemListeners.Notify(problem);
    }
}

std::vector<std::wstring> Store::Problems() const {
    Base::LockGuard lock(m_problemsMutex);
    return m_problems;
}

Store::ProblemListeners::Registration
Store::AddProblemListener(ProblemListeners::Listener listener) {
    return m_problemListeners.Add(std::move(listener));
}

Store::ChangeListeners::Registration Store::AddListener(ChangeListeners::Listener listener) {
    return m_changeListeners.Add(std::move(listener));
}

Channel* Store::FindChannel(std::wstring_view name) const noexcept {
    auto found = m_channels.find(name);
    return found == m_channels.end() ? nullptr : found->second.get();
}

std::vector<std::wstring> Store::ChannelPublishers(const Channel& channel) const {
    std::vector<std::wstring> result;
    std::map<std::wstring, bool, NoCaseLess> seen;
    for (const auto& [name, publisher] : m_catalog.Publishers()) {
        for (const auto& c : publisher.channels) {
            if (EqualsNoCase(c, channel.name) && seen.emplace(publisher.name, true).second) {
                result.push_back(publisher.name);
            }
        }
    }
    std::vector<bool> providerSeen(m_strings.Count(), false);
    for (const Event& e : channel.events) {
        if (e.provider != 0 && !providerSeen[e.provider]) {
            providerSeen[e.provider] = true;
            std::wstring name(m_strings.Get(e.provider));
            if (seen.emplace(name, true).second) {
                result.push_back(std::move(name));
            }
        }
    }
    return result;
}

namespace {
Base::Mutex g_storeMutex;
std::shared_ptr<Store> g_store GUARDED_BY(g_storeMutex);
} // namespace

std::shared_ptr<Store> GlobalStore() {
    Base::LockGuard lock(g_storeMutex);
    if (!g_store) {
        const char* folder = std::getenv("PAL_EVENTLOG_DIR");
        g_store = (folder != nullptr && *folder != '\0') ? Store::Open(folder, nullptr)
                                                         : std::make_shared<Store>();
    }
    return g_store;
}

void SetGlobalStore(std::shared_ptr<Store> store) {
    Base::LockGuard lock(g_storeMutex);
    g_store.swap(store); // the store replaced is let go of after the lock
}

} // namespace PalEventLog
