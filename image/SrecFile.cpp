// The Motorola S-record reader: one record per line, each data byte placed at its address.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "ByteLedger.h"
#include "FlashImage.h"
#include "LineReader.h"
#include "PagePlacer.h"

namespace {

// A record is at most 4 + 2 * 255 characters; the rest of the room is for trailing blanks.
constexpr size_t kLineMax = 1024;

enum class Role { Header, Data, Count, End, Refused };

// S0 to S9: the address field's width in bytes and what the record does.
struct RecordKind {
    uint8_t addressBytes;
    Role role;
};
const RecordKind kKinds[10] = {
    {2, Role::Header},   // S0
    {2, Role::Data},     // S1
    {3, Role::Data},     // S2
    {4, Role::Data},     // S3
    {0, Role::Refused},  // S4: reserved
    {2, Role::Count},    // S5
    {3, Role::Count},    // S6
    {4, Role::End},      // S7
    {3, Role::End},      // S8
    {2, Role::End},      // S9
};

struct SrecRecord {
    Role role;
    uint32_t address;
    uint8_t data[255];
    uint32_t count;  // data bytes
};

bool IsLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One line into record: None, or Record (malformed), RecordType (S4) or Checksum.
LoadFault ParseSrec(const char* line, size_t length, SrecRecord& record) {
    if (length < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9') return LoadFault::Record;
    const RecordKind& kind = kKinds[line[1] - '0'];
    if (kind.role == Role::Refused) return LoadFault::RecordType;
    uint8_t count = 0;
    if (!ReadHexByte(line + 2, count)) return LoadFault::Record;
    // Address and checksum at least; the line holds every byte and nothing else behind them.
    if (count < kind.addressBytes + 1u || length < 4 + 2 * size_t{count}) return LoadFault::Record;
    for (size_t i = 4 + 2 * size_t{count}; i < length; ++i) {
        if (!IsLineEnd(line[i])) return LoadFault::Record;
    }
    uint8_t bytes[255];
    unsigned sum = count;
    for (size_t i = 0; i < count; ++i) {
        if (!ReadHexByte(line + 4 + 2 * i, bytes[i])) return LoadFault::Record;
        if (i + 1 < count) sum += bytes[i];
    }
    // The checksum is the ones' complement of the low byte of the sum of all before it.
    if (static_cast<uint8_t>(~sum) != bytes[count - 1]) return LoadFault::Checksum;
    record.role = kind.role;
    record.address = 0;
    for (size_t i = 0; i < kind.addressBytes; ++i)
        record.address = (record.address << 8) | bytes[i];
    record.count = count - kind.addressBytes - 1u;
    for (size_t i = 0; i < record.count; ++i) record.data[i] = bytes[kind.addressBytes + i];
    return LoadFault::None;
}

class CSrecReader {
public:
    explicit CSrecReader(IByteSink& sink) : m_sink(sink) {}

    bool Read(FILE* file, LoadError& error, std::vector<LoadWarning>* warnings) {
        CPieceReader pieces(file, kLineMax, true);
        if (!pieces.HasBuffer()) return Fail(error, LoadFault::Memory, 0);
        bool ended = false;
        const char* line = nullptr;
        size_t length = 0;
        SrecRecord record;
        for (uint32_t number = 1; pieces.Next(line, length); ++number) {
            if (length == kLineMax && line[length - 1] != '\n') {
                return Fail(error, LoadFault::Record, number);
            }
            if (IsBlankLine(line, length)) continue;
            if (ended) {
                if (warnings != nullptr) warnings->push_back({LoadNote::AfterEnd, number});
                break;
            }
            LoadFault fault = ParseSrec(line, length, record);
            if (fault == LoadFault::None) fault = Act(record, number, error, ended);
            if (fault != LoadFault::None) return Fail(error, fault, number);
        }
        if (std::ferror(file)) return Fail(error, LoadFault::Read, 0);
        if (!ended) return Fail(error, LoadFault::NoEnd, 0);
        if (!m_sink.Finish()) return Fail(error, LoadFault::NoData, 0);
        return true;
    }

private:
    static bool Fail(LoadError& error, LoadFault fault, uint32_t line) {
        error.fault = fault;
        error.line = line;
        return false;
    }

    LoadFault Act(const SrecRecord& record, uint32_t line, LoadError& error, bool& ended) {
        switch (record.role) {
            case Role::Data: {
                ++m_nDataRecords;
                const LoadFault fault = m_sink.Place(record.address, record.data, record.count);
                if (fault != LoadFault::None || record.count == 0) return fault;
                return m_ledger.Give(record.address, record.data, record.count, line,
                                     &error.address, &error.earlierLine)
                           ? LoadFault::None
                           : LoadFault::Conflict;
            }
            case Role::Count:
                return record.address == m_nDataRecords ? LoadFault::None : LoadFault::RecordCount;
            case Role::End:
                ended = true;
                return LoadFault::None;
            default:
                return LoadFault::None;  // the header says nothing about flash
        }
    }

    IByteSink& m_sink;
    uint32_t m_nDataRecords = 0;
    CByteLedger m_ledger;
};

}  // namespace

int FlashImage::LoadSrecFile(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                             LoadError* error, std::vector<LoadWarning>* warnings) {
    return LoadThrough(path, pageSize, minAddress, error,
                       [warnings](FILE* file, IByteSink& sink, LoadError& why) {
                           return CSrecReader(sink).Read(file, why, warnings);
                       });
}

int CheckSrecFile(const std::string& path, LoadError* error) {
    return CheckThrough(path, error, [](FILE* file, IByteSink& sink, LoadError& why) {
        return CSrecReader(sink).Read(file, why, nullptr);
    });
}
