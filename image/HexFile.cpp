// The Intel HEX reader: one record per line, each data byte placed at its address.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ByteLedger.h"
#include "FlashImage.h"
#include "LineReader.h"
#include "PagePlacer.h"

namespace {

// Record types the reader knows. 03 and 05 (start addresses) mean nothing to flash.
constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEndOfFile = 0x01;
constexpr uint8_t kTypeExtendedSegment = 0x02;
constexpr uint8_t kTypeExtendedLinear = 0x04;
constexpr uint8_t kTypeHighest = 0x05;

// The dialog's reader takes at most 64 data bytes a record and reads a line in pieces of at
// most 259 characters, terminator included; the rest of a longer line is a line of its own.
constexpr size_t kLenientLineMax = 259;
// The command line takes every record the format allows: 255 data bytes, 521 characters. A
// longer line (the rest is room for trailing blanks) is refused.
constexpr size_t kStrictMaxData = 255;
constexpr size_t kStrictLineMax = 1024;

// ':' + count + address + type + checksum, without data.
constexpr size_t kRecordOverhead = 11;

// A record as the strict reader holds it.
struct LongRecord {
    uint32_t address;
    uint8_t type;
    uint8_t data[kStrictMaxData];
    uint8_t count;
    uint32_t valid;
};

bool IsBlankOrLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// ParseHexRecord on length characters at line, which need not end in a NUL, for records of
// up to maxData bytes. Returns true when the line is a well-formed record, whatever its
// checksum says. strict: nothing but blanks and the terminator may follow the checksum.
template <typename Record>
bool ParseRecord(const char* line, size_t length, size_t maxData, bool strict, Record& record) {
    record.valid = 0;
    if (length == 0 || line[0] != ':') return false;
    if (length < 3 || !ReadHexByte(line + 1, record.count)) return false;
    const size_t count = record.count;
    // Never read beyond the line, never write beyond the record.
    if (count > maxData || count > sizeof(record.data)) return false;
    if (length < kRecordOverhead + 2 * count) return false;
    if (strict) {
        for (size_t i = kRecordOverhead + 2 * count; i < length; ++i) {
            if (!IsBlankOrLineEnd(line[i])) return false;
        }
    }

    uint8_t high = 0;
    uint8_t low = 0;
    if (!ReadHexByte(line + 3, high) || !ReadHexByte(line + 5, low)) return false;
    if (!ReadHexByte(line + 7, record.type)) return false;
    record.address = (static_cast<uint32_t>(high) << 8) | low;

    std::memset(record.data, 0, sizeof(record.data));
    uint8_t sum = static_cast<uint8_t>(record.count + high + low + record.type);
    const char* digits = line + 9;
    for (size_t i = 0; i < count; ++i, digits += 2) {
        if (!ReadHexByte(digits, record.data[i])) return false;
        sum = static_cast<uint8_t>(sum + record.data[i]);
    }
    uint8_t checksum = 0;
    if (!ReadHexByte(digits, checksum)) return false;
    // All bytes of the record, checksum included, add up to 0 modulo 256.
    record.valid = (static_cast<uint8_t>(sum + checksum) == 0) ? 1 : 0;
    return true;
}

// Reads records line by line into a sink (an image's pages, or a check alone).
class CHexReader {
public:
    CHexReader(IByteSink& sink, HexRules rules)
        : m_sink(sink), m_bStrict(rules == HexRules::Strict) {}

    // 1 when every line read was a valid record, every data byte fitted, at least one was
    // given and an end-of-file record was read; 0 otherwise, with the reason in error.
    int Read(FILE* file, LoadError& error, std::vector<LoadWarning>* warnings) {
        const size_t lineMax = m_bStrict ? kStrictLineMax : kLenientLineMax;
        CPieceReader pieces(file, lineMax, m_bStrict);
        if (!pieces.HasBuffer()) return Fail(error, LoadFault::Memory, 0);
        bool ended = false;
        const char* line = nullptr;
        size_t length = 0;
        LongRecord record;
        // A piece that does not end a line leaves the next piece on the same line.
        for (uint32_t number = 1; pieces.Next(line, length);
             number += line[length - 1] == '\n' ? 1 : 0) {
            if (m_bStrict && length == lineMax && line[length - 1] != '\n') {
                return Fail(error, LoadFault::Record, number);
            }
            if (IsBlankLine(line, length)) continue;
            if (ended && m_bStrict) {
                // Whatever follows was never meant to be read; say so once.
                if (warnings != nullptr) warnings->push_back({LoadNote::AfterEnd, number});
                break;
            }
            const size_t maxData = m_bStrict ? kStrictMaxData : HexRecord::kMaxData;
            const bool wellFormed = ParseRecord(line, length, maxData, m_bStrict, record);
            if (!record.valid) {
                return Fail(error, wellFormed ? LoadFault::Checksum : LoadFault::Record, number);
            }
            if (record.type == kTypeEndOfFile) {
                ended = true;
                continue;
            }
            const LoadFault fault = Act(record, number, error);
            if (fault != LoadFault::None) return Fail(error, fault, number);
        }
        if (std::ferror(file)) return Fail(error, LoadFault::Read, 0);
        if (!ended) return Fail(error, LoadFault::NoEnd, 0);
        if (!m_sink.Finish()) return Fail(error, LoadFault::NoData, 0);
        return 1;
    }

private:
    static int Fail(LoadError& error, LoadFault fault, uint32_t line) {
        error.fault = fault;
        error.line = line;
        return 0;
    }

    LoadFault Act(const LongRecord& record, uint32_t line, LoadError& error) {
        switch (record.type) {
            case kTypeData:
                return TakeData(record, line, error);
            case kTypeExtendedSegment:
            case kTypeExtendedLinear: {
                // Without exactly two bytes the base is unknown. The latest of either kind holds.
                const bool linear = record.type == kTypeExtendedLinear;
                if (record.count != 2) {
                    return linear ? LoadFault::UpperAddress : LoadFault::SegmentAddress;
                }
                const uint32_t value =
                    (static_cast<uint32_t>(record.data[0]) << 8) | record.data[1];
                m_nBase = linear ? value << 16 : value << 4;
                return LoadFault::None;
            }
            default:
                return m_bStrict && record.type > kTypeHighest ? LoadFault::RecordType
                                                               : LoadFault::None;
        }
    }

    LoadFault TakeData(const LongRecord& record, uint32_t line, LoadError& error) {
        if (record.count == 0) return LoadFault::None;
        const uint64_t first = uint64_t{m_nBase} + record.address;
        const LoadFault fault = m_sink.Place(first, record.data, record.count);
        if (fault != LoadFault::None || !m_bStrict) return fault;
        // Placed, so the bytes lie below 2^32.
        if (!m_ledger.Give(static_cast<uint32_t>(first), record.data, record.count, line,
                           &error.address, &error.earlierLine)) {
            return LoadFault::Conflict;
        }
        return LoadFault::None;
    }

    IByteSink& m_sink;
    const bool m_bStrict;
    uint32_t m_nBase = 0;  // before any type 02 or 04 record, load offsets are the addresses
    CByteLedger m_ledger;  // strict only
};
}  // namespace

void ParseHexRecord(std::string line, HexRecord& record) {
    ParseRecord(line.data(), line.size(), HexRecord::kMaxData, false, record);
}

int FlashImage::LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress) {
    return LoadHexFile(path, pageSize, minAddress, HexRules::Lenient, nullptr);
}

int FlashImage::LoadHexFile(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                            HexRules rules, LoadError* error, std::vector<LoadWarning>* warnings) {
    return LoadThrough(path, pageSize, minAddress, error,
                       [rules, warnings](FILE* file, IByteSink& sink, LoadError& why) {
                           return CHexReader(sink, rules).Read(file, why, warnings) != 0;
                       });
}

int CheckHexFile(const std::string& path, HexRules rules, LoadError* error) {
    return CheckThrough(path, error, [rules](FILE* file, IByteSink& sink, LoadError& why) {
        return CHexReader(sink, rules).Read(file, why, nullptr) != 0;
    });
}
