#include "Platform/EventLog/Evtx/EvtxWriter.h"

#include <cstring>
#include <stdexcept>

namespace PalEventLog::Testing {

namespace {

constexpr size_t kFileHeaderSize = 4096;
constexpr size_t kChunkSize = 65536;
constexpr size_t kFirstRecord = 512;

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Binary XML written at its place in the chunk: names are inline, at chunk offsets.
class BinaryXml {
public:
    BinaryXml(std::vector<uint8_t>& chunk, size_t at) : m_chunk(chunk), m_at(at) {}
    size_t At() const { return m_at; }

    void Byte(uint8_t value) { Put(&value, 1); }
    void U16(uint16_t value) { Put(&value, 2); }
    void U32(uint32_t value) { Put(&value, 4); }
    void Text(const std::u16string& text) { Put(text.data(), text.size() * 2); }
    void Patch32(size_t at, uint32_t value) { std::memcpy(&m_chunk[at], &value, 4); }

    void FragmentHeader() {
        Byte(0x0F);
        Byte(1);
        Byte(1);
        Byte(0);
    }

    // A name offset pointing just past itself, and the name there.
    void Name(const std::u16string& name) {
        U32(static_cast<uint32_t>(m_at + 4));
        uint32_t hash = 0;
        for (const char16_t c : name) {
            hash = hash * 65599 + c;
        }
        U32(0);
        U16(static_cast<uint16_t>(hash));
        U16(static_cast<uint16_t>(name.size()));
        Text(name);
        U16(0);
    }

    void StringValue(const std::u16string& text) {
        Byte(0x05);
        Byte(0x01);
        U16(static_cast<uint16_t>(text.size()));
        Text(text);
    }

    void Element(const EvtxElement& element) {
        Byte(element.attributes.empty() ? 0x01 : 0x41);
        U16(0xFFFF);
        const size_t sizeAt = m_at;
        U32(0);
        Name(element.name);
        if (!element.attributes.empty()) {
            const size_t listAt = m_at;
            U32(0);
            for (size_t i = 0; i < element.attributes.size(); ++i) {
                Byte(i + 1 < element.attributes.size() ? 0x46 : 0x06);
                Name(element.attributes[i].first);
                StringValue(element.attributes[i].second);
            }
            Patch32(listAt, static_cast<uint32_t>(m_at - listAt - 4));
        }
        if (element.text.empty() && element.children.empty()) {
            Byte(0x03);
        } else {
            Byte(0x02);
            if (!element.text.empty()) {
                StringValue(element.text);
            }
            for (const EvtxElement& child : element.children) {
                Element(child);
            }
            Byte(0x04);
        }
        Patch32(sizeAt, static_cast<uint32_t>(m_at - sizeAt - 4));
    }

    // A template instance whose definition (an empty Event element) is inline and which claims
    // `count` values without holding their descriptors.
    void ClaimingTemplateInstance(uint32_t count) {
        Byte(0x0C);
        Byte(0x01);
        U32(0x12345678); // the template's id
        U32(static_cast<uint32_t>(m_at + 4));
        U32(0); // next definition
        for (int i = 0; i < 4; ++i) {
            U32(0x01020304u * static_cast<uint32_t>(i + 1)); // the template's GUID
        }
        const size_t sizeAt = m_at;
        U32(0);
        FragmentHeader();
        Element(EvtxElement{u"Event", {}, {}, {}});
        Byte(0x00);
        Patch32(sizeAt, static_cast<uint32_t>(m_at - sizeAt - 4));
        U32(count);
    }

private:
    void Put(const void* data, size_t size) {
        if (m_at + size > m_chunk.size()) {
            throw std::length_error("records do not fit one chunk");
        }
        std::memcpy(&m_chunk[m_at], data, size);
        m_at += size;
    }

    std::vector<uint8_t>& m_chunk;
    size_t m_at;
};

void Put64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
    std::memcpy(&bytes[at], &value, 8);
}
void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    std::memcpy(&bytes[at], &value, 4);
}
void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    std::memcpy(&bytes[at], &value, 2);
}

} // namespace

std::vector<uint8_t> EvtxLog(const std::vector<EvtxRecordContent>& records) {
    std::vector<uint8_t> chunk(kChunkSize, 0);
    size_t at = kFirstRecord;
    size_t last = at;
    uint64_t id = 0;
    for (const EvtxRecordContent& record : records) {
        last = at;
        ++id;
        BinaryXml xml(chunk, at + 24);
        xml.FragmentHeader();
        if (record.valueCount != 0) {
            xml.ClaimingTemplateInstance(record.valueCount);
        } else {
            xml.Element(record.event);
        }
        xml.Byte(0x00); // end of the fragment
        size_t end = xml.At();
        end = (end + 4 + 7) / 8 * 8; // the trailing size, records on 8-byte boundaries
        const auto size = static_cast<uint32_t>(end - at);
        Put32(chunk, at, 0x00002A2A);
        Put32(chunk, at + 4, size);
        Put64(chunk, at + 8, id);
        Put64(chunk, at + 16, 133500000000000000ull + id * 10000000ull); // 2024, a second apart
        Put32(chunk, end - 4, size);
        at = end;
    }
    std::memcpy(chunk.data(), "ElfChnk", 8);
    Put64(chunk, 8, 1);
    Put64(chunk, 16, id);
    Put64(chunk, 24, 1);
    Put64(chunk, 32, id);
    Put32(chunk, 40, 128);
    Put32(chunk, 44, static_cast<uint32_t>(last));
    Put32(chunk, 48, static_cast<uint32_t>(at));
    Put32(chunk, 52, Crc32(chunk.data() + kFirstRecord, at - kFirstRecord));
    Put32(chunk, 124, Crc32(chunk.data() + 128, kFirstRecord - 128, Crc32(chunk.data(), 120)));

    // The file header, then the chunk.
    std::vector<uint8_t> log(kFileHeaderSize + chunk.size(), 0);
    std::memcpy(log.data(), "ElfFile", 8);
    Put64(log, 8, 0);
    Put64(log, 16, 0);
    Put64(log, 24, id + 1);
    Put32(log, 32, 128);
    Put16(log, 36, 1);
    Put16(log, 38, 3);
    Put16(log, 40, static_cast<uint16_t>(kFileHeaderSize));
    Put16(log, 42, 1);
    Put32(log, 124, Crc32(log.data(), 120));
    std::memcpy(log.data() + kFileHeaderSize, chunk.data(), chunk.size());
    return log;
}

EvtxElement EvtxEvent(const std::u16string& provider, int eventId, int level, uint64_t recordId,
                      const std::u16string& channel, const std::vector<std::u16string>& data) {
    auto number = [](uint64_t value) {
        std::u16string text;
        for (const char c : std::to_string(value)) {
            text.push_back(static_cast<char16_t>(c));
        }
        return text;
    };
    EvtxElement system{u"System", {}, {}, {}};
    system.children = {
        {u"Provider", {{u"Name", provider}}, {}, {}},
        {u"EventID", {{u"Qualifiers", u"0"}}, number(static_cast<uint64_t>(eventId)), {}},
        {u"Level", {}, number(static_cast<uint64_t>(level)), {}},
        {u"Task", {}, u"0", {}},
        {u"Keywords", {}, u"0x80000000000000", {}},
        {u"TimeCreated",
         {{u"SystemTime", u"2024-01-01T10:00:0" + number(recordId % 10) + u"Z"}},
         {},
         {}},
        {u"EventRecordID", {}, number(recordId), {}},
        {u"Channel", {}, channel, {}},
        {u"Computer", {}, u"host1", {}},
    };
    EvtxElement eventData{u"EventData", {}, {}, {}};
    for (const std::u16string& value : data) {
        eventData.children.push_back({u"Data", {}, value, {}});
    }
    EvtxElement event{u"Event",
                      {{u"xmlns", u"http://schemas.microsoft.com/win/2004/08/events/event"}},
                      {},
                      {system}};
    if (!data.empty()) {
        event.children.push_back(eventData);
    }
    return event;
}

} // namespace PalEventLog::Testing
