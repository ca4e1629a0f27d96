// The Intel HEX reader: one record per line, each data byte placed at its linear address.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "FlashImage.h"

namespace {

// Record types the reader acts on; every other type is ignored.
constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEndOfFile = 0x01;
constexpr uint8_t kTypeExtendedLinear = 0x04;

// A line is read in pieces of at most this many characters, terminator included.
constexpr size_t kLineMax = 259;

// ':' + count + address + type + checksum, without data.
constexpr size_t kRecordOverhead = 11;

// Value of a hexadecimal digit, or -1 for any other character.
int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Two digits at pos, high digit first. The caller has made sure both lie inside the line.
bool ReadHexByte(const std::string& line, size_t pos, uint8_t& value) {
    const int high = DigitValue(line[pos]);
    const int low = DigitValue(line[pos + 1]);
    if (high < 0 || low < 0) return false;
    value = static_cast<uint8_t>((high << 4) | low);
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

// Reads the next piece of a line, its terminator kept; false at the end of the file.
bool ReadLine(FILE* file, std::string& line) {
    line.clear();
    while (line.size() < kLineMax) {
        const int c = std::getc(file);
        if (c == EOF) break;
        line.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !line.empty();
}

// Lays bytes into the image by offset, adding pages (0xFF throughout) as far as needed.
class CPagePlacer {
public:
    CPagePlacer(FlashImage& image, uint32_t pageSize) : m_image(image), m_nPageSize(pageSize) {}

    bool Place(uint32_t offset, uint8_t value) {
        const uint32_t index = offset / m_nPageSize;
        while (m_image.PageCount() <= index) {
            if (!AddNext()) return false;
        }
        FlashPage* page = m_image.FindPage(static_cast<int32_t>(index));
        page->data[offset % m_nPageSize] = value;
        page->hasData = true;
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
        int result = 0;
        std::string line;
        HexRecord record;
        while (ReadLine(file, line)) {
            if (IsBlank(line.data(), line.size())) continue;
            ParseHexRecord(line, record);
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
        // 64 bits, so that a record running past 0xFFFFFFFF cannot wrap round to low addresses.
        const uint64_t base = (static_cast<uint64_t>(m_nUpper) << 16) + record.address;
        for (uint32_t i = 0; i < record.count; ++i) {
            const uint64_t linear = base + i;
            if (linear > UINT32_MAX) return false;
            // Below the base or beyond the limit (option bytes, say) cannot be programmed.
            if (linear < m_nMinAddress) return false;
            const uint64_t offset = linear - m_nMinAddress;
            if (offset / m_nPageSize >= FlashImage::kMaxPages) return false;
            if (!m_placer.Place(static_cast<uint32_t>(offset), record.data[i])) return false;
        }
        return true;
    }

    CPagePlacer m_placer;
    uint32_t m_nPageSize;
    uint32_t m_nMinAddress;
    uint32_t m_nUpper = 0;  // before any type 0x04 record, load offsets are the addresses
};

}  // namespace

void ParseHexRecord(std::string line, HexRecord& record) {
    record.valid = 0;
    if (line.empty() || line[0] != ':') return;
    if (line.size() < 3 || !ReadHexByte(line, 1, record.count)) return;
    const size_t count = record.count;
    // Never read beyond the line, never write beyond the record.
    if (count > HexRecord::kMaxData) return;
    if (line.size() < kRecordOverhead + 2 * count) return;

    uint8_t high = 0;
    uint8_t low = 0;
    if (!ReadHexByte(line, 3, high) || !ReadHexByte(line, 5, low)) return;
    if (!ReadHexByte(line, 7, record.type)) return;
    record.address = (static_cast<uint32_t>(high) << 8) | low;

    std::memset(record.data, 0, sizeof(record.data));
    uint8_t sum = static_cast<uint8_t>(record.count + high + low + record.type);
    for (size_t i = 0; i < count; ++i) {
        if (!ReadHexByte(line, 9 + 2 * i, record.data[i])) return;
        sum = static_cast<uint8_t>(sum + record.data[i]);
    }
    uint8_t checksum = 0;
    if (!ReadHexByte(line, 9 + 2 * count, checksum)) return;
    // All bytes of the record, checksum included, add up to 0 modulo 256.
    record.valid = (static_cast<uint8_t>(sum + checksum) == 0) ? 1 : 0;
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
