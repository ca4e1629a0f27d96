// Which addresses a file has given bytes to, which bytes and on which lines: the strict
// readers refuse two records that disagree on a byte.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

class CByteLedger {
public:
    // Notes count bytes from address on (the last one at most 0xFFFFFFFF), given on line.
    // false at the first byte an earlier line gave otherwise: *at is its address and
    // *earlierLine the first line that gave it. Bytes given again alike are fine.
    bool Give(uint32_t address, const uint8_t* bytes, uint32_t count, uint32_t line, uint32_t* at,
              uint32_t* earlierLine);

private:
    static constexpr uint32_t kBlockBits = 8;
    static constexpr uint32_t kBlockSize = 1u << kBlockBits;

    // A run of bytes one line gave within a block, kept only to name that line.
    struct Run {
        uint16_t first;
        uint16_t end;
        uint32_t line;
    };
    struct Block {
        uint8_t bytes[kBlockSize];
        uint8_t given[kBlockSize / 8];  // one bit a byte
        std::vector<Run> runs;
    };

    // The part of a give that falls in one block.
    bool GiveInBlock(Block& block, uint32_t base, uint32_t first, uint32_t end,
                     const uint8_t* bytes, uint32_t line, uint32_t* at, uint32_t* earlierLine);

    std::unordered_map<uint32_t, std::unique_ptr<Block>> m_blocks;
};
