#include "FlashGeometry.h"

#include <algorithm>

FlashGeometry FlashGeometry::ForChip(const chips::Chip& chip, uint32_t flashKiB) {
    FlashGeometry g;
    g.chip = &chip;
    g.flashKiB = flashKiB;
    g.base = chip.flashBase;
    g.units = chips::FlashUnits(chip, flashKiB);
    // Image pages never straddle an erase unit: the smallest unit, at most a kilobyte.
    uint32_t smallest = 1024;
    for (const chips::EraseUnit& unit : g.units) smallest = std::min(smallest, unit.size);
    g.pageSize = smallest;
    g.blockSize = std::min<uint32_t>(256, smallest);
    g.end = g.units.empty() ? g.base : g.units.back().address + g.units.back().size;
    return g;
}
