// Injected faults, each producing one of the failures the host must survive.
#include <gtest/gtest.h>

#include "TargetRig.h"

namespace {

using namespace simtest;
using sim::kAck;
using sim::kNack;
using sim::kSync;

constexpr uint32_t kBase = 0x08000000;

TEST(TargetFaults, SilentTargetAnswersNothingAtAll) {
    Rig rig({}, {"silent"});
    EXPECT_TRUE(rig.Send({kSync, kSync, kSync}).empty());
    EXPECT_TRUE(rig.Send(Cmd(0x00)).empty());
}

TEST(TargetFaults, NackSyncRefusesEverySync) {
    Rig rig({}, {"nack:sync"});
    EXPECT_EQ(rig.Send({kSync}), Bytes{kNack});
    EXPECT_EQ(rig.Send({kSync}), Bytes{kNack});
    EXPECT_TRUE(rig.Send(Cmd(0x00)).empty());  // still not synchronised
}

TEST(TargetFaults, NackSyncOnFirstOccurrenceOnly) {
    Rig rig({}, {"nack:sync*1"});
    EXPECT_EQ(rig.Send({kSync}), Bytes{kNack});
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
}

TEST(TargetFaults, NackGetAnswersLoneNack) {
    Rig rig({}, {"nack:get"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x00)), Bytes{kNack});
    EXPECT_EQ(rig.Send(Cmd(0x02)).size(), 5u);  // other commands unaffected
}

TEST(TargetFaults, NackReadAtAddressHitsOnlyThatAddress) {
    Rig rig({}, {"nack:read@0x08004000"});
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase + 0x3F00, 256).size(), 257u);
    EXPECT_EQ(rig.Send(Cmd(0x11)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase + 0x4000)), Bytes{kNack});
    EXPECT_EQ(rig.Read(kBase + 0x4100, 256).size(), 257u);
}

TEST(TargetFaults, NackWriteAtAddressLeavesFlashUntouched) {
    Rig rig({}, {"nack:write@0x08000100"});
    rig.Sync();
    EXPECT_EQ(rig.Write(kBase, {0x00}), Bytes{kAck});
    EXPECT_EQ(rig.Send(Cmd(0x31)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase + 0x100)), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase + 0x100), 0xFF);
}

TEST(TargetFaults, NackEraseOfPageTwoOnly) {
    Rig rig(WithFlash(Bytes(4096, 0x00)), {"nack:erase@2"});
    rig.Sync();
    EXPECT_EQ(rig.ErasePages({1}), Bytes{kAck});
    EXPECT_EQ(rig.ErasePages({2}), Bytes{kNack});
    EXPECT_EQ(rig.FlashAt(kBase + 2048), 0x00);
    rig.Send(Cmd(0x43));
    EXPECT_EQ(rig.Send({0xFF, 0x00}), Bytes{kAck});  // a global erase lists no pages
}

TEST(TargetFaults, NackEraseRefusesTheCommandCode) {
    Rig rig({}, {"nack:erase"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x43)), Bytes{kNack});
}

TEST(TargetFaults, NackGoRefusesCommandAndTargetStaysInBootloader) {
    Rig rig({}, {"nack:go"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x21)), Bytes{kNack});
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::WaitCommand);
}

TEST(TargetFaults, ShortGetStopsAfterTenBytes) {
    Rig rig({}, {"short:get:10"});
    rig.Sync();
    const Bytes reply = rig.Send(Cmd(0x00));
    ASSERT_EQ(reply.size(), 10u);
    EXPECT_EQ(reply[1], 0x0B);
    EXPECT_EQ(rig.Send(Cmd(0x02)).size(), 5u);  // next command answered normally
}

TEST(TargetFaults, ShortVersionGivesFourBytes) {
    Rig rig({}, {"short:version:4"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x01)), (Bytes{kAck, 0x22, 0x00, 0x00}));
}

TEST(TargetFaults, ShortReadLeavesTheAckAlone) {
    Rig rig({}, {"short:read:1"});
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase, 256), Bytes{kAck});
}

TEST(TargetFaults, ShortWriteZeroLosesTheAckButProgramsFlash) {
    Rig rig({}, {"short:write:0"});
    rig.Sync();
    EXPECT_TRUE(rig.Write(kBase, {0x00}).empty());
    EXPECT_EQ(rig.FlashAt(kBase), 0x00);
}

TEST(TargetFaults, ExtraBytesFollowGetReply) {
    Rig rig({}, {"extra:get:79"});
    rig.Sync();
    const Bytes reply = rig.Send(Cmd(0x00));
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[14], kAck);
    EXPECT_EQ(reply[15], kAck);
}

TEST(TargetFaults, CorruptChangesReadReplyButNotFlash) {
    Rig rig(WithFlash({0x11, 0x22, 0x33}), {"corrupt:0x08000001"});
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase, 3), (Bytes{kAck, 0x11, 0xDD, 0x33}));
    EXPECT_EQ(rig.FlashAt(kBase + 1), 0x22);
    EXPECT_EQ(rig.Read(kBase + 2, 1), (Bytes{kAck, 0x33}));  // other blocks intact
}

TEST(TargetFaults, CorruptInsideA256ByteBlockHitsTheRightOffset) {
    Rig rig({}, {"corrupt:0x08000405"});
    rig.Sync();
    const Bytes reply = rig.Read(kBase + 0x400, 256);
    ASSERT_EQ(reply.size(), 257u);
    EXPECT_EQ(reply[1 + 5], 0x00);
    EXPECT_EQ(reply[1 + 4], 0xFF);
    EXPECT_EQ(reply[1 + 6], 0xFF);
}

TEST(TargetFaults, DelayAppliesToTheFinalReply) {
    Rig rig({}, {"delay:get:250"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x00)).size(), 15u);
    EXPECT_EQ(rig.LastDelayUs(), 250000u);
}

TEST(TargetFaults, DelayOfReadComesAfterTheAddressAck) {
    Rig rig({}, {"delay:read:300"});
    rig.Sync();
    rig.Send(Cmd(0x11));
    EXPECT_EQ(rig.LastDelayUs(), 0u);
    rig.Send(Addr(kBase));
    EXPECT_EQ(rig.LastDelayUs(), 0u);
    rig.Send({0x00, 0xFF});
    EXPECT_EQ(rig.LastDelayUs(), 300000u);
}

TEST(TargetFaults, Get12ListsTwelveCodes) {
    Rig rig({}, {"get12"});
    rig.Sync();
    const Bytes reply = rig.Send(Cmd(0x00));
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(reply[1], 0x0C);
    EXPECT_EQ(reply[14], 0xA1);
    EXPECT_EQ(reply[15], kAck);
}

TEST(TargetFaults, EraseCodeReplacesListedCodeAndTheOldOneIsRefused) {
    Rig rig({}, {"erase-code:0x45"});
    rig.Sync();
    const Bytes reply = rig.Send(Cmd(0x00));
    ASSERT_EQ(reply.size(), 15u);
    EXPECT_EQ(reply[9], 0x45);
    EXPECT_EQ(rig.Send(Cmd(0x43)), Bytes{kNack});
}

TEST(TargetFaults, ReplyReplacesGoAnswerAndTargetStillJumps) {
    Rig rig({}, {"reply:go:79,1F"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x21)), Bytes{kAck});
    EXPECT_EQ(rig.Send(Addr(kBase)), (Bytes{kAck, kNack}));
    EXPECT_EQ(rig.target.Phase(), sim::TargetPhase::Running);
}

TEST(TargetFaults, ReplyReplacesIdWithOtherCountByte) {
    Rig rig({}, {"reply:id:79,05,04,10,79"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x02)), (Bytes{kAck, 0x05, 0x04, 0x10, kAck}));
}

TEST(TargetFaults, ReplyCanAnswerReadCountWithLoneNack) {
    Rig rig({}, {"reply:read:1F"});
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase, 256), Bytes{kNack});
}

TEST(TargetFaults, OccurrenceLimitsFaultToKthMatch) {
    Rig rig({}, {"nack:write*2"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x31)), Bytes{kAck});
    rig.Send(Addr(kBase));
    rig.Send(WithXor({0x00, 0x00}));
    EXPECT_EQ(rig.Send(Cmd(0x31)), Bytes{kNack});
    EXPECT_EQ(rig.Send(Cmd(0x31)), Bytes{kAck});
}

TEST(TargetFaults, OccurrenceOfAddressedNackCountsOnlyThatAddress) {
    Rig rig({}, {"nack:read@0x08000100*2"});
    rig.Sync();
    EXPECT_EQ(rig.Read(kBase, 1).size(), 2u);
    EXPECT_EQ(rig.Read(kBase + 0x100, 1).size(), 2u);  // first match: passes
    EXPECT_EQ(rig.Read(kBase, 1).size(), 2u);
    rig.Send(Cmd(0x11));
    EXPECT_EQ(rig.Send(Addr(kBase + 0x100)), Bytes{kNack});  // second match
}

TEST(TargetFaults, UnplugFiresOnTheNthHostByte) {
    Rig rig({}, {"unplug:3"});
    rig.Sync();
    rig.Send({0x00});
    EXPECT_FALSE(rig.target.UnplugDue());
    EXPECT_TRUE(rig.Send({0xFF}).empty());  // third byte: the line is gone, no reply
    EXPECT_TRUE(rig.target.UnplugDue());
}

TEST(TargetFaults, UnplugCountStartsAgainOnEachLine) {
    Rig rig({}, {"unplug:2"});
    rig.Send({kSync, kSync});
    EXPECT_TRUE(rig.target.UnplugDue());
    rig.target.Replugged();
    EXPECT_FALSE(rig.target.UnplugDue());
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
    rig.Send({0x00});
    EXPECT_TRUE(rig.target.UnplugDue());
}

TEST(TargetFaults, UnplugWithOccurrenceFiresOnlyOnThatLine) {
    Rig rig({}, {"unplug:1*1"});
    rig.Send({kSync});
    EXPECT_TRUE(rig.target.UnplugDue());
    rig.target.Replugged();
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
    EXPECT_FALSE(rig.target.UnplugDue());
}

TEST(TargetFaults, ResetDoesNotRestartOccurrenceCount) {
    Rig rig({}, {"nack:sync*1"});
    EXPECT_EQ(rig.Send({kSync}), Bytes{kNack});
    rig.target.Reset();
    EXPECT_EQ(rig.Send({kSync}), Bytes{kAck});
}

}  // namespace

namespace {

using namespace simtest;

TEST(TargetLateFaults, ExtraWithMillisecondsComesAsALaterPiece) {
    Rig rig({}, {"extra:get:79,79:400"});
    rig.Sync();
    rig.Send(Cmd(0x00));
    ASSERT_EQ(rig.last.size(), 2u);
    EXPECT_EQ(rig.last[0].bytes.size(), 15u);
    EXPECT_EQ(rig.last[0].delayUs, 0u);
    EXPECT_EQ(rig.last[1].delayUs, 400000u);
    EXPECT_EQ(rig.last[1].bytes, (Bytes{0x79, 0x79}));
}

TEST(TargetLateFaults, StallSplitsReadReplyAfterTheAck) {
    Rig rig(WithFlash({0x01, 0x02, 0x03}), {"stall:read:1:500"});
    rig.Sync();
    EXPECT_EQ(rig.Read(0x08000000, 3), (Bytes{0x79, 0x01, 0x02, 0x03}));
    ASSERT_EQ(rig.last.size(), 2u);
    EXPECT_EQ(rig.last[0].bytes, Bytes{0x79});
    EXPECT_EQ(rig.last[0].delayUs, 0u);
    EXPECT_EQ(rig.last[1].bytes, (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(rig.last[1].delayUs, 500000u);
}

TEST(TargetLateFaults, StallBeyondTheReplyChangesNothing) {
    Rig rig({}, {"stall:version:5:500"});
    rig.Sync();
    rig.Send(Cmd(0x01));
    ASSERT_EQ(rig.last.size(), 1u);
    EXPECT_EQ(rig.last[0].delayUs, 0u);
}

TEST(TargetLateFaults, DelayAndStallAddUp) {
    Rig rig({}, {"delay:id:100", "stall:id:2:200"});
    rig.Sync();
    EXPECT_EQ(rig.Send(Cmd(0x02)).size(), 5u);
    ASSERT_EQ(rig.last.size(), 2u);
    EXPECT_EQ(rig.last[0].delayUs, 100000u);
    EXPECT_EQ(rig.last[0].bytes.size(), 2u);
    EXPECT_EQ(rig.last[1].delayUs, 200000u);
}

}  // namespace
