#include "PalEventLog/Evtx/EvtxFile.h"

#include "Base/Utf.h"

#include <algorithm>
#include <cstring>

namespace PalEventLog {

namespace EvtxDetail {

void CloseFile(libevtx_file_t* file) noexcept {
    libevtx_file_close(file, nullptr);
    libevtx_file_free(&file, nullptr);
}

void FreeRecord(libevtx_record_t* record) noexcept {
    libevtx_record_free(&record, nullptr);
}

} // namespace EvtxDetail

namespace {

void FreeError(libevtx_error_t* error) noexcept {
    libevtx_error_free(&error);
}

using UniqueError = Base::UniqueAny<libevtx_error_t*, &FreeError>;

// The text of a failure, on one line; the error is freed.
std::wstring TextOf(UniqueError& error) {
    char buffer[512] = {};
    if (error) {
        libevtx_error_sprint(error.Get(), buffer, sizeof buffer);
        error.Reset();
    }
    std::string text(buffer);
    std::replace(text.begin(), text.end(), '\n', ' ');
    return Base::WideFromUtf8(text);
}

} // namespace

bool EvtxFile::Open(const std::filesystem::path& path, std::wstring& error) {
    UniqueError failure;
    libevtx_file_t* file = nullptr;
    if (libevtx_file_initialize(&file, failure.Put()) != 1) {
        error = TextOf(failure);
        return false;
    }
    // Freed, not closed, when the open fails: close is for an open file.
    if (libevtx_file_open(file, path.string().c_str(), LIBEVTX_OPEN_READ, failure.Put()) != 1) {
        libevtx_file_free(&file, nullptr);
        error = TextOf(failure);
        return false;
    }
    m_file.Reset(file);
    return true;
}

int EvtxFile::RecordCount(std::wstring& error) const {
    UniqueError failure;
    int count = 0;
    if (libevtx_file_get_number_of_records(m_file.Get(), &count, failure.Put()) != 1) {
        error = TextOf(failure);
        return -1;
    }
    return count;
}

bool EvtxFile::Record(int index, EvtxRecord& record, std::wstring& error) const {
    UniqueError failure;
    if (libevtx_file_get_record_by_index(m_file.Get(), index, record.m_record.Put(),
                                         failure.Put()) != 1) {
        error = TextOf(failure);
        return false;
    }
    return true;
}

bool EvtxRecord::Xml(std::string& xml, std::wstring& error) const {
    UniqueError failure;
    // Most records fit the buffer of the previous ones: asking for the size first would make
    // libevtx build the XML twice.
    xml.resize(std::max<size_t>(xml.capacity(), 64 * 1024));
    if (libevtx_record_get_utf8_xml_string(m_record.Get(), reinterpret_cast<uint8_t*>(xml.data()),
                                           xml.size(), failure.Put()) != 1) {
        size_t size = 0;
        if (libevtx_record_get_utf8_xml_string_size(m_record.Get(), &size, failure.Put()) != 1) {
            error = TextOf(failure);
            return false;
        }
        xml.assign(size, '\0');
        if (libevtx_record_get_utf8_xml_string(
                m_record.Get(), reinterpret_cast<uint8_t*>(xml.data()), size, failure.Put()) != 1) {
            error = TextOf(failure);
            return false;
        }
    }
    xml.resize(std::strlen(xml.c_str()));
    return true;
}

std::optional<uint8_t> EvtxRecord::Level() const {
    uint8_t level = 0;
    if (libevtx_record_get_event_level(m_record.Get(), &level, nullptr) != 1) {
        return std::nullopt;
    }
    return level;
}

std::optional<uint32_t> EvtxRecord::EventIdentifier() const {
    uint32_t identifier = 0;
    if (libevtx_record_get_event_identifier(m_record.Get(), &identifier, nullptr) != 1) {
        return std::nullopt;
    }
    return identifier;
}

std::optional<std::string> EvtxRecord::SourceName() const {
    char name[512] = {};
    if (libevtx_record_get_utf8_source_name(m_record.Get(), reinterpret_cast<uint8_t*>(name),
                                            sizeof name, nullptr) != 1) {
        return std::nullopt;
    }
    return std::string(name);
}

} // namespace PalEventLog
