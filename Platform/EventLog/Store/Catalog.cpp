#include "PalEventLog/Store/Catalog.h"

#include "PalEventLog/Store/Model.h"
#include "PalEventLog/Store/ProviderExport.h"

#include <pugixml.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace PalEventLog {

namespace {

std::optional<uint64_t> NumberOf(const pugi::xml_node& node, const char* attribute) {
    return ParseUnsigned(Base::WideFromUtf8(node.attribute(attribute).value()));
}

std::wstring TextOf(const pugi::xml_attribute& attribute) {
    return Base::WideFromUtf8(attribute.value());
}

// Loads a file of the folder as XML; false with the problem reported.
bool LoadXml(const std::filesystem::path& file, pugi::xml_document& document, LoadReport& report) {
    ++report.files;
    const pugi::xml_parse_result parsed = document.load_file(file.c_str());
    if (!parsed) {
        report.problems.push_back(file.filename().wstring() + L": " +
                                  Base::WideFromUtf8(parsed.description()) + L" at offset " +
                                  std::to_wstring(parsed.offset));
    }
    return static_cast<bool>(parsed);
}

// Fills `names` from the children of `publisher` named `element`: value attribute -> Name.
template <typename Key>
void ReadNames(const pugi::xml_node& publisher, const char* element, const char* valueAttribute,
               std::map<Key, std::wstring>& names) {
    for (pugi::xml_node n : publisher.children(element)) {
        if (auto value = NumberOf(n, valueAttribute)) {
            names[static_cast<Key>(*value)] = TextOf(n.attribute("Name"));
        }
    }
}

// Fills `texts` from the children named `element`: id attribute -> element text.
void ReadTexts(const pugi::xml_node& publisher, const char* element, const char* idAttribute,
               std::map<uint32_t, std::wstring>& texts) {
    for (pugi::xml_node n : publisher.children(element)) {
        if (auto id = NumberOf(n, idAttribute)) {
            texts[static_cast<uint32_t>(*id)] = Base::WideFromUtf8(n.text().get());
        }
    }
}

ChannelDeclaration DeclarationOf(const pugi::xml_node& channel) {
    return {TextOf(channel.attribute("Name")), channel.attribute("Classic").as_bool()};
}

} // namespace

std::vector<ChannelDeclaration> PublisherCatalog::LoadPublishers(const std::filesystem::path& file,
                                                                 LoadReport& report) {
    std::vector<ChannelDeclaration> channels;
    pugi::xml_document document;
    if (!LoadXml(file, document, report)) {
        return channels;
    }
    const pugi::xml_node root = document.document_element();
    for (pugi::xml_node c : root.children("Channel")) {
        channels.push_back(DeclarationOf(c));
    }
    for (pugi::xml_node p : root.children("Publisher")) {
        Publisher publisher;
        publisher.name = TextOf(p.attribute("Name"));
        if (publisher.name.empty()) {
            report.problems.push_back(L"publishers.xml: publisher without a name");
            continue;
        }
        if (auto guid = ParseGuid(TextOf(p.attribute("Guid")))) {
            publisher.guid = *guid;
        }
        for (pugi::xml_node c : p.children("Channel")) {
            channels.push_back(DeclarationOf(c));
            publisher.channels.push_back(channels.back().name);
        }
        publisher.messageFile = TextOf(p.attribute("MessageFile"));
        ReadTexts(p, "Message", "EventId", publisher.messages);
        ReadTexts(p, "Parameter", "Id", publisher.parameters);
        ReadNames(p, "Level", "Value", publisher.levels);
        ReadNames(p, "Task", "Value", publisher.tasks);
        ReadNames(p, "Opcode", "Value", publisher.opcodes);
        ReadNames(p, "Keyword", "Mask", publisher.keywords);
        AddPublisher(std::move(publisher));
    }
    return channels;
}

void PublisherCatalog::LoadAccounts(const std::filesystem::path& file, LoadReport& report) {
    pugi::xml_document document;
    if (!LoadXml(file, document, report)) {
        return;
    }
    for (pugi::xml_node a : document.document_element().children("Account")) {
        const std::wstring sid = TextOf(a.attribute("Sid"));
        if (!ParseSid(sid)) {
            report.problems.push_back(L"accounts.xml: invalid SID '" + sid + L"'");
            continue;
        }
        m_accounts[sid] = Account{TextOf(a.attribute("Domain")), TextOf(a.attribute("Name"))};
    }
}

void PublisherCatalog::LoadProviderExport(const std::filesystem::path& file, LoadReport& report) {
    ++report.files;
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        report.problems.push_back(file.filename().wstring() + L": cannot be read");
        return;
    }
    for (Publisher& publisher :
         ReadProviderExport(bytes, file.filename().wstring(), report.problems)) {
        AddPublisher(std::move(publisher));
    }
}

void PublisherCatalog::LoadMessageFiles(const std::filesystem::path& folder, LoadReport& report) {
    std::map<std::wstring, std::filesystem::path, NoCaseLess> files; // by file name
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::wstring extension = entry.path().extension().wstring();
        if (EqualsNoCase(extension, L".dll") || EqualsNoCase(extension, L".exe")) {
            files.emplace(entry.path().filename().wstring(), entry.path());
        }
    }
    std::map<std::wstring, std::shared_ptr<const MessageFile>, NoCaseLess> loaded;
    auto load = [&](const std::wstring& name) -> std::shared_ptr<const MessageFile> {
        if (auto done = loaded.find(name); done != loaded.end()) {
            return done->second;
        }
        auto file = std::make_shared<MessageFile>();
        file->name = name;
        file->module.Reset(
            LoadLibraryExW(files.at(name).wstring().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (!file->module) {
            report.problems.push_back(name + L": not a message file (error " +
                                      std::to_wstring(GetLastError()) + L")");
            file = nullptr;
        }
        return loaded[name] = file;
    };
    // The files the metadata names: a list separated by ';' of Windows paths.
    for (auto& [name, publisher] : m_publishers) {
        std::wstring_view list = publisher.messageFile;
        while (!list.empty()) {
            const size_t end = std::min(list.find(L';'), list.size());
            std::wstring_view path = list.substr(0, end);
            list.remove_prefix(std::min(end + 1, list.size()));
            const size_t slash = path.find_last_of(L"\\/");
            const std::wstring leaf(slash == std::wstring_view::npos ? path
                                                                     : path.substr(slash + 1));
            if (files.count(leaf) != 0) {
                if (auto file = load(leaf)) {
                    publisher.messageFiles.push_back(std::move(file));
                }
            }
        }
    }
    // The others, by the source they are named after.
    for (const auto& [name, path] : files) {
        if (loaded.count(name) != 0) {
            continue;
        }
        Publisher publisher;
        publisher.name = path.stem().wstring();
        publisher.messageFile = name;
        if (auto file = load(name)) {
            publisher.messageFiles.push_back(std::move(file));
            AddPublisher(std::move(publisher));
        }
    }
}

void PublisherCatalog::AddPublisher(Publisher publisher) {
    auto found = m_publishers.find(publisher.name);
    if (found == m_publishers.end()) {
        std::wstring key = publisher.name;
        m_publishers.emplace(std::move(key), std::move(publisher));
    } else {
        found->second.Merge(std::move(publisher));
    }
}

const EventDefinition* Publisher::FindEvent(uint32_t id, uint32_t version) const noexcept {
    const auto found = eventIndex.find({id, version});
    return found == eventIndex.end() ? nullptr : &events[found->second];
}

const std::wstring* Publisher::FindMessage(uint32_t id, std::wstring& buffer) const {
    if (const auto found = messages.find(id); found != messages.end()) {
        return &found->second;
    }
    for (const auto& file : messageFiles) {
        LPWSTR text = nullptr;
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           file->module.Get(), id, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
        const Base::UniqueAny<HLOCAL, &LocalFree> owner(text);
        if (length > 0) {
            buffer.assign(text, length);
            return &buffer;
        }
    }
    return nullptr;
}

std::vector<bool> InsertsShown(std::wstring_view text, size_t count) {
    std::vector<bool> used(count + 1);
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != L'%') {
            continue;
        }
        if (text[i + 1] == L'%') {
            ++i;
            continue;
        }
        size_t n = 0;
        while (i + 1 < text.size() && text[i + 1] >= L'0' && text[i + 1] <= L'9' && n <= count) {
            n = n * 10 + static_cast<size_t>(text[++i] - L'0');
        }
        if (n >= 1 && n <= count) {
            used[n] = true;
        }
    }
    return used;
}

void Publisher::AddEvent(EventDefinition definition) {
    definition.shownInserts = InsertsShown(definition.message, definition.fields.size());
    const auto key = std::make_pair(definition.id, static_cast<uint32_t>(definition.version));
    const auto [at, added] = eventIndex.emplace(key, events.size());
    if (added) {
        events.push_back(std::move(definition));
    } else {
        events[at->second] = std::move(definition);
    }
}

void Publisher::Merge(Publisher&& other) {
    if (guid == GUID{}) {
        guid = other.guid;
    }
    using Texts = std::pair<std::wstring*, std::wstring*>;
    for (auto [mine, theirs] :
         {Texts{&displayName, &other.displayName}, Texts{&messageFile, &other.messageFile},
          Texts{&resourceFile, &other.resourceFile}, Texts{&parameterFile, &other.parameterFile},
          Texts{&helpLink, &other.helpLink}}) {
        if (mine->empty()) {
            *mine = std::move(*theirs);
        }
    }
    for (auto& channel : other.channels) {
        if (std::find_if(channels.begin(), channels.end(), [&](const std::wstring& c) {
                return EqualsNoCase(c, channel);
            }) == channels.end()) {
            channels.push_back(std::move(channel));
        }
    }
    channelValues.merge(other.channelValues);
    channelMessages.merge(other.channelMessages);
    for (auto& definition : other.events) {
        if (!FindEvent(definition.id, definition.version)) {
            AddEvent(std::move(definition));
        }
    }
    messages.merge(other.messages);
    parameters.merge(other.parameters);
    levels.merge(other.levels);
    tasks.merge(other.tasks);
    opcodes.merge(other.opcodes);
    keywords.merge(other.keywords);
    maps.merge(other.maps);
    symbols.merge(other.symbols);
    messageFiles.insert(messageFiles.end(), other.messageFiles.begin(), other.messageFiles.end());
}

const Publisher* PublisherCatalog::FindPublisher(std::wstring_view name) const noexcept {
    const auto found = m_publishers.find(name);
    return found == m_publishers.end() ? nullptr : &found->second;
}

const Account* PublisherCatalog::FindAccount(std::wstring_view sid) const noexcept {
    const auto found = m_accounts.find(sid);
    return found == m_accounts.end() ? nullptr : &found->second;
}

} // namespace PalEventLog
