// The ELF reader: the file bytes of each loadable segment at its physical (load) address.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ByteLedger.h"
#include "FlashImage.h"
#include "PagePlacer.h"

namespace {

constexpr uint8_t kMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr uint8_t kClass32 = 1;
constexpr uint8_t kClass64 = 2;
constexpr uint8_t kLittleEndian = 1;
constexpr uint8_t kBigEndian = 2;
constexpr uint16_t kMachineArm = 40;
constexpr uint32_t kLoadSegment = 1;  // PT_LOAD

// The 32-bit file header and program header, and where their fields sit.
constexpr size_t kHeaderSize = 52;
constexpr size_t kIdentAndMachine = 20;  // e_ident, e_type, e_machine: alike in either class
constexpr size_t kClassAt = 4, kDataAt = 5, kMachineAt = 18;
constexpr size_t kPhOffAt = 28, kPhEntSizeAt = 42, kPhNumAt = 44;
constexpr size_t kProgramHeaderSize = 32;
constexpr size_t kTypeAt = 0, kOffsetAt = 4, kPhysicalAt = 12, kFileSizeAt = 16;

// Segment bytes are copied in blocks of this size.
constexpr size_t kBlockSize = 64 * 1024;

uint16_t Read16(const uint8_t* at, bool big) {
    return big ? static_cast<uint16_t>(at[0] << 8 | at[1])
               : static_cast<uint16_t>(at[1] << 8 | at[0]);
}

uint32_t Read32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

class CElfReader {
public:
    explicit CElfReader(IByteSink& sink) : m_sink(sink) {}

    bool Read(FILE* file, LoadError& error) {
        m_file = file;
        if (std::fseek(file, 0, SEEK_END) != 0) return Fail(error, LoadFault::Read);
        const long size = std::ftell(file);
        if (size < 0) return Fail(error, LoadFault::Read);
        m_nSize = static_cast<uint64_t>(size);

        uint8_t header[kHeaderSize] = {};
        const size_t got = m_nSize < kHeaderSize ? static_cast<size_t>(m_nSize) : kHeaderSize;
        if (!ReadAt(0, header, got)) return Fail(error, LoadFault::Read);
        const LoadFault refused = JudgeHeader(header, got, error);
        if (refused != LoadFault::None) return Fail(error, refused);

        const uint64_t tableAt = Read32(header + kPhOffAt);
        const uint64_t entrySize = Read16(header + kPhEntSizeAt, false);
        const uint64_t entries = Read16(header + kPhNumAt, false);
        if (entries > 0 &&
            (entrySize < kProgramHeaderSize || tableAt + entries * entrySize > m_nSize)) {
            return Fail(error, LoadFault::ElfHeader);
        }
        // Every segment judged before any is copied: a table of thousands of entries that
        // each name the whole file would otherwise have it copied as often.
        uint64_t total = 0;
        for (uint64_t i = 0; i < entries; ++i) {
            uint8_t entry[kProgramHeaderSize];
            if (!ReadAt(tableAt + i * entrySize, entry, sizeof entry)) {
                return Fail(error, LoadFault::Read);
            }
            if (!Loaded(entry)) continue;
            const uint64_t fileSize = Read32(entry + kFileSizeAt);
            if (Read32(entry + kOffsetAt) + fileSize > m_nSize) {
                return Fail(error, LoadFault::ElfSegment);
            }
            total += fileSize;
        }
        if (total > uint64_t{FlashImage::kMaxPages} * FlashImage::kMaxPageSize) {
            return Fail(error, LoadFault::ElfTooLarge);
        }
        for (uint64_t i = 0; i < entries; ++i) {
            uint8_t entry[kProgramHeaderSize];
            if (!ReadAt(tableAt + i * entrySize, entry, sizeof entry)) {
                return Fail(error, LoadFault::Read);
            }
            if (!Loaded(entry)) continue;
            const LoadFault fault = TakeSegment(entry, static_cast<uint32_t>(i), error);
            if (fault != LoadFault::None) return Fail(error, fault);
        }
        return m_sink.Finish() ? true : Fail(error, LoadFault::NoData);
    }

private:
    static bool Fail(LoadError& error, LoadFault fault) {
        error.fault = fault;
        return false;
    }

    // None for a 32-bit little-endian ARM file with a whole header; the machine comes first,
    // since "an x86-64 file" says more than "a 64-bit file".
    static LoadFault JudgeHeader(const uint8_t* header, size_t got, LoadError& error) {
        if (got < kIdentAndMachine || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
            return LoadFault::ElfHeader;
        }
        const uint8_t data = header[kDataAt];
        if (data != kLittleEndian && data != kBigEndian) return LoadFault::ElfHeader;
        const uint16_t machine = Read16(header + kMachineAt, data == kBigEndian);
        if (machine != kMachineArm) {
            error.value = machine;
            return LoadFault::ElfMachine;
        }
        if (header[kClassAt] == kClass64) {
            error.value = 64;
            return LoadFault::ElfClass;
        }
        if (header[kClassAt] != kClass32) return LoadFault::ElfHeader;
        if (data == kBigEndian) return LoadFault::ElfEncoding;
        return got < kHeaderSize ? LoadFault::ElfHeader : LoadFault::None;
    }

    // A loadable segment with bytes in the file; the others are skipped.
    static bool Loaded(const uint8_t* entry) {
        return Read32(entry + kTypeAt) == kLoadSegment && Read32(entry + kFileSizeAt) != 0;
    }

    // The segment's bytes, which lie inside the file, placed and noted as given by segment
    // index: another segment may give some of them again, but alike.
    LoadFault TakeSegment(const uint8_t* entry, uint32_t index, LoadError& error) {
        const uint32_t fileSize = Read32(entry + kFileSizeAt);
        const uint64_t offset = Read32(entry + kOffsetAt);
        const uint64_t address = Read32(entry + kPhysicalAt);
        std::vector<uint8_t> block(fileSize < kBlockSize ? fileSize : kBlockSize);
        for (uint32_t done = 0; done < fileSize;) {
            const uint32_t n = static_cast<uint32_t>(
                fileSize - done < block.size() ? fileSize - done : block.size());
            if (!ReadAt(offset + done, block.data(), n)) return LoadFault::Read;
            const LoadFault fault = m_sink.Place(address + done, block.data(), n);
            if (fault != LoadFault::None) return fault;
            // Placed, so the bytes lie below 2^32.
            if (!m_ledger.Give(static_cast<uint32_t>(address + done), block.data(), n, index,
                               &error.address, &error.earlierLine)) {
                error.line = index;
                return LoadFault::Conflict;
            }
            done += n;
        }
        return LoadFault::None;
    }

    // Every position asked for lies inside the file, whose size ftell gave as a long.
    bool ReadAt(uint64_t offset, uint8_t* bytes, size_t count) {
        if (offset > static_cast<uint64_t>(LONG_MAX)) return false;
        if (std::fseek(m_file, static_cast<long>(offset), SEEK_SET) != 0) return false;
        return std::fread(bytes, 1, count, m_file) == count;
    }

    IByteSink& m_sink;
    FILE* m_file = nullptr;
    uint64_t m_nSize = 0;
    CByteLedger m_ledger;
};

}  // namespace

int FlashImage::LoadElfFile(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                            LoadError* error) {
    return LoadThrough(path, pageSize, minAddress, error,
                       [](FILE* file, IByteSink& sink, LoadError& why) {
                           return CElfReader(sink).Read(file, why);
                       });
}

int CheckElfFile(const std::string& path, LoadError* error) {
    return CheckThrough(path, error, [](FILE* file, IByteSink& sink, LoadError& why) {
        return CElfReader(sink).Read(file, why);
    });
}
