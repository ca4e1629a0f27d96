// The erase units a chip's layout gives at a flash size, and how they are found and described.
#include <gtest/gtest.h>

#include "Chips.h"

namespace {

std::vector<chips::EraseUnit> Units(const char* key, uint32_t flashKiB) {
    return chips::FlashUnits(*chips::FindChipByKey(key), flashKiB);
}

TEST(ChipsFlashUnits, UnitsAreNumberedPerBankFromWhereAFullBankEnds) {
    const struct {
        const char* key;
        uint32_t flashKiB, address, index, size;
    } cases[] = {
        {"f407", 1024, 0x08020000, 5, 0x20000}, {"f407", 1024, 0x080E0000, 11, 0x20000},
        {"f429", 2048, 0x08100000, 12, 0x4000}, {"f429", 1024, 0x08110000, 16, 0x10000},
        {"h743", 1024, 0x08100000, 8, 0x20000}, {"l476", 512, 0x08040000, 256, 0x800},
        {"l073", 192, 0x0802FF80, 1535, 0x80},  {"f746", 1024, 0x08020000, 4, 0x20000},
    };
    for (const auto& c : cases) {
        const std::vector<chips::EraseUnit> units = Units(c.key, c.flashKiB);
        const chips::EraseUnit* unit = chips::UnitAt(units, c.address + c.size - 1);
        ASSERT_NE(unit, nullptr) << c.key << " " << c.index;
        EXPECT_EQ(unit->index, c.index) << c.key;
        EXPECT_EQ(unit->address, c.address) << c.key;
        EXPECT_EQ(unit->size, c.size) << c.key;
    }
}

TEST(ChipsFlashUnits, NoUnitsForSizesTheLayoutCannotHoldNorOutsideThem) {
    EXPECT_TRUE(Units("f407", 0).empty());
    EXPECT_TRUE(Units("f407", 100).empty());   // not whole sectors
    EXPECT_TRUE(Units("f407", 2048).empty());  // one bank only
    EXPECT_TRUE(Units("h743", 1152).empty());  // 576 KiB a bank
    const std::vector<chips::EraseUnit> units = Units("h743", 1024);
    for (uint32_t address : {0x07FFFFFFu, 0x08080000u, 0x080FFFFFu, 0x08180000u}) {
        EXPECT_EQ(chips::UnitAt(units, address), nullptr) << std::hex << address;
    }
}

TEST(ChipsLayoutText, RunsOfEqualUnitsInOneBank) {
    const struct {
        const char* key;
        uint32_t flashKiB;
        const char* text;
    } cases[] = {
        {"l073", 192, "1536 pages of 128 bytes"},
        {"f407", 128, "4 x 16 KiB + 64 KiB sectors"},
        {"f746", 1024, "4 x 32 KiB + 128 KiB + 3 x 256 KiB sectors"},
        {"f429", 2048, "4 x 16 KiB + 64 KiB + 7 x 128 KiB sectors in each of 2 banks"},
        {"l476", 1024, "256 pages of 2 KiB in each of 2 banks"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(chips::LayoutText(*chips::FindChipByKey(c.key), c.flashKiB), c.text) << c.key;
    }
}

}  // namespace
