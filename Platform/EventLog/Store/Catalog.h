// The publishers and accounts of a store folder: publishers.xml (publishers with their channels,
// message texts and names of levels, tasks, opcodes and keywords) and accounts.xml (account names
// of SIDs). Loaded once when the store opens, read-only afterwards: reading needs no lock.
#pragma once

#include "PalEventLog/Store/Text.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace PalEventLog {

struct LoadReport;

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
