// The erase units a chip's layout gives at a flash size, and how they are found and described.
#include <gtest/gtest.h>

#include "Chips.h"

namespace {

const chips::Chip& ChipOf(const char* key) {
    const chips::Chip* chip = chips::FindChipByKey(key);
    EXPECT_NE(chip, nullptr) << key;
    return chip != nullptr ? *chip : chips::AllChips().front();
}

// A unit by its bootloader number, as the host names it.
struct UnitCase {
    const char* key;
    uint32_t flashKiB;
    uint16_t index;
    uint32_t address;
    uint32_t size;
};

TEST(ChipsFlashUnits, UnitsAreNumberedPerBankFromWhereAFullBankEnds) {
    const UnitCase cases[] = {
        {"f407", 1024, 5, 0x08020000, 128 * 1024}, {"f407", 1024, 11, 0x080E0000, 128 * 1024},
        {"f429", 2048, 12, 0x08100000, 16 * 1024}, {"f429", 1024, 16, 0x08110000, 64 * 1024},
        {"h743", 1024, 8, 0x08100000, 128 * 1024}, {"l476", 512, 256, 0x08040000, 2048},
        {"l476", 1024, 511, 0x080FF800, 2048},     {"l073", 192, 1535, 0x0802FF80, 128},
        {"f746", 1024, 4, 0x08020000, 128 * 1024}, {"f205", 512, 7, 0x08060000, 128 * 1024},
    };
    for (const UnitCase& c : cases) {
        const std::vector<chips::EraseUnit> units = chips::FlashUnits(ChipOf(c.key), c.flashKiB);
        const chips::EraseUnit* unit = chips::UnitAt(units, c.address);
        ASSERT_NE(unit, nullptr) << c.key << " " << c.index;
        EXPECT_EQ(unit->index, c.index) << c.key;
        EXPECT_EQ(unit->address, c.address) << c.key;
        EXPECT_EQ(unit->size, c.size) << c.key;
        EXPECT_EQ(chips::UnitAt(units, c.address + c.size - 1), unit) << c.key;
    }
}

TEST(ChipsFlashUnits, SizesTheLayoutCannotHoldGiveNoUnits) {
    EXPECT_TRUE(chips::FlashUnits(ChipOf("f407"), 0).empty());
    EXPECT_TRUE(chips::FlashUnits(ChipOf("f407"), 100).empty());   // not whole sectors
    EXPECT_TRUE(chips::FlashUnits(ChipOf("f407"), 2048).empty());  // one bank only
    EXPECT_TRUE(chips::FlashUnits(ChipOf("h743"), 1152).empty());  // 576 KiB a bank
    EXPECT_FALSE(chips::FlashUnits(ChipOf("f407"), 128).empty());
}

TEST(ChipsUnitAt, AddressesOutsideEveryUnitFindNothing) {
    const std::vector<chips::EraseUnit> units = chips::FlashUnits(ChipOf("h743"), 1024);
    EXPECT_EQ(chips::UnitAt(units, 0x07FFFFFF), nullptr);
    EXPECT_EQ(chips::UnitAt(units, 0x08080000), nullptr);  // between the banks
    EXPECT_EQ(chips::UnitAt(units, 0x08180000), nullptr);
    EXPECT_NE(chips::UnitAt(units, 0x0807FFFF), nullptr);
}

TEST(ChipsLayoutText, RunsOfEqualUnitsPerBank) {
    const struct {
        const char* key;
        uint32_t flashKiB;
        const char* text;
    } cases[] = {
        {"f103", 64, "64 pages of 1 KiB"},
        {"l073", 192, "1536 pages of 128 bytes"},
        {"f407", 1024, "4 x 16 KiB + 64 KiB + 7 x 128 KiB sectors"},
        {"f407", 128, "4 x 16 KiB + 64 KiB sectors"},
        {"f746", 1024, "4 x 32 KiB + 128 KiB + 3 x 256 KiB sectors"},
        {"f429", 2048, "4 x 16 KiB + 64 KiB + 7 x 128 KiB sectors in each of 2 banks"},
        {"h743", 2048, "8 sectors of 128 KiB in each of 2 banks"},
        {"l476", 1024, "256 pages of 2 KiB in each of 2 banks"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chips::LayoutText(ChipOf(c.key), c.flashKiB), c.text) << c.key;
    }
}

}  // namespace
