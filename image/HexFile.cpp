// The Intel HEX reader: one record per line, each data byte placed at its linear address.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FlashImage.h"

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

// ParseHexRecord on length characters at line, which need not end in a NUL.
void ParseRecord(const char* line, size_t length, HexRecord& record) {
    record.valid = 0;
    if (length == 0 || line[0] != ':') return;
    if (length < 3 || !ReadHexByte(line + 1, record.count)) return;
    const size_t count = record.count;
    // Never read beyond the line, never write beyond the record.
    if (count > HexRecord::kMaxData) return;
    if (length < kRecordOverhead + 2 * count) return;

    uint8_t high = 0;
    uint8_t low = 0;
    if (!ReadHexByte(line + 3, high) || !ReadHexByte(line + 5, low)) return;
    if (!ReadHexByte(line + 7, record.type)) return;
    record.address = (static_cast<uint32_t>(high) << 8) | low;

    std::memset(record.data, 0, sizeof(record.data));
    uint8_t sum = static_cast<uint8_t>(record.count + high + low + record.type);
    const char* digits = line + 9;
    for (size_t i = 0; i < count; ++i, digits += 2) {
        if (!ReadHexByte(digits, record.data[i])) return;
        sum = static_cast<uint8_t>(sum + record.data[i]);
    }
    uint8_t checksum = 0;
    if (!ReadHexByte(digits, checksum)) return;
    // All bytes of the record, checksum included, add up to 0 modulo 256.
    record.valid = (static_cast<uint8_t>(sum + checksum) == 0) ? 1 : 0;
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

// Lays bytes into the image by offset, adding pages (0xFF throughout) as far as needed.
class CPagePlacer {
public:
    CPagePlacer(FlashImage& image, uint32_t pageSize) : m_image(image), m_nPageSize(pageSize) {}

    // count bytes from offset on, split where they cross into the next page.
    bool Place(uint32_t offset, const uint8_t* bytes, uint32_t count) {
        while (count > 0) {
            const uint32_t index = offset / m_nPageSize;
            const uint32_t within = offset % m_nPageSize;
            const uint32_t n = std::min(count, m_nPageSize - within);
            while (m_image.PageCount() <= index) {
                if (!AddNext()) return false;
            }
            FlashPage* page = m_image.FindPage(static_cast<int32_t>(index));
            std::memcpy(page->data + within, bytes, n);
            page->hasData = true;
            offset += n;
            bytes += n;
            count -= n;
        }
        return true;
    }

    // Every page full: bytes no record gave are already 0xFF. Until then the pages before
    // the last are full and the last one counts as empty. False when no byte was placed: a
    // page of 0xFF alone is no firmware, yet the job would erase the chip for it.
    bool Finish() {
        const uint32_t count = m_image.PageCount();
        if (count == 0) return false;
        m_image.FindPage(static_cast<int32_t>(count - 1))->length = m_nPageSize;
        return true;
    }

private:
    bool AddNext() {
        const uint32_t count = m_image.PageCount();
        FlashPage* page = m_image.AddPage(m_nPageSize, static_cast<int32_t>(count));
        if (page == nullptr) return false;
        std::memset(page->data, 0xFF, m_nPageSize);
        if (count > 0) m_image.FindPage(static_cast<int32_t>(count - 1))->length = m_nPageSize;
        return true;
    }

    FlashImage& m_image;
    uint32_t m_nPageSize;
};

class CHexReader {
public:
    CHexReader(FlashImage& image, uint32_t pageSize, uint32_t minAddress)
        : m_placer(image, pageSize), m_nPageSize(pageSize), m_nMinAddress(minAddress) {}

    // 1 when every line was a valid record, every data byte fitted, at least one was given and
    // an end-of-file record was read; 0 otherwise.
    int Read(FILE* file) {
        CPieceReader pieces(file);
        if (!pieces.HasBuffer()) return 0;
        int result = 0;
        const char* line = nullptr;
        size_t length = 0;
        HexRecord record;
        while (pieces.Next(line, length)) {
            if (IsBlank(line, length)) continue;
            ParseRecord(line, length, record);
            if (!record.valid) return 0;
            if (record.type == kTypeEndOfFile) {
                // Reading goes on: records behind it still count.
                result = 1;
            } else if (!Act(record)) {
                return 0;
            }
        }
        if (std::ferror(file)) return 0;
        if (result && !m_placer.Finish()) return 0;
        return result;
    }

private:
    bool Act(const HexRecord& record) {
        if (record.type == kTypeData) return TakeData(record);
        if (record.type == kTypeExtendedLinear) {
            // Without exactly two bytes the upper address is unknown.
            if (record.count != 2) return false;
            m_nUpper = (static_cast<uint32_t>(record.data[0]) << 8) | record.data[1];
        }
        return true;
    }

    bool TakeData(const HexRecord& record) {
        if (record.count == 0) return true;
        // 64 bits, so that a record running past 0xFFFFFFFF cannot wrap round to low addresses.
        const uint64_t first = (static_cast<uint64_t>(m_nUpper) << 16) + record.address;
        const uint64_t last = first + record.count - 1;
        if (last > UINT32_MAX) return false;
        // Below the base or beyond the last page (option bytes, say) cannot be programmed.
        // The bytes run without a gap, so the first and the last one decide for all.
        if (first < m_nMinAddress) return false;
        if ((last - m_nMinAddress) / m_nPageSize >= FlashImage::kMaxPages) return false;
        return m_placer.Place(static_cast<uint32_t>(first - m_nMinAddress), record.data,
                              record.count);
    }

    CPagePlacer m_placer;
    uint32_t m_nPageSize;
    uint32_t m_nMinAddress;
    uint32_t m_nUpper = 0;  // before any type 0x04 record, load offsets are the addresses
};

}  // namespace

void ParseHexRecord(std::string line, HexRecord& record) {
    ParseRecord(line.data(), line.size(), record);
}

int FlashImage::LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress) {
    if (PageCount() != 0) Clear();
    if (pageSize == 0 || pageSize > kMaxPageSize) return 0;

    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    CHexReader reader(*this, pageSize, minAddress);
    const int result = reader.Read(file);
    std::fclose(file);

    // A failed load leaves nothing that could be mistaken for firmware.
    if (!result) Clear();
    return result;
}
