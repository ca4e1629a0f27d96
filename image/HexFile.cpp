// The Intel HEX reader: one record per line, each data byte placed at its linear address.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "FlashImage.h"
#include "PagePlacer.h"

namespace {

// Record types the reader acts on; every other type is ignored.
constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEndOfFile = 0x01;
constexpr uint8_t kTypeExtendedLinear = 0x04;

// A line is read in pieces of at most this many characters, terminator included.
constexpr size_t kLineMax = 259;

// The file is read in blocks of this size; a piece is never longer than kLineMax.
constexpr size_t kBlockSize = 64 * 1024;

// ':' + count + address + type + checksum, without data.
constexpr size_t kRecordOverhead = 11;

// Value of each character as a hexadecimal digit, -1 for every other character.
constexpr std::array<int8_t, 256> kDigitValue = [] {
    std::array<int8_t, 256> table{};
    for (int8_t& value : table) value = -1;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
    return table;
}();

// Two digits at text, high digit first. The caller has made sure both lie inside the line.
bool ReadHexByte(const char* text, uint8_t& value) {
    const int high = kDigitValue[static_cast<unsigned char>(text[0])];
    const int low = kDigitValue[static_cast<unsigned char>(text[1])];
    if (high < 0 || low < 0) return false;
    value = static_cast<uint8_t>((high << 4) | low);
    return true;
}

// ParseHexRecord on length characters at line, which need not end in a NUL. Returns true
// when the line is a well-formed record, whatever its checksum says.
bool ParseRecord(const char* line, size_t length, HexRecord& record) {
    record.valid = 0;
    if (length == 0 || line[0] != ':') return false;
    if (length < 3 || !ReadHexByte(line + 1, record.count)) return false;
    const size_t count = record.count;
    // Never read beyond the line, never write beyond the record.
    if (count > HexRecord::kMaxData) return false;
    if (length < kRecordOverhead + 2 * count) return false;

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

// Only spaces and tabs before the terminator: editors and some tools leave such lines,
// most often one behind the end-of-file record. A '\r' alone at the end counts as part of a
// terminator cut at the piece limit.
bool IsBlank(const char* line, size_t length) {
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    for (size_t i = 0; i < length; ++i) {
        if (line[i] != ' ' && line[i] != '\t') return false;
    }
    return true;
}

// Hands out the file's lines in pieces of at most kLineMax characters, terminator kept,
// straight out of a block buffer: a 46 MB file has a million lines, so none is copied.
class CPieceReader {
public:
    explicit CPieceReader(FILE* file)
        : m_file(file), m_pBuffer(static_cast<char*>(std::malloc(kBlockSize + kLineMax))) {}
    ~CPieceReader() { std::free(m_pBuffer); }
    CPieceReader(const CPieceReader&) = delete;
    CPieceReader& operator=(const CPieceReader&) = delete;

    bool HasBuffer() const { return m_pBuffer != nullptr; }

    // The next piece; false at the end of the file or when reading failed.
    bool Next(const char*& piece, size_t& length) {
        for (;;) {
            const char* start = m_pBuffer + m_nPos;
            const size_t held = m_nEnd - m_nPos;
            const size_t window = std::min(held, kLineMax);
            const void* newline = std::memchr(start, '\n', window);
            if (newline != nullptr) {
                length = static_cast<size_t>(static_cast<const char*>(newline) - start) + 1;
            } else if (held >= kLineMax || (m_bAtEnd && held > 0)) {
                length = window;
            } else if (m_bAtEnd) {
                return false;
            } else {
                Refill();
                continue;
            }
            piece = start;
            m_nPos += length;
            return true;
        }
    }

private:
    // Moves the unread rest (shorter than a piece) to the front and reads a block behind it.
    void Refill() {
        const size_t held = m_nEnd - m_nPos;
        std::memmove(m_pBuffer, m_pBuffer + m_nPos, held);
        m_nPos = 0;
        const size_t got = std::fread(m_pBuffer + held, 1, kBlockSize, m_file);
        m_nEnd = held + got;
        // A short read need not be the end; only a read that gives nothing is.
        if (got == 0) m_bAtEnd = true;
    }

    FILE* m_file;
    char* m_pBuffer;
    size_t m_nPos = 0;  // first unread character
    size_t m_nEnd = 0;  // behind the last character read
    bool m_bAtEnd = false;
};

// Reads records line by line into a placer, or only checks them when there is none.
class CHexReader {
public:
    explicit CHexReader(CPagePlacer* placer) : m_placer(placer) {}

    // 1 when every line was a valid record, every data byte fitted, at least one was given and
    // an end-of-file record was read; 0 otherwise, with the reason in error.
    int Read(FILE* file, LoadError& error) {
        CPieceReader pieces(file);
        if (!pieces.HasBuffer()) return Fail(error, LoadFault::Memory, 0);
        bool ended = false;
        const char* line = nullptr;
        size_t length = 0;
        HexRecord record;
        // A piece that does not end a line leaves the next piece on the same line.
        for (uint32_t number = 1; pieces.Next(line, length);
             number += line[length - 1] == '\n' ? 1 : 0) {
            if (IsBlank(line, length)) continue;
            const bool wellFormed = ParseRecord(line, length, record);
            if (!record.valid) {
                return Fail(error, wellFormed ? LoadFault::Checksum : LoadFault::Record, number);
            }
            if (record.type == kTypeEndOfFile) {
                // Reading goes on: records behind it still count.
                ended = true;
                continue;
            }
            const LoadFault fault = Act(record);
            if (fault != LoadFault::None) return Fail(error, fault, number);
        }
        if (std::ferror(file)) return Fail(error, LoadFault::Read, 0);
        if (!ended) return Fail(error, LoadFault::NoEnd, 0);
        const bool placed = m_placer != nullptr ? m_placer->Finish() : m_sawData;
        if (!placed) return Fail(error, LoadFault::NoData, 0);
        return 1;
    }

private:
    static int Fail(LoadError& error, LoadFault fault, uint32_t line) {
        error.fault = fault;
        error.line = line;
        return 0;
    }

    LoadFault Act(const HexRecord& record) {
        if (record.type == kTypeData) return TakeData(record);
        if (record.type == kTypeExtendedLinear) {
            // Without exactly two bytes the upper address is unknown.
            if (record.count != 2) return LoadFault::UpperAddress;
            m_nUpper = (static_cast<uint32_t>(record.data[0]) << 8) | record.data[1];
        }
        return LoadFault::None;
    }

    LoadFault TakeData(const HexRecord& record) {
        if (record.count == 0) return LoadFault::None;
        const uint64_t first = (static_cast<uint64_t>(m_nUpper) << 16) + record.address;
        if (m_placer != nullptr) return m_placer->Place(first, record.data, record.count);
        // Checking alone: where the bytes may go is the loader's to judge.
        m_sawData = true;
        return first + record.count - 1 > UINT32_MAX ? LoadFault::TooHigh : LoadFault::None;
    }

    CPagePlacer* m_placer;
    uint32_t m_nUpper = 0;  // before any type 0x04 record, load offsets are the addresses
    bool m_sawData = false;
};
}  // namespace

void ParseHexRecord(std::string line, HexRecord& record) {
    ParseRecord(line.data(), line.size(), record);
}

int FlashImage::LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress) {
    return LoadHexFile(std::move(path), pageSize, minAddress, nullptr);
}

int FlashImage::LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress,
                            LoadError* error) {
    return LoadThrough(path, pageSize, minAddress, error,
                       [](FILE* file, CPagePlacer& placer, LoadError& why) {
                           CHexReader reader(&placer);
                           return reader.Read(file, why) != 0;
                       });
}

int FlashImage::LoadThrough(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                            LoadError* error,
                            const std::function<bool(std::FILE*, CPagePlacer&, LoadError&)>& fill) {
    LoadError local;
    LoadError& why = error != nullptr ? *error : local;
    why = LoadError();
    if (PageCount() != 0) Clear();
    if (pageSize == 0 || pageSize > kMaxPageSize) {
        why.fault = LoadFault::PageSize;
        return 0;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        why.fault = LoadFault::Open;
        return 0;
    }
    CPagePlacer placer(*this, pageSize, minAddress);
    const bool ok = fill(file, placer, why);
    std::fclose(file);
    // A failed load leaves nothing that could be mistaken for firmware.
    if (!ok) Clear();
    return ok ? 1 : 0;
}

int CheckHexFile(const std::string& path, LoadError* error) {
    LoadError local;
    LoadError& why = error != nullptr ? *error : local;
    why = LoadError();
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        why.fault = LoadFault::Open;
        return 0;
    }
    CHexReader reader(nullptr);
    const int result = reader.Read(file, why);
    std::fclose(file);
    return result;
}
