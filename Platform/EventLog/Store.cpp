// The store: events parsed once from event XML and .evtx logs into compact channels, the
// publishers and accounts of a folder, the folder or log file opened, and listeners told of
// changes.
#include "Store.h"

#include "Win32/WinError.h"

#include <libevtx.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

namespace PalEventLog {

std::shared_mutex& ReadMostlyMutex::Shard() const {
    static std::atomic<size_t> next{0};
    thread_local const size_t index = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return shards_[index].mutex;
}

StringPool::StringPool() {
    strings_.emplace_back(); // id 0: absent
}

StrId StringPool::Intern(std::wstring_view text) {
    if (text.empty()) {
        return 0;
    }
    auto found = index_.find(text);
    if (found != index_.end()) {
        return found->second;
    }
    const auto id = static_cast<StrId>(strings_.size());
    const std::wstring& stored = strings_.emplace_back(text);
    index_.emplace(std::wstring_view(stored), id);
    return id;
}

size_t Channel::LowerBound(uint64_t recordId) const noexcept {
    auto it = std::lower_bound(events.begin(), events.end(), recordId,
                               [](const Event& e, uint64_t id) { return e.recordId < id; });
    return static_cast<size_t>(it - events.begin());
}

namespace {

// Element and attribute names without a namespace prefix.
std::string_view LocalName(const char* name) {
    std::string_view view(name);
    const size_t colon = view.find(':');
    return colon == std::string_view::npos ? view : view.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& node, std::string_view name) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && LocalName(child.name()) == name) {
            return child;
        }
    }
    return {};
}

pugi::xml_attribute Attribute(const pugi::xml_node& node, std::string_view name) {
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
        if (LocalName(a.name()) == name) {
            return a;
        }
    }
    return {};
}

std::optional<uint64_t> NumberOf(std::string_view text) {
    return ParseUnsigned(Widen(text));
}

// Text content of an element (all text and CDATA children, not nested elements).
std::string TextOf(const pugi::xml_node& node) {
    std::string out;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            out += child.value();
        }
    }
    return out;
}

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
    for (size_t at = text.rfind("<Event"); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : text.rfind("<Event", at - 1)) {
        const size_t next = at + 6;
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
    guids_.push_back(GUID_NULL); // id 0: absent
    for (auto name : kClassicChannels) {
        Channel& channel = GetOrAddChannel(name);
        channel.classic = true;
        channel.declared = true;
    }
}

Channel& Store::GetOrAddChannel(std::wstring_view name) {
    auto found = channels_.find(name);
    if (found != channels_.end()) {
        return *found->second;
    }
    auto channel = std::make_unique<Channel>();
    channel->name = name;
    Channel& result = *channel;
    channels_.emplace(std::wstring(name), std::move(channel));
    return result;
}

uint32_t Store::InternGuid(const GUID& guid) {
    // Few distinct GUIDs per store (providers); activity ids are many but compared rarely.
    for (size_t i = guids_.size(); i-- > 1 && guids_.size() - i < 64;) {
        if (guids_[i] == guid) {
            return static_cast<uint32_t>(i);
        }
    }
    guids_.push_back(guid);
    return static_cast<uint32_t>(guids_.size() - 1);
}

uint32_t Store::AppendText(Channel& channel, std::wstring_view text) {
    const auto offset = static_cast<uint32_t>(channel.text.size());
    channel.text.insert(channel.text.end(), text.begin(), text.end());
    return offset;
}

bool Store::AddEventXml(const pugi::xml_node& node, LoadReport& report) {
    const pugi::xml_node system = Child(node, "System");
    if (!system) {
        report.problems.push_back(L"event without System element");
        return false;
    }
    Event event;
    const std::wstring channelName = Widen(TextOf(Child(system, "Channel")));
    if (forcedChannel_ == nullptr && channelName.empty()) {
        report.problems.push_back(L"event without System/Channel");
        return false;
    }
    Channel& channel = forcedChannel_ ? *forcedChannel_ : GetOrAddChannel(channelName);
    event.channel = strings_.Intern(channelName);

    if (pugi::xml_node provider = Child(system, "Provider")) {
        event.present |= kHasProvider;
        event.provider = strings_.Intern(Widen(Attribute(provider, "Name").value()));
        event.eventSourceName =
            strings_.Intern(Widen(Attribute(provider, "EventSourceName").value()));
        if (auto guid = ParseGuid(Widen(Attribute(provider, "Guid").value()))) {
            event.providerGuid = InternGuid(*guid);
        }
    }
    if (pugi::xml_node id = Child(system, "EventID")) {
        const auto value = NumberOf(TextOf(id)).value_or(0);
        event.present |= kHasEventId;
        event.eventId = static_cast<uint16_t>(value);
        if (auto q = NumberOf(Attribute(id, "Qualifiers").value())) {
            event.present |= kHasQualifiers;
            event.qualifiers = static_cast<uint16_t>(*q);
        } else if (value > 0xFFFF) {
            event.present |= kHasQualifiers;
            event.qualifiers = static_cast<uint16_t>(value >> 16);
        }
    }
    auto small = [&](const char* name, uint32_t bit, auto& field) {
        if (auto v = NumberOf(TextOf(Child(system, name)))) {
            event.present |= bit;
            field = static_cast<std::remove_reference_t<decltype(field)>>(*v);
        }
    };
    small("Version", kHasVersion, event.version);
    small("Level", kHasLevel, event.level);
    small("Task", kHasTask, event.task);
    small("Opcode", kHasOpcode, event.opcode);
    small("Keywords", kHasKeywords, event.keywords);
    small("EventRecordID", kHasRecordId, event.recordId);
    if (pugi::xml_node time = Child(system, "TimeCreated")) {
        if (auto t = ParseSystemTime(Widen(Attribute(time, "SystemTime").value()))) {
            event.present |= kHasTimeCreated;
            event.timeCreated = *t;
        }
    }
    if (pugi::xml_node correlation = Child(system, "Correlation")) {
        event.present |= kHasCorrelation;
        if (auto g = ParseGuid(Widen(Attribute(correlation, "ActivityID").value()))) {
            event.activityId = InternGuid(*g);
        }
        if (auto g = ParseGuid(Widen(Attribute(correlation, "RelatedActivityID").value()))) {
            event.relatedActivityId = InternGuid(*g);
        }
    }
    if (pugi::xml_node execution = Child(system, "Execution")) {
        event.present |= kHasExecution;
        if (auto v = NumberOf(Attribute(execution, "ProcessID").value())) {
            event.present |= kHasProcessId;
            event.processId = static_cast<uint32_t>(*v);
        }
        if (auto v = NumberOf(Attribute(execution, "ThreadID").value())) {
            event.present |= kHasThreadId;
            event.threadId = static_cast<uint32_t>(*v);
        }
    }
    event.computer = strings_.Intern(Widen(TextOf(Child(system, "Computer"))));
    if (pugi::xml_node security = Child(system, "Security")) {
        event.present |= kHasSecurity;
        event.userSid = strings_.Intern(Widen(Attribute(security, "UserID").value()));
        if (event.userSid != 0 && SidBytes(event.userSid).empty()) {
            if (auto sid = ParseSid(strings_.Get(event.userSid))) {
                if (sidBytes_.size() <= event.userSid) {
                    sidBytes_.resize(event.userSid + 1);
                }
                sidBytes_[event.userSid] = std::move(*sid);
            }
        }
    }

    event.firstItem = static_cast<uint32_t>(channel.items.size());
    auto addItem = [&](const pugi::xml_node& element) {
        Item item;
        item.element = strings_.Intern(Widen(LocalName(element.name())));
        item.name = strings_.Intern(Widen(Attribute(element, "Name").value()));
        const std::wstring text = Widen(TextOf(element));
        item.textLength = static_cast<uint32_t>(text.size());
        item.textOffset = AppendText(channel, text);
        channel.items.push_back(item);
    };
    if (pugi::xml_node data = Child(node, "EventData")) {
        event.payload = Payload::EventData;
        for (pugi::xml_node c = data.first_child(); c; c = c.next_sibling()) {
            if (c.type() == pugi::node_element) {
                addItem(c);
            }
        }
    } else if (pugi::xml_node user = Child(node, "UserData")) {
        event.payload = Payload::UserData;
        pugi::xml_node root = user.first_child();
        while (root && root.type() != pugi::node_element) {
            root = root.next_sibling();
        }
        if (root) {
            event.userDataElement = strings_.Intern(Widen(LocalName(root.name())));
            for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
                if (c.type() == pugi::node_element) {
                    addItem(c);
                }
            }
            std::ostringstream xml;
            root.print(xml, "", pugi::format_raw | pugi::format_attribute_single_quote);
            const std::wstring text = Widen(xml.str());
            event.userDataXmlLength = static_cast<uint32_t>(text.size());
            event.userDataXmlOffset = AppendText(channel, text);
        }
    }
    event.itemCount = static_cast<uint32_t>(channel.items.size()) - event.firstItem;
    channel.events.push_back(event);
    ++report.events;
    return true;
}

void Store::LoadEventXmlText(std::string_view xml, LoadReport& report) {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(
        xml.data(), xml.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (!parsed) {
        report.problems.push_back(L"malformed event XML at offset " +
                                  std::to_wstring(parsed.offset) + L": " +
                                  Widen(parsed.description()));
    }
    // Events one after another, or under one root element; either way every Event element.
    std::vector<pugi::xml_node> events;
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
        if (node.type() != pugi::node_element) {
            continue;
        }
        if (LocalName(node.name()) == "Event") {
            events.push_back(node);
            continue;
        }
        for (pugi::xml_node e = node.first_child(); e; e = e.next_sibling()) {
            if (e.type() == pugi::node_element && LocalName(e.name()) == "Event") {
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
        const size_t end = content.rfind("</Event>");
        FileState& state = files_[file];
        state.lastSize = content.size();
        state.consumed = end == std::string::npos || content.find("<Events") != std::string::npos
                             ? content.size()
                             : EndOfEvents(content, end);
    }
    // Event elements one after another are parsed in chunks, so a large file never becomes one
    // large document; a root element holding the events is parsed whole. A UTF-8 byte-order mark
    // is skipped by looking for the first '<'.
    size_t first = content.find('<');
    while (first != std::string::npos && content.compare(first, 2, "<?") == 0) {
        first = content.find('<', content.find("?>", first));
    }
    if (first == std::string::npos) {
        return;
    }
    if (content.compare(first, 6, "<Event") != 0 || content.compare(first, 7, "<Events") == 0) {
        LoadEventXmlText(std::string_view(content).substr(first), report);
        return;
    }
    // Chunks of about a megabyte, cut after an event's end tag, are parsed as fragments; a chunk
    // that does not parse is taken again event by event so that one bad event costs only itself.
    constexpr size_t kChunk = 1 << 20;
    size_t begin = first;
    while (begin != std::string::npos && begin < content.size()) {
        size_t end = content.find("</Event>", std::min(begin + kChunk, content.size()));
        end = end == std::string::npos ? content.size() : end + 8;
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
            if (node.type() == pugi::node_element && LocalName(node.name()) == "Event") {
                AddEventXml(node, report);
            }
        }
        return;
    }
    size_t begin = 0;
    while (begin != std::string_view::npos && begin < chunk.size()) {
        size_t end = chunk.find("</Event>", begin);
        end = end == std::string_view::npos ? chunk.size() : end + 8;
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

namespace {
struct EvtxError {
    libevtx_error_t* error = nullptr;
    ~EvtxError() { libevtx_error_free(&error); }
    std::wstring Text() {
        char buffer[512] = {};
        if (error != nullptr) {
            libevtx_error_sprint(error, buffer, sizeof buffer);
            libevtx_error_free(&error);
        }
        std::string text(buffer);
        std::replace(text.begin(), text.end(), '\n', ' ');
        return Widen(text);
    }
};
struct EvtxFile {
    libevtx_file_t* file = nullptr;
    ~EvtxFile() {
        if (file != nullptr) {
            libevtx_file_close(file, nullptr);
            libevtx_file_free(&file, nullptr);
        }
    }
};
struct EvtxRecord {
    libevtx_record_t* record = nullptr;
    ~EvtxRecord() { libevtx_record_free(&record, nullptr); }
};
} // namespace

int Store::EvtxRecordCount(const std::filesystem::path& path) {
    EvtxError error;
    EvtxFile file;
    int count = -1;
    if (libevtx_file_initialize(&file.file, &error.error) != 1 ||
        libevtx_file_open(file.file, path.string().c_str(), LIBEVTX_OPEN_READ, &error.error) != 1 ||
        libevtx_file_get_number_of_records(file.file, &count, &error.error) != 1) {
        error.Text();
        return -1;
    }
    return count;
}

size_t Store::EndOfEvents(std::string_view text, size_t lastEndTag) {
    size_t end = lastEndTag + 8;
    while (end < text.size() && std::isspace(static_cast<unsigned char>(text[end]))) {
        ++end;
    }
    return end;
}

void Store::LoadEvtxFile(const std::filesystem::path& path, LoadReport& report,
                         const ProgressFn& progress, int firstRecord) {
    ++report.files;
    const std::wstring fileName = path.filename().wstring();
    EvtxError error;
    EvtxFile file;
    if (libevtx_file_initialize(&file.file, &error.error) != 1 ||
        libevtx_file_open(file.file, path.string().c_str(), LIBEVTX_OPEN_READ, &error.error) != 1) {
        report.problems.push_back(fileName + L": cannot open: " + error.Text());
        return;
    }
    int count = 0;
    if (libevtx_file_get_number_of_records(file.file, &count, &error.error) != 1) {
        report.problems.push_back(fileName + L": cannot count records: " + error.Text());
        return;
    }
    size_t unreadable = 0;
    std::string xml;
    std::string batch;
    constexpr size_t kBatch = 1 << 20;
    {
        FileState& state = files_[path];
        std::error_code sizeError;
        const auto size = std::filesystem::file_size(path, sizeError);
        state.consumed = state.lastSize = sizeError ? 0 : size;
        state.evtxRecords = count;
        state.evtxTime = std::filesystem::last_write_time(path, sizeError);
    }
    for (int i = firstRecord; i < count; ++i) {
        EvtxRecord record;
        auto unreadableRecord = [&] {
            if (unreadable++ == 0) {
                report.problems.push_back(fileName + L": record " + std::to_wstring(i) +
                                          L" unreadable: " + error.Text());
            }
            error.Text();
        };
        if (libevtx_file_get_record_by_index(file.file, i, &record.record, &error.error) != 1) {
            unreadableRecord();
            continue;
        }
        // Most records fit the buffer of the previous ones: asking for the size first would make
        // libevtx build the XML twice.
        xml.resize(std::max<size_t>(xml.capacity(), 64 * 1024));
        if (libevtx_record_get_utf8_xml_string(record.record,
                                               reinterpret_cast<uint8_t*>(xml.data()), xml.size(),
                                               &error.error) != 1) {
            error.Text();
            size_t size = 0;
            if (libevtx_record_get_utf8_xml_string_size(record.record, &size, &error.error) != 1) {
                unreadableRecord();
                continue;
            }
            xml.assign(size, '\0');
            if (libevtx_record_get_utf8_xml_string(record.record,
                                                   reinterpret_cast<uint8_t*>(xml.data()), size,
                                                   &error.error) != 1) {
                unreadableRecord();
                continue;
            }
        }
        // Records are parsed in batches, as event files are: one document per record would cost
        // more than the parse.
        batch.append(xml.c_str());
        batch.push_back('\n');
        if (batch.size() >= kBatch) {
            LoadEventChunk(batch, report);
            batch.clear();
        }
        if (progress && i % 10000 == 9999) {
            progress(report.events);
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
    ++report.files;
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_file(file.c_str());
    if (!parsed) {
        report.problems.push_back(L"publishers.xml: " + Widen(parsed.description()) +
                                  L" at offset " + std::to_wstring(parsed.offset));
        return;
    }
    const pugi::xml_node root = document.document_element();
    for (pugi::xml_node c : root.children("Channel")) {
        Channel& channel = GetOrAddChannel(Widen(c.attribute("Name").value()));
        channel.declared = true;
        channel.classic = channel.classic || c.attribute("Classic").as_bool();
    }
    for (pugi::xml_node p : root.children("Publisher")) {
        Publisher publisher;
        publisher.name = Widen(p.attribute("Name").value());
        if (publisher.name.empty()) {
            report.problems.push_back(L"publishers.xml: publisher without a name");
            continue;
        }
        if (auto guid = ParseGuid(Widen(p.attribute("Guid").value()))) {
            publisher.guid = *guid;
        }
        for (pugi::xml_node c : p.children("Channel")) {
            const std::wstring name = Widen(c.attribute("Name").value());
            Channel& channel = GetOrAddChannel(name);
            channel.declared = true;
            channel.classic = channel.classic || c.attribute("Classic").as_bool();
            publisher.channels.push_back(name);
        }
        auto idOf = [](const pugi::xml_node& n, const char* attribute) {
            return NumberOf(n.attribute(attribute).value());
        };
        for (pugi::xml_node m : p.children("Message")) {
            if (auto id = idOf(m, "EventId")) {
                publisher.messages[static_cast<uint32_t>(*id)] = Widen(m.text().get());
            }
        }
        for (pugi::xml_node m : p.children("Parameter")) {
            if (auto id = idOf(m, "Id")) {
                publisher.parameters[static_cast<uint32_t>(*id)] = Widen(m.text().get());
            }
        }
        for (pugi::xml_node m : p.children("Level")) {
            if (auto v = idOf(m, "Value")) {
                publisher.levels[static_cast<uint32_t>(*v)] = Widen(m.attribute("Name").value());
            }
        }
        for (pugi::xml_node m : p.children("Task")) {
            if (auto v = idOf(m, "Value")) {
                publisher.tasks[static_cast<uint32_t>(*v)] = Widen(m.attribute("Name").value());
            }
        }
        for (pugi::xml_node m : p.children("Opcode")) {
            if (auto v = idOf(m, "Value")) {
                publisher.opcodes[static_cast<uint32_t>(*v)] = Widen(m.attribute("Name").value());
            }
        }
        for (pugi::xml_node m : p.children("Keyword")) {
            if (auto v = idOf(m, "Mask")) {
                publisher.keywords[*v] = Widen(m.attribute("Name").value());
            }
        }
        std::wstring key = publisher.name;
        publishers_[key] = std::move(publisher);
    }
}

void Store::LoadAccounts(const std::filesystem::path& file, LoadReport& report) {
    ++report.files;
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_file(file.c_str());
    if (!parsed) {
        report.problems.push_back(L"accounts.xml: " + Widen(parsed.description()) + L" at offset " +
                                  std::to_wstring(parsed.offset));
        return;
    }
    for (pugi::xml_node a : document.document_element().children("Account")) {
        const std::wstring sid = Widen(a.attribute("Sid").value());
        if (!ParseSid(sid)) {
            report.problems.push_back(L"accounts.xml: invalid SID '" + sid + L"'");
            continue;
        }
        accounts_[sid] =
            Account{Widen(a.attribute("Domain").value()), Widen(a.attribute("Name").value())};
    }
}

void Store::Finish() {
    for (auto& [name, channel] : channels_) {
        auto byRecord = [](const Event& a, const Event& b) { return a.recordId < b.recordId; };
        if (!std::is_sorted(channel->events.begin(), channel->events.end(), byRecord)) {
            std::stable_sort(channel->events.begin(), channel->events.end(), byRecord);
        }
        channel->events.shrink_to_fit();
        channel->items.shrink_to_fit();
        channel->text.shrink_to_fit();
    }
}

std::shared_ptr<Store> Store::Open(const std::filesystem::path& folder, LoadReport* report,
                                   const ProgressFn& progress) {
    auto store = std::make_shared<Store>();
    LoadReport local;
    LoadReport& r = report ? *report : local;
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.is_regular_file(ec)) {
            files.push_back(entry.path());
        }
    }
    if (ec) {
        r.problems.push_back(L"cannot read folder " + folder.wstring() + L": " +
                             Widen(ec.message()));
    }
    std::sort(files.begin(), files.end());
    const char* cacheSetting = std::getenv("PAL_EVENTLOG_CACHE");
    const bool useCache = cacheSetting == nullptr || std::string_view(cacheSetting) != "0";
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        std::string extension = file.extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (name == "publishers.xml") {
            store->LoadPublishers(file, r);
        } else if (name == "accounts.xml") {
            store->LoadAccounts(file, r);
        } else if (extension == ".xml" || extension == ".evtx") {
            // Parsed event files are cached in the folder's .cache (PAL_EVENTLOG_CACHE=0: never).
            const std::filesystem::path cache = folder / ".cache" / (name + ".palcache");
            uint64_t consumed = 0;
            if (useCache && store->LoadCache(file, cache, r, consumed)) {
                std::error_code sizeError;
                const auto size = std::filesystem::file_size(file, sizeError);
                FileState& state = store->files_[file];
                state.consumed = consumed;
                state.lastSize = sizeError ? 0 : size;
                if (extension == ".evtx") {
                    state.evtxRecords = EvtxRecordCount(file);
                    state.evtxTime = std::filesystem::last_write_time(file, sizeError);
                }
                continue;
            }
            const auto before = store->Marks();
            const size_t problemsBefore = r.problems.size();
            if (extension == ".xml") {
                store->LoadEventFile(file, r, progress);
            } else {
                store->LoadEvtxFile(file, r, progress);
            }
            if (useCache) {
                store->WriteCache(file, cache, before, r, problemsBefore);
            }
        }
    }
    store->Finish();
    store->folder_ = folder;
    const char* poll = std::getenv("PAL_EVENTLOG_POLL_MS");
    const long interval = poll != nullptr ? std::strtol(poll, nullptr, 10) : 250;
    if (interval > 0) {
        store->StartWatcher(std::chrono::milliseconds(interval));
    }
    return store;
}

std::shared_ptr<Store> Store::OpenLogFile(const std::filesystem::path& file, LoadReport* report) {
    auto store = std::make_shared<Store>();
    LoadReport local;
    LoadReport& r = report ? *report : local;
    store->forcedChannel_ = &store->GetOrAddChannel(file.wstring());
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".evtx") {
        store->LoadEvtxFile(file, r);
    } else {
        store->LoadEventFile(file, r);
    }
    store->Finish();
    return store;
}

void Store::OrderAppended(Channel& channel, size_t from) {
    auto& events = channel.events;
    for (size_t i = from; i < events.size(); ++i) {
        const uint64_t last = i > 0 ? events[i - 1].recordId : 0;
        if (events[i].recordId <= last || !(events[i].present & kHasRecordId)) {
            events[i].recordId = last + 1;
            events[i].present |= kHasRecordId;
        }
    }
}

void Store::Notify(const std::vector<const Channel*>& changed) {
    if (changed.empty()) {
        return;
    }
    std::lock_guard lock(listenersMutex_);
    for (const Channel* channel : changed) {
        for (auto& [id, listener] : listeners_) {
            listener(*channel);
        }
    }
}

bool Store::Append(std::string_view eventXml) {
    Channel* changed = nullptr;
    {
        std::unique_lock lock(mutex);
        pugi::xml_document document;
        if (!document.load_buffer(eventXml.data(), eventXml.size())) {
            return false;
        }
        pugi::xml_node node = document.document_element();
        LoadReport report;
        if (!AddEventXml(node, report)) {
            return false;
        }
        const std::wstring channelName = Widen(TextOf(Child(Child(node, "System"), "Channel")));
        changed = forcedChannel_ ? forcedChannel_ : FindChannel(channelName);
        if (changed == nullptr) {
            return false;
        }
        // Appended events follow the channel's last one: an event without a record id, or with
        // one not above the last, gets the next.
        OrderAppended(*changed, changed->events.size() - 1);
    }
    Notify({changed});
    return true;
}

Store::~Store() {
    {
        std::lock_guard lock(watcherMutex_);
        watcherStop_ = true;
    }
    watcherWake_.notify_all();
    if (watcher_.joinable()) {
        if (watcher_.get_id() == std::this_thread::get_id()) {
            watcher_.detach(); // the last owner let go during the watcher's own notification
        } else {
            watcher_.join();
        }
    }
}

void Store::Report(std::wstring problem) {
    std::lock_guard lock(problemsMutex_);
    problems_.push_back(problem);
    undelivered_.push_back(std::move(problem));
}

void Store::DeliverProblems() {
    std::vector<std::wstring> problems;
    std::vector<ProblemListener> listeners;
    {
        std::lock_guard lock(problemsMutex_);
        problems.swap(undelivered_);
        for (const auto& [id, listener] : problemListeners_) {
            listeners.push_back(listener);
        }
    }
    for (const auto& problem : problems) {
        for (const auto& listener : listeners) {
            listener(problem);
        }
    }
}

std::vector<std::wstring> Store::Problems() const {
    std::lock_guard lock(problemsMutex_);
    return problems_;
}

uint64_t Store::AddProblemListener(ProblemListener listener) {
    std::lock_guard lock(problemsMutex_);
    const uint64_t id = nextProblemListener_++;
    problemListeners_.emplace(id, std::move(listener));
    return id;
}

void Store::RemoveProblemListener(uint64_t id) {
    std::lock_guard lock(problemsMutex_);
    problemListeners_.erase(id);
}

uint64_t Store::AddListener(ChangeListener listener) {
    std::lock_guard lock(listenersMutex_);
    const uint64_t id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void Store::RemoveListener(uint64_t id) {
    std::lock_guard lock(listenersMutex_);
    listeners_.erase(id);
}

Channel* Store::FindChannel(std::wstring_view name) const noexcept {
    auto found = channels_.find(name);
    return found == channels_.end() ? nullptr : found->second.get();
}

const Publisher* Store::FindPublisher(std::wstring_view name) const noexcept {
    auto found = publishers_.find(name);
    return found == publishers_.end() ? nullptr : &found->second;
}

const Account* Store::FindAccount(std::wstring_view sid) const noexcept {
    auto found = accounts_.find(sid);
    return found == accounts_.end() ? nullptr : &found->second;
}

std::vector<std::wstring> Store::ChannelPublishers(const Channel& channel) const {
    std::vector<std::wstring> result;
    std::map<std::wstring, bool, NoCaseLess> seen;
    for (const auto& [name, publisher] : publishers_) {
        for (const auto& c : publisher.channels) {
            if (EqualsNoCase(c, channel.name) && seen.emplace(publisher.name, true).second) {
                result.push_back(publisher.name);
            }
        }
    }
    std::vector<bool> providerSeen(strings_.Count(), false);
    for (const Event& e : channel.events) {
        if (e.provider != 0 && !providerSeen[e.provider]) {
            providerSeen[e.provider] = true;
            std::wstring name(strings_.Get(e.provider));
            if (seen.emplace(name, true).second) {
                result.push_back(std::move(name));
            }
        }
    }
    return result;
}

namespace {
std::mutex g_storeMutex;
std::shared_ptr<Store> g_store;
} // namespace

std::shared_ptr<Store> GlobalStore() {
    std::lock_guard lock(g_storeMutex);
    if (!g_store) {
        const char* folder = std::getenv("PAL_EVENTLOG_DIR");
        g_store = (folder != nullptr && *folder != '\0') ? Store::Open(folder, nullptr)
                                                         : std::make_shared<Store>();
    }
    return g_store;
}

void SetGlobalStore(std::shared_ptr<Store> store) {
    std::lock_guard lock(g_storeMutex);
    g_store = std::move(store);
}

} // namespace PalEventLog
