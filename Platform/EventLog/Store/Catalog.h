// The publishers and accounts of a store folder: publishers.xml (publishers with their channels,
// message texts and names of levels, tasks, opcodes and keywords), provider metadata exported on
// the source machine (ProviderExport.h) and accounts.xml (account names of SIDs). Loaded once when
// the store opens, read-only afterwards: reading needs no lock.
#pragma once

#include "PalEventLog/Store/Text.h"

#include "Base/UniqueAny.h"
#include "Win32/WinBase.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace PalEventLog {

struct LoadReport;

// How a template value is shown in a message where the event's XML shows it otherwise, as its
// input and output types say: a SID (win:SID) as its account, a hexadecimal number
// (win:HexInt32, win:HexInt64) in capitals; and the value map that names its values (empty:
// none).
enum class ShownAs : uint8_t { Itself, Account, Hex };
struct FieldFormat {
    ShownAs shownAs = ShownAs::Itself;
    std::wstring map;
};

// A manifest's value map (or bit map): the text of each value (each bit).
struct ValueMap {
    bool bits = false;
    std::map<uint32_t, std::wstring> texts;
};

// One event of a provider's metadata: its descriptor, message and the names of its template's
// values in order (the order of %1..%n).
struct EventDefinition {
    uint32_t id = 0;
    uint8_t version = 0;
    uint8_t level = 0;
    uint8_t opcode = 0;
    uint16_t task = 0;
    uint32_t channel = 0; // a value of the provider's channelValues
    uint64_t keywords = 0;
    std::wstring message;
    std::vector<std::wstring> fields;
    std::vector<FieldFormat> formats; // one per field
    std::wstring templateXml;         // as Windows hands it out: empty without a template
    // Which of the inserts %1..%n of its fields its message shows, by n (InsertsShown; set as the
    // definition is added to its publisher, so that formatting an event need not look).
    std::vector<bool> shownInserts;
};

// Which inserts %n `text` has: flags by n (from 1), up to `count`. ("%%n" is a parameter.)
std::vector<bool> InsertsShown(std::wstring_view text, size_t count);

// A classic source's message file (a DLL or EXE with a message-table resource), loaded as data
// by LoadLibraryExW; FormatMessageW reads its texts.
struct MessageFile {
    std::wstring name;
    Base::UniqueAny<HMODULE, &FreeLibrary> module;
};

// The kinds of named values a provider defines.
enum class NameKind : uint8_t { Level, Task, Opcode, Keyword };

struct Publisher {
    std::wstring name;
    GUID guid{};
    std::wstring displayName; // the provider's own message; empty: none
    std::wstring messageFile;
    std::wstring resourceFile;
    std::wstring parameterFile;
    std::wstring helpLink;
    std::vector<std::wstring> channels;
    std::map<uint32_t, std::wstring> channelValues;   // channel value -> channel name
    std::map<uint32_t, std::wstring> channelMessages; // channel value -> display name
    // The events of its metadata in the order given, and their index by (id, version).
    std::vector<EventDefinition> events;
    std::map<std::pair<uint32_t, uint32_t>, size_t> eventIndex;
    std::map<uint32_t, std::wstring> messages; // by event id (or full classic id)
    std::map<uint32_t, std::wstring> parameters;
    std::map<uint32_t, std::wstring> levels;
    std::map<uint32_t, std::wstring> tasks;
    std::map<uint32_t, std::wstring> opcodes;
    std::map<uint64_t, std::wstring> keywords; // by mask
    std::map<std::wstring, ValueMap> maps;     // by name (manifests only)
    // The symbolic names the metadata gives levels, tasks, opcodes and keywords ("win:Error"), by
    // kind and value; where it gives none, the texts above are the names.
    std::map<std::pair<NameKind, uint64_t>, std::wstring> symbols;
    std::vector<std::shared_ptr<const MessageFile>> messageFiles;

    // The definition of an event by id and version; null when the metadata has none.
    const EventDefinition* FindEvent(uint32_t id, uint32_t version) const noexcept;
    // Adds an event definition (a repeated id and version replaces the earlier one).
    void AddEvent(EventDefinition definition);
    // The text of message `id` (a classic event's full id, or an event id): publishers.xml's, else
    // its message files' (line escapes applied, inserts left as written). Null when none has it;
    // a text read from a file is kept in `buffer`.
    const std::wstring* FindMessage(uint32_t id, std::wstring& buffer) const;
    // Takes what `other` (the same provider from another file) knows and this one does not.
    void Merge(Publisher&& other);
};

struct Account {
    std::wstring domain;
    std::wstring name;
};

// A channel that publishers.xml names, on its own or as a publisher's.
struct ChannelDeclaration {
    std::wstring name;
    bool classic = false;
};

class PublisherCatalog {
public:
    // Reads publishers.xml; problems go to the report. Returns the channels it declares, for the
    // store to create.
    std::vector<ChannelDeclaration> LoadPublishers(const std::filesystem::path& file,
                                                   LoadReport& report);
    void LoadAccounts(const std::filesystem::path& file, LoadReport& report);
    // Reads a file of provider metadata (ProviderExport.h); problems go to the report.
    void LoadProviderExport(const std::filesystem::path& file, LoadReport& report);
    // Loads the message files of the folder (*.dll, *.exe): each publisher's (the file its
    // metadata names, found by its file name), and a file named after a source that no metadata
    // names (`Source.dll`), which makes that source a publisher. A file that cannot be loaded is
    // reported; the others are used.
    void LoadMessageFiles(const std::filesystem::path& folder, LoadReport& report);
    // Adds a publisher, merged into one of the same name already there.
    void AddPublisher(Publisher publisher);

    // Case-insensitive lookups; null when absent.
    const Publisher* FindPublisher(std::wstring_view name) const noexcept;
    const Account* FindAccount(std::wstring_view sid) const noexcept;
    const std::map<std::wstring, Publisher, NoCaseLess>& Publishers() const noexcept {
        return m_publishers;
    }

private:
    std::map<std::wstring, Publisher, NoCaseLess> m_publishers;
    std::map<std::wstring, Account, NoCaseLess> m_accounts;
};

} // namespace PalEventLog
