#include "Chips.h"

#include <algorithm>

namespace chips {

namespace {

uint32_t BankBytes(const Chip& chip) {
    uint32_t bytes = 0;
    for (const UnitRun& run : chip.bank) bytes += run.size * run.count;
    return bytes;
}

uint32_t BankUnitCount(const Chip& chip) {
    uint32_t count = 0;
    for (const UnitRun& run : chip.bank) count += run.count;
    return count;
}

// The first units of one bank that add up to bytes; false when they do not add up exactly.
bool TakeBank(const Chip& chip, uint8_t bank, uint32_t address, uint32_t firstIndex, uint32_t bytes,
              std::vector<EraseUnit>* out) {
    uint32_t index = firstIndex;
    for (const UnitRun& run : chip.bank) {
        for (uint32_t i = 0; i < run.count && bytes > 0; ++i) {
            if (run.size > bytes) return false;
            out->push_back(EraseUnit{address, run.size, static_cast<uint16_t>(index),
                                     run.eraseTypMs, run.eraseMaxMs, bank});
            address += run.size;
            bytes -= run.size;
            ++index;
        }
    }
    return bytes == 0;
}

std::string KiBText(uint32_t bytes) {
    if (bytes % 1024 != 0) return std::to_string(bytes) + " bytes";
    return std::to_string(bytes / 1024) + " KiB";
}

}  // namespace

const Chip* FindChipByKey(const std::string& key) {
    for (const Chip& chip : AllChips()) {
        if (key == chip.key) return &chip;
    }
    return nullptr;
}

const Chip* FindChipByPid(uint16_t pid) {
    for (const Chip& chip : AllChips()) {
        if (chip.pid == pid) return &chip;
    }
    return nullptr;
}

uint32_t MaxFlashKiB(const Chip& chip) { return BankBytes(chip) * chip.banks / 1024; }

const EraseQuirk* FindEraseQuirk(const Chip& chip) {
    for (const EraseQuirk& quirk : EraseQuirks()) {
        if (std::string(quirk.key) == chip.key) return &quirk;
    }
    return nullptr;
}

uint32_t LongestStartupUs() {
    uint32_t longest = 0;
    for (const Chip& chip : AllChips()) longest = std::max(longest, chip.startupUs);
    return longest;
}

std::vector<EraseUnit> FlashUnits(const Chip& chip, uint32_t flashKiB) {
    std::vector<EraseUnit> units;
    if (flashKiB == 0 || flashKiB > MaxFlashKiB(chip) || flashKiB % chip.banks != 0) return units;
    const uint32_t perBank = flashKiB / chip.banks * 1024;
    if (!TakeBank(chip, 1, chip.flashBase, 0, perBank, &units)) return {};
    if (chip.banks == 2) {
        const uint32_t base = chip.bank2Base != 0 ? chip.bank2Base : chip.flashBase + perBank;
        if (!TakeBank(chip, 2, base, BankUnitCount(chip), perBank, &units)) return {};
    }
    return units;
}

const EraseUnit* UnitAt(const std::vector<EraseUnit>& units, uint32_t address) {
    // Units are in address order: find the last one starting at or below the address.
    size_t lo = 0, hi = units.size();
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (units[mid].address <= address) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == 0) return nullptr;
    const EraseUnit& unit = units[lo - 1];
    return address - unit.address < unit.size ? &unit : nullptr;
}

std::string LayoutText(const Chip& chip, uint32_t flashKiB) {
    std::vector<EraseUnit> units = FlashUnits(chip, flashKiB);
    const size_t perBank = units.size() / chip.banks;
    std::string text;
    // Runs of equal units within bank 1 (bank 2 is the same).
    for (size_t i = 0; i < perBank;) {
        size_t j = i;
        while (j < perBank && units[j].size == units[i].size) ++j;
        if (!text.empty()) text += " + ";
        const size_t count = j - i;
        if (count > 1) text += std::to_string(count) + " x ";
        text += KiBText(units[i].size);
        i = j;
    }
    const bool uniform = text.find('+') == std::string::npos;
    const char* kind = chip.sectors ? "sectors" : "pages";
    if (uniform) {
        // "64 pages of 1 KiB"
        text = std::to_string(perBank) + " " + kind + " of " +
               KiBText(units.empty() ? 0 : units[0].size);
    } else {
        text += std::string(" ") + kind;
    }
    if (chip.banks == 2) text += " in each of 2 banks";
    return text;
}

}  // namespace chips
