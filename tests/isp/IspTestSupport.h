// Reply builders and timing helpers shared by the bootloader client tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Clock.h"
#include "IspProtocol.h"

namespace isptest {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t ACK = 0x79;
constexpr uint8_t NACK = 0x1F;

// The codes a usual bootloader lists, with the given erase code in slot 6.
inline Bytes StandardCodes(uint8_t eraseCode) {
    return {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, eraseCode, 0x63, 0x73, 0x82, 0x92};
}

// ACK, N, version, the codes, ACK; N counts the bytes between N and the last ACK, minus
// one, so 11 codes give 0x0B.
inline Bytes GetReply(uint8_t version, const Bytes& codes) {
    // Filled byte by byte: GCC 12 -O2 misreads a range insert behind a three-byte initializer
    // list as an out-of-bounds copy (-Warray-bounds).
    Bytes reply;
    reply.reserve(codes.size() + 4);
    reply.push_back(ACK);
    reply.push_back(static_cast<uint8_t>(codes.size()));
    reply.push_back(version);
    for (uint8_t code : codes) reply.push_back(code);
    reply.push_back(ACK);
    return reply;
}

inline Bytes Address(uint32_t address) {
    Bytes bytes = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                   static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    bytes.push_back(bytes[0] ^ bytes[1] ^ bytes[2] ^ bytes[3]);
    return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The command table of the last accepted Get, slot by slot.
inline Bytes CommandTable(const CIspProtocol& isp) {
    Bytes table;
    for (int slot = 0; slot < CIspProtocol::kCommandCount; ++slot) {
        table.push_back(isp.Command(static_cast<CIspProtocol::Slot>(slot)));
    }
    return table;
}

// Microseconds an action took on the link's clock.
template <class Action>
uint64_t TookUs(IClock& clock, Action action) {
    const uint64_t start = clock.NowUs();
    action();
    return clock.NowUs() - start;
}

// Number of times pattern occurs in bytes (overlaps counted).
inline int CountOccurrences(const Bytes& bytes, const Bytes& pattern) {
    if (pattern.empty() || bytes.size() < pattern.size()) return 0;
    int found = 0;
    for (size_t i = 0; i + pattern.size() <= bytes.size(); ++i) {
        if (std::equal(pattern.begin(), pattern.end(), bytes.begin() + i)) ++found;
    }
    return found;
}

}  // namespace isptest
