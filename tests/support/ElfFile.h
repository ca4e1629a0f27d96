// A minimal ELF file for tests: a header, a program header table and each segment's bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testelf {

struct Segment {
    uint32_t type;  // 1: PT_LOAD
    uint32_t physical;
    uint32_t virtualAddress;
    std::vector<uint8_t> bytes;  // the file bytes
    uint32_t memorySize;         // 0: as many as the file bytes
};

struct Header {
    uint8_t elfClass = 1;  // 1: 32-bit, 2: 64-bit (the header is laid out as 32-bit all the same)
    uint8_t encoding = 1;  // 1: little-endian, 2: big-endian
    uint16_t machine = 40;
};

// The header, the table right behind it, then the segments' bytes one after another.
inline std::vector<uint8_t> File(const std::vector<Segment>& segments, Header header = {}) {
    std::vector<uint8_t> file(52 + 32 * segments.size(), 0);
    const bool big = header.encoding == 2;
    auto put = [&file, big](size_t at, uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            file[at + (big ? size - 1 - i : i)] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    const uint8_t ident[] = {0x7F, 'E', 'L', 'F', header.elfClass, header.encoding, 1};
    std::copy(ident, ident + sizeof ident, file.begin());
    put(16, 2, 2);  // an executable
    put(18, header.machine, 2);
    put(20, 1, 4);
    put(28, 52, 4);  // e_phoff
    put(40, 52, 2);  // e_ehsize
    put(42, 32, 2);  // e_phentsize
    put(44, static_cast<uint32_t>(segments.size()), 2);
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const size_t entry = 52 + 32 * i;
        put(entry, s.type, 4);
        put(entry + 4, static_cast<uint32_t>(file.size()), 4);
        put(entry + 8, s.virtualAddress, 4);
        put(entry + 12, s.physical, 4);
        put(entry + 16, static_cast<uint32_t>(s.bytes.size()), 4);
        put(entry + 20, s.memorySize != 0 ? s.memorySize : static_cast<uint32_t>(s.bytes.size()),
            4);
        file.insert(file.end(), s.bytes.begin(), s.bytes.end());
    }
    return file;
}

// count loadable segments at address, each of them the whole file, padded to size.
inline std::vector<uint8_t> EachSegmentTheWholeFile(uint16_t count, size_t size, uint32_t address) {
    std::vector<uint8_t> file = File(std::vector<Segment>(count, {1, address, address, {}, 0}));
    file.resize(size);
    for (size_t entry = 52; entry < 52 + 32u * count; entry += 32) {
        for (int i = 0; i < 4; ++i) {
            file[entry + 4 + i] = 0;
            file[entry + 16 + i] = static_cast<uint8_t>(size >> (8 * i));
        }
    }
    return file;
}

}  // namespace testelf
