// The bootloader state machine: sync, framing, each command, protection and flash timing.
#include <gtest/gtest.h>

#include "TargetRig.h"

namespace {

using namespace simtest;
using sim::kAck;
using sim::kNack;
using sim::kSync;

constexpr uint32_t kBase = 0x08000000;

// ---- sync ----

TEST(TargetSync, FirstSyncByteIsAcked) {
    Rig rig;
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitCommand);
}

TEST(TargetSync, BytesBeforeSyncAreIgnored) {
    Rig rig;
    EXPECT_TRUE(rig.Send({0x00, 0xFF, 0x55, 0x79}).empty());
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
}

TEST(TargetSync, ResyncWithoutResetIsTakenAsCommandAndNackedOnNextByte) {
    Rig rig;
    rig.Sync();
    EXPECT_TRUE(rig.Send({kSync}).empty());      // taken as a command code
    EXPECT_EQ(rig.Send({kSync}), Bytes{kNack});  // not its complement
}

TEST(TargetSync, ResetReturnsToWaitingForSync) {
    Rig rig;
    rig.Sync();
    rig.target.Reset();
    EXPECT_TRUE(rig.Send(Cmd(0x00)).empty());
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
}

// ---- identification ----

TEST(TargetIdentify, GetListsElevenCodesWithBasicErase) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x00)), (Bytes{kAck, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31,
                                          0x43, 0x63, 0x73, 0x82, 0x92, kAck}));
}

TEST(TargetIdentify, GetListsExtendedEraseAndVersionWhenConfigured) {
    sim::TargetConfig c;
    c.eraseCmd = 0x44;
    c.blVersion = 0x31;
    Rig rig(c);
    rig.Sync();
    const Bytes reply = rig.Send(Cmd(0x00));
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_EQ(reply[2], 0x31);
    EXPECT_EQ(reply[9], 0x44);
}

TEST(TargetIdentify, GetVersionGivesVersionAndZeroOptionBytes) {
    sim::TargetConfig c;
    c.blVersion = 0x31;
    Rig rig(c);
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x01)), (Bytes{kAck, 0x31, 0x00, 0x00, kAck}));
}

TEST(TargetIdentify, GetIdGivesProductIdMostSignificantFirst) {
    sim::TargetConfig c;
    c.pid = 0x0413;
    Rig rig(c);
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x02)), (Bytes{kAck, 0x01, 0x04, 0x13, kAck}));
}

// ---- framing ----

TEST(TargetFraming, WrongComplementIsNackedAndNextByteIsACommand) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send({0x00, 0xFE}), Bytes{kNack});
    EXPECT_EQ(rig.Send(Cmd(0x02)).size(), 5u);
}

TEST(TargetFraming, UnknownCommandIsNacked) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x55)), Bytes{kNack});
    EXPECT_EQ(rig.Send(Cmd(0xA1)), Bytes{kNack});
}

TEST(TargetFraming, AddressWithBadXorIsNacked) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0x08, 0x00, 0x00, 0x00, 0x00}), Bytes{kNack});
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitCommand);
}

TEST(TargetFraming, WriteUnprotectAcksTwiceAndResets) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x73)), (Bytes{kAck, kAck}));
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitSync);
}

TEST(TargetFraming, WriteProtectTakesSectorListThenResets) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x63)), Bytes{kAck});
    EXPECT_EQ(rig.Send(WithXor({0x01, 0x00, 0x01})), Bytes{kAck});
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitSync);
}

// ---- read memory ----

TEST(TargetReadMemory, ReadGivesAckThenRequestedBytes) {
    Rig rig(WithFlash({0x10, 0x11, 0x12, 0x13, 0x14}));
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase + 1, 3), (Bytes{kAck, 0x11, 0x12, 0x13}));
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitCommand);
}

TEST(TargetReadMemory, FlashStartsErasedBeyondInitialContents) {
    Rig rig(WithFlash({0x00}));
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase, 2), (Bytes{kAck, 0x00, 0xFF}));
}

TEST(TargetReadMemory, CountFFReads256Bytes) {
    Rig rig;
    rig.Sync();
    const Bytes reply = rig.Read(kBase + 0xFF00, 256);
    ASSERT_EQ(reply.size(), 257u);
    EXPECT_EQ(reply[0], kAck);
}

TEST(TargetReadMemory, AddressOutsideFlashNackedAtAddressStage) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase + 0x10000)), Bytes{kNack});  // just past 64 KiB
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(0x1FFFF800)), Bytes{kNack});
}

TEST(TargetReadMemory, SmallerFlashRefusesReadBeyondIt) {
    sim::TargetConfig c;
    c.flashKiB = 32;
    Rig rig(c);
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase + 0x7F00, 256).size(), 257u);
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase + 0x8000)), Bytes{kNack});
}

TEST(TargetReadMemory, ReadRunningPastFlashEndNackedAtCount) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase + 0xFFF0, 32), Bytes{kNack});
}

TEST(TargetReadMemory, CountWithBadComplementNacked) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0xFF, 0xFF}), Bytes{kNack});
}

// ---- write memory ----

TEST(TargetWriteMemory, WriteProgramsFlashAndAcks) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Write(kBase + 0x100, {0xDE, 0xAD, 0xBE, 0xEF}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase + 0x100), 0xDE);
    EXPECT_EQ(rig.FlashAt(kBase + 0x103), 0xEF);
    EXPECT_EQ(rig.FlashAt(kBase + 0x104), 0xFF);
    EXPECT_EQ(rig.Read(kBase + 0x100, 4), (Bytes{kAck, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(TargetWriteMemory, WriteOverUnerasedFlashOnlyClearsBits) {
    Rig rig(WithFlash({0x0F, 0xFF}));
    rig.Sync();
    EXPECT_EQ(rig.Write(kBase, {0xF3, 0xA5}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase), 0x03);  // 0x0F & 0xF3: differs from what was written
    EXPECT_EQ(rig.FlashAt(kBase + 1), 0xA5);
}

TEST(TargetWriteMemory, Write256BytesFillsWholeBlock) {
    Rig rig;
    rig.Sync();
    Bytes data(256);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
    EXPECT_EQ(rig.Write(kBase + 0x400, data), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase + 0x400 + 0x7E), 0x7E);
    EXPECT_EQ(rig.FlashAt(kBase + 0x4FF), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 0x4FE), 0xFE);
}

TEST(TargetWriteMemory, BadChecksumNackedAndFlashUntouched) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x31)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0x01, 0x12, 0x34, 0x00}), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase), 0xFF);
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitCommand);
}

TEST(TargetWriteMemory, AddressOutsideFlashNacked) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x31)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(0x20000000)), Bytes{kNack});
}

TEST(TargetWriteMemory, BlockRunningPastFlashEndNackedWithoutEffect) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Write(kBase + 0xFFFE, {0x00, 0x00, 0x00, 0x00}), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase + 0xFFFE), 0xFF);
}

// ---- erase (0x43) ----

TEST(TargetErase, GlobalEraseFF00ErasesEverything) {
    Rig rig(WithFlash(Bytes(3000, 0x00)));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x43)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0xFF, 0x00}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 2999), 0xFF);
}

TEST(TargetErase, PageEraseErasesOnlyListedPages) {
    Rig rig(WithFlash(Bytes(4096, 0x00)));
    rig.Sync();
    EXPECT_EQ(rig.ErasePages({1, 3}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase + 1023), 0x00);
    EXPECT_EQ(rig.FlashAt(kBase + 1024), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 2047), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 2048), 0x00);
    EXPECT_EQ(rig.FlashAt(kBase + 3072), 0xFF);
}

TEST(TargetErase, PageSizeFollowsConfiguration) {
    sim::TargetConfig c = WithFlash(Bytes(8192, 0x00));
    c.pageSize = 2048;
    Rig rig(c);
    rig.Sync();
    EXPECT_EQ(rig.ErasePages({1}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase + 2047), 0x00);
    EXPECT_EQ(rig.FlashAt(kBase + 2048), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 4095), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 4096), 0x00);
}

TEST(TargetErase, PageOutOfRangeNackedAndNothingErased) {
    Rig rig(WithFlash(Bytes(2048, 0x00)));
    rig.Sync();
    EXPECT_EQ(rig.ErasePages({0, 64}), Bytes{kNack});  // 64 KiB has pages 0..63
    EXPECT_EQ(rig.FlashAt(kBase), 0x00);
}

TEST(TargetErase, PageBlockWithBadChecksumNacked) {
    Rig rig(WithFlash(Bytes(1024, 0x00)));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x43)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0x00, 0x00, 0x01}), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase), 0x00);
}

TEST(TargetErase, GlobalEraseWithWrongSecondByteNacked) {
    Rig rig(WithFlash({0x00}));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x43)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0xFF, 0x01}), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase), 0x00);
}

TEST(TargetErase, ExtendedEraseRefusedByBasicBootloader) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kNack});
}

// ---- extended erase (0x44) ----

sim::TargetConfig Extended(const Bytes& contents) {
    sim::TargetConfig c = WithFlash(contents);
    c.eraseCmd = 0x44;
    return c;
}

TEST(TargetExtendedErase, MassEraseFFFF00ErasesEverything) {
    Rig rig(Extended(Bytes(5000, 0x00)));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0xFF, 0xFF, 0x00}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase + 4999), 0xFF);
}

TEST(TargetExtendedErase, TwoBytePageListErasesThosePages) {
    Rig rig(Extended(Bytes(4096, 0x00)));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01}), Bytes{kAck});
    EXPECT_EQ(rig.FlashAt(kBase), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 3071), 0xFF);
    EXPECT_EQ(rig.FlashAt(kBase + 3072), 0x00);
}

TEST(TargetExtendedErase, BankEraseNackedOnSingleBankPart) {
    Rig rig(Extended({0x00}));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
    EXPECT_EQ(rig.Send({0xFF, 0xFE, 0x01}), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase), 0x00);
}

TEST(TargetExtendedErase, ReservedCountNacked) {
    Rig rig(Extended({0x00}));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
    EXPECT_EQ(rig.Send(WithXor({0xFF, 0xF5})), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase), 0x00);
}

TEST(TargetExtendedErase, PageOutOfRangeNacked) {
    Rig rig(Extended({0x00}));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x44)), Bytes{kAck});
    EXPECT_EQ(rig.Send(WithXor({0x00, 0x01, 0x00, 0x00, 0x01, 0x00})), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase), 0x00);
}

TEST(TargetExtendedErase, BasicEraseRefusedByExtendedBootloader) {
    Rig rig(Extended({}));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x43)), Bytes{kNack});
}

// ---- go ----

TEST(TargetGo, GoAcksAddressThenStaysSilentUntilReset) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x21)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase)), Bytes{kAck});
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::Running);
    EXPECT_TRUE(rig.Send({kSync}).empty());
    EXPECT_TRUE(rig.Send(Cmd(0x00)).empty());
    rig.target.Reset();
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
}

TEST(TargetGo, GoOutsideFlashNackedAndBootloaderStays) {
    Rig rig;
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x21)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(0x00000000)), Bytes{kNack});
    EXPECT_EQ(rig.Send(Cmd(0x02)).size(), 5u);
}

// ---- readout protection ----

sim::TargetConfig Protected() {
    sim::TargetConfig c = WithFlash({0x12, 0x34});
    c.readoutProtected = true;
    return c;
}

TEST(TargetReadoutProtection, IdentificationCommandsStillAnswered) {
    Rig rig(Protected());
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x00)).size(), 15u);
    EXPECT_EQ(rig.Send(Cmd(0x01)).size(), 5u);
    EXPECT_EQ(rig.Send(Cmd(0x02)).size(), 5u);
}

TEST(TargetReadoutProtection, MemoryCommandsNackedAtTheirCode) {
    Rig rig(Protected());
    rig.Sync();
    for (uint8_t code : {0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82}) {
        EXPECT_EQ(rig.Send(Cmd(code)), Bytes{kNack}) << int(code);
    }
    EXPECT_EQ(rig.FlashAt(kBase), 0x12);
    EXPECT_TRUE(rig.target.ReadoutProtected());
}

TEST(TargetReadoutProtection, RefusedWriteHasNoEffect) {
    Rig rig(Protected());
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x31)), Bytes{kNack});
    // The address that follows is just noise to a bootloader waiting for a command.
    rig.Send(Addr(kBase));
    rig.Send(WithXor({0x00, 0x00}));
    EXPECT_EQ(rig.FlashAt(kBase), 0x12);
}

TEST(TargetReadoutProtection, UnprotectErasesFlashLiftsProtectionAndResets) {
    Rig rig(Protected());
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x92)), (Bytes{kAck, kAck}));
    EXPECT_FALSE(rig.target.ReadoutProtected());
    EXPECT_EQ(rig.FlashAt(kBase), 0xFF);
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitSync);
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase, 1), (Bytes{kAck, 0xFF}));
}

TEST(TargetReadoutProtection, ProtectCommandTakesEffectAfterItsReset) {
    Rig rig(WithFlash({0x12}));
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x82)), (Bytes{kAck, kAck}));
    EXPECT_TRUE(rig.target.ReadoutProtected());
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase), 0x12);
}

TEST(TargetReadoutProtection, ProtectionSurvivesReset) {
    Rig rig(Protected());
    rig.target.Reset();
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kNack});
}

// ---- flash timing ----

TEST(TargetTiming, NoDelaysWithoutF1Timing) {
    Rig rig;
    rig.Sync();
    rig.Write(kBase, Bytes(256, 0x00));
    EXPECT_EQ(rig.LastDelayUs(), 0u);
    rig.ErasePages({0, 1});
    EXPECT_EQ(rig.LastDelayUs(), 0u);
}

sim::TargetConfig F1() {
    sim::TargetConfig c;
    c.f1Timing = true;
    return c;
}

TEST(TargetTiming, F1WriteWaits52AndAHalfMicrosecondsAHalfWord) {
    Rig rig(F1());
    rig.Sync();
    EXPECT_EQ(rig.Write(kBase, Bytes(256, 0x00)), Bytes{kAck});
    EXPECT_EQ(rig.LastDelayUs(), 6720u);  // 128 half-words
    EXPECT_EQ(rig.Write(kBase + 256, Bytes(5, 0x00)), Bytes{kAck});
    EXPECT_EQ(rig.LastDelayUs(), 158u);  // 3 half-words: 157.5 rounded up
}

TEST(TargetTiming, F1PageEraseWaits20MsAPage) {
    Rig rig(F1());
    rig.Sync();
    EXPECT_EQ(rig.ErasePages({0, 1, 2}), Bytes{kAck});
    EXPECT_EQ(rig.LastDelayUs(), 60000u);
}

TEST(TargetTiming, F1MassEraseWaits40Ms) {
    Rig rig(F1());
    rig.Sync();
    rig.Send(Cmd(0x43));
    EXPECT_EQ(rig.Send({0xFF, 0x00}), Bytes{kAck});
    EXPECT_EQ(rig.LastDelayUs(), 40000u);
}

TEST(TargetTiming, DelayComesBeforeTheAckNotTheCommandAck) {
    Rig rig(F1());
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x43)), Bytes{kAck});
    EXPECT_EQ(rig.LastDelayUs(), 0u);
    rig.Send({0x00, 0x00});  // page 0, checksum not yet sent
    EXPECT_TRUE(rig.last.empty());
    rig.Send({0x00});
    ASSERT_EQ(rig.last.size(), 1u);
    EXPECT_EQ(rig.last[0].delayUs, 20000u);
    EXPECT_EQ(rig.last[0].bytes, Bytes{kAck});
}

// ---- configuration ----

TEST(TargetConfigCheck, RejectsPageSizeThatDoesNotDivideFlash) {
    sim::TargetConfig c;
    c.pageSize = 1000;
    std::string error;
    EXPECT_FALSE(sim::BootloaderTarget::CheckConfig(c, &error));
    EXPECT_FALSE(error.empty());
}

TEST(TargetConfigCheck, RejectsInitialContentsLargerThanFlash) {
    sim::TargetConfig c;
    c.flashKiB = 1;
    c.initialFlash.assign(1025, 0);
    std::string error;
    EXPECT_FALSE(sim::BootloaderTarget::CheckConfig(c, &error));
    c.initialFlash.resize(1024);
    EXPECT_TRUE(sim::BootloaderTarget::CheckConfig(c, &error));
}

}  // namespace
