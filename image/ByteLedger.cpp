#include "ByteLedger.h"

#include <algorithm>

bool CByteLedger::Give(uint32_t address, const uint8_t* bytes, uint32_t count, uint32_t line,
                       uint32_t* at, uint32_t* earlierLine) {
    // 64 bits: the last byte may be 0xFFFFFFFF itself.
    uint64_t next = address;
    const uint64_t end = next + count;
    while (next < end) {
        const uint32_t key = static_cast<uint32_t>(next >> kBlockBits);
        const uint64_t base = uint64_t{key} << kBlockBits;
        const uint32_t first = static_cast<uint32_t>(next - base);
        const uint32_t stop = static_cast<uint32_t>(std::min<uint64_t>(end - base, kBlockSize));
        std::unique_ptr<Block>& block = m_blocks[key];
        if (!block) block.reset(new Block{});
        if (!GiveInBlock(*block, static_cast<uint32_t>(base), first, stop, bytes, line, at,
                         earlierLine)) {
            return false;
        }
        bytes += stop - first;
        next = base + stop;
    }
    return true;
}

bool CByteLedger::GiveInBlock(Block& block, uint32_t base, uint32_t first, uint32_t end,
                              const uint8_t* bytes, uint32_t line, uint32_t* at,
                              uint32_t* earlierLine) {
    for (uint32_t i = first; i < end; ++i) {
        const uint8_t bit = static_cast<uint8_t>(1u << (i % 8));
        const uint8_t byte = bytes[i - first];
        if ((block.given[i / 8] & bit) == 0) {
            block.given[i / 8] |= bit;
            block.bytes[i] = byte;
        } else if (block.bytes[i] != byte) {
            *at = base + i;
            // Runs are kept in line order, so the first that holds the byte gave it first.
            for (const Run& run : block.runs) {
                if (run.first <= i && i < run.end) {
                    *earlierLine = run.line;
                    break;
                }
            }
            return false;
        }
    }
    block.runs.push_back({static_cast<uint16_t>(first), static_cast<uint16_t>(end), line});
    return true;
}
