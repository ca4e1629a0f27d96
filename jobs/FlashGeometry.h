// What the jobs know of the flash they work on: by default the fixed layout the dialog has
// always used; after a chip is identified, that chip's.
#pragma once

#include <cstdint>
#include <vector>

#include "Chips.h"

struct FlashGeometry {
    uint32_t base = 0x08000000;
    // Bytes of one image page, the unit loaded, erased-for, written and verified together.
    uint32_t pageSize = 1024;
    // Bytes of one read or write command.
    uint32_t blockSize = 256;
    // The read-out runs from base to here.
    uint32_t end = 0x08010000;
    // The chip's erase units; empty: image page i is erased as page i, unchecked.
    std::vector<chips::EraseUnit> units;
    // The identified chip and its flash size; null and 0 when none is known. A chip may be
    // known while its size, and so its layout, is not (two banks, size unreadable).
    const chips::Chip* chip = nullptr;
    uint32_t flashKiB = 0;

    // The layout is known: the chip and its size, and so every erase unit.
    bool Known() const { return chip != nullptr && !units.empty(); }

    // The geometry of an identified chip with flashKiB of flash (a size its layout holds).
    static FlashGeometry ForChip(const chips::Chip& chip, uint32_t flashKiB);
};
