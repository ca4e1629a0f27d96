// The target as each chip of the table: identity, layout and the memory beside the flash,
// erase by unit number and by bank, protection, and the chip's own flash times.
#include <gtest/gtest.h>

#include <algorithm>

#include "Chips.h"
#include "TargetRig.h"

namespace {

using namespace simtest;
using sim::kAck;
using sim::kNack;

sim::TargetConfig ChipConfig(const char* key, bool filled = false) {
    sim::TargetConfig c;
    c.SetChip(*chips::FindChipByKey(key));
    if (filled) c.initialFlash.assign(c.flashKiB * 1024u, 0x00);
    return c;
}

class TargetEveryChip : public testing::TestWithParam<chips::Chip> {};

TEST_P(TargetEveryChip, ReportsItsIdentitySizeAndOptionBytesOverItsLayout) {
    const chips::Chip& chip = GetParam();
    const std::vector<chips::EraseUnit> units = chips::FlashUnits(chip, chip.defaultKiB);
    ASSERT_FALSE(units.empty());
    uint32_t bytes = units[0].size;
    for (size_t i = 1; i < units.size(); ++i) {
        bytes += units[i].size;
        EXPECT_GE(units[i].address, units[i - 1].address + units[i - 1].size) << i;
        EXPECT_GT(units[i].index, units[i - 1].index) << i;
    }
    EXPECT_EQ(bytes, chip.defaultKiB * 1024);
    EXPECT_TRUE(chip.eraseCmd != 0x43 || units.back().index <= 0xFF);  // one-byte numbers

    sim::TargetConfig c;
    c.SetChip(chip);
    Rig rig(c);
    rig.Sync();
    const Bytes get = rig.Send(Cmd(0x00));
    ASSERT_EQ(get.size(), chip.getCodes + 4u);
    EXPECT_EQ(get[1], chip.getCodes);
    EXPECT_EQ(get[2], chip.protocol);
    EXPECT_EQ(get[9], chip.eraseCmd);
    EXPECT_EQ(rig.Send(Cmd(0x02)),
              (Bytes{kAck, 1, uint8_t(chip.pid >> 8), uint8_t(chip.pid), kAck}));
    EXPECT_EQ(rig.Read(chip.flashSizeReg, 2),
              (Bytes{kAck, uint8_t(chip.defaultKiB), uint8_t(chip.defaultKiB >> 8)}));
    const Bytes options = rig.Read(chip.optionBase, chip.optionSize);
    ASSERT_EQ(options.size(), chip.optionSize + 1);
    EXPECT_EQ(options[1 + chip.rdp.offset], chip.rdp.level0);
    // Its complement beside it where option bytes pair up (RDP in a low half).
    EXPECT_EQ(options[2 + chip.rdp.offset], chip.rdp.offset % 2 ? 0xFF : 0xFF ^ chip.rdp.level0);
    const chips::EraseUnit& last = units.back();
    EXPECT_EQ(rig.Read(last.address + last.size - 2, 2), (Bytes{kAck, 0xFF, 0xFF}));
}

INSTANTIATE_TEST_SUITE_P(Table, TargetEveryChip, testing::ValuesIn(chips::AllChips()),
                         [](const testing::TestParamInfo<chips::Chip>& info) {
                             return std::string(info.param.key);
                         });

TEST(TargetChipErase, ErasesExactlyTheUnitOrBankNamedAndNacksWhatIsNotThere) {
    const struct {
        const char* key;
        Bytes block;  // without its checksum
        uint8_t reply;
        uint32_t from, to;  // offsets of what it erases
    } cases[] = {
        {"l073", {0x00, 0x00, 0x01, 0x2C}, kAck, 300 * 128, 301 * 128},  // past one byte
        {"f407", {0x00, 0x00, 0x00, 0x05}, kAck, 0x20000, 0x40000},
        {"h743", {0xFF, 0xFD}, kAck, 0x100000, 0x200000},  // bank 2
        {"l476", {0xFF, 0xFE}, kAck, 0, 0x80000},          // bank 1
        {"f407", {0xFF, 0xFD}, kNack, 0, 0},               // a single bank
        {"f429", {0x00, 0x00, 0x00, 0x18}, kNack, 0, 0},   // bank 2 ends at 23
    };
    for (const auto& c : cases) {
        Rig rig(ChipConfig(c.key, true));
        rig.Sync();
        EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
        EXPECT_EQ(rig.Send(WithXor(c.block)), Bytes{c.reply}) << c.key;
        const Bytes& flash = rig.target.Flash();
        EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), c.to - c.from) << c.key;
        EXPECT_EQ(std::count(flash.begin() + c.from, flash.begin() + c.to, 0xFF), c.to - c.from);
    }
}

TEST(TargetChipMemory, TwoBanksOfASmallerPartKeepTheirBasesAndSizeRegisterFollows) {
    sim::TargetConfig c = ChipConfig("h743");
    c.flashKiB = 1024;
    Rig rig(c);
    rig.Sync();
    EXPECT_EQ(rig.Read(0x1FF1E880, 2), (Bytes{kAck, 0x00, 0x04}));
    EXPECT_EQ(rig.Read(0x08100000, 1), (Bytes{kAck, 0xFF}));
    EXPECT_EQ(rig.Read(0x0807FFFE, 4), Bytes{kNack});  // would run into the gap
}

TEST(TargetChipProtection, ReadoutUnprotectErasesThenIgnoresAllButSync) {
    sim::TargetConfig c = ChipConfig("f407", true);
    c.readoutProtected = true;
    Rig rig(c);
    rig.Sync();
    EXPECT_EQ(rig.target.OptionBytes()[1], 0xBB);
    EXPECT_EQ(rig.Send(Cmd(0x92)), (Bytes{kAck, kAck}));
    EXPECT_TRUE(rig.Send({0x00, 0xFF, 0x02, 0xFD, 0x79, 0x1F}).empty());
    rig.Sync();
    EXPECT_EQ(std::count(rig.target.Flash().begin(), rig.target.Flash().end(), 0xFF), 1 << 20);
    EXPECT_EQ(rig.target.OptionBytes()[1], 0xAA);
}

TEST(TargetChipProtection, ProtectedSectorIsNeitherErasedNorWrittenUntilUnprotect) {
    sim::TargetConfig c = ChipConfig("f407");
    c.initialFlash.assign(0x4004, 0x00);  // sector 0 and the start of sector 1
    Rig rig(c);
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x63)), Bytes{kAck});
    EXPECT_EQ(rig.Send(WithXor({0x00, 0x01})), Bytes{kAck});  // sector 1 from 0x08004000
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
    EXPECT_EQ(rig.Send(WithXor({0x00, 0x01, 0x00, 0x00, 0x00, 0x01})), Bytes{kAck});
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0xFF, 0xFF, 0x00}), Bytes{kAck});  // and a mass erase
    EXPECT_EQ(rig.Write(0x08003FF8, Bytes(16, 0x11)), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(0x08003FFF), 0x11);  // sector 0: erased and written
    EXPECT_EQ(rig.FlashAt(0x08004000), 0x00);  // sector 1: neither
    EXPECT_EQ(rig.FlashAt(0x08004007), 0xFF);
    EXPECT_EQ(rig.Send(Cmd(0x73)), (Bytes{kAck, kAck}));
    rig.Sync();
    EXPECT_EQ(rig.Write(0x08004004, {1, 2, 3, 4}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(0x08004004), 0x01);
}

TEST(TargetChipTiming, ReportedDelaysAreTheChipsTypicalTimes) {
    const struct {
        const char* key;
        bool real;     // else --flash-timing f1
        uint8_t code;  // 0x31: 256 bytes written at the flash base
        Bytes block;   // without its checksum
        uint64_t lastDelayUs;
    } cases[] = {
        {"f407", true, 0x44, {0xFF, 0xFF}, 16000000},  // mass erase: 16 s
        {"f407", true, 0x92, {}, 16000000},            // readout unprotect
        {"f407", true, 0x44, {0x00, 0x01, 0x00, 0x00, 0x00, 0x04}, 400000 + 1200000},
        {"f407", false, 0x44, {0x00, 0x00, 0x00, 0x05}, 20000},  // the F103's page
        {"h743", true, 0x44, {0xFF, 0xFE}, 8000000},
        {"f407", true, 0x31, {}, 256 * 16},
        {"l073", true, 0x31, {}, 4 * 3200},  // half-pages
    };
    for (const auto& c : cases) {
        sim::TargetConfig config = ChipConfig(c.key);
        config.chipTiming = c.real;
        config.f1Timing = !c.real;
        Rig rig(config);
        rig.Sync();
        if (c.code == 0x31) {
            rig.Write(0x08000000, Bytes(256, 0x00));
        } else {
            rig.Send(Cmd(c.code));
            if (!c.block.empty()) rig.Send(WithXor(c.block));
        }
        EXPECT_EQ(rig.LastDelayUs(), c.lastDelayUs) << c.key << " " << int(c.code);
    }
}

}  // namespace
