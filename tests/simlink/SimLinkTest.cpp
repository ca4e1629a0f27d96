// The simulated links' own rules: the clock, the pacing of the wire, the ring, the reset line
// and the ways a line goes away.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedLink.h"
#include "SimLink.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kT0 = CSimLinkBase::kStartUs;
constexpr uint64_t kForever = CSimLinkBase::kNever;

class SimLinkTest : public ::testing::Test {
protected:
    // An open line at 115200 baud to a target with the given faults, let out of reset.
    SimTarget& Open(std::vector<std::string> faults = {}, ResetWiring wiring = {}) {
        sim::TargetConfig config;
        config.faults = std::move(faults);
        std::string error;
        SimTarget* t = link.AddTarget("t" + std::to_string(++made), config, &error);
        EXPECT_NE(t, nullptr) << error;
        t->SetResetWiring(wiring);
        EXPECT_EQ(link.Open(t->Name(), 115200), 1);
        link.SetLine(LinkLine::Dtr, false);
        return *t;
    }
    void Send(const Bytes& bytes) { link.Send(bytes.data(), static_cast<int>(bytes.size())); }

    CSimLink link;
    int made = 0;
    const uint64_t bt = CSimLink::ByteUsAt(115200);  // 11 bits: 95.5 us
};

TEST_F(SimLinkTest, SyncCrossesInOneByteTimeAndItsAckInAnother) {
    SimTarget& t = Open();
    EXPECT_EQ(bt, 95u);
    link.Arm();
    Send({0x7F});
    EXPECT_EQ(link.WaitForCount(1, kForever), 1);
    EXPECT_EQ(link.NowUs(), kT0 + 2 * bt);
    ASSERT_EQ(t.WireLog().size(), 2u);
    EXPECT_EQ(t.WireLog()[0].usec, kT0 + bt);
    EXPECT_TRUE(t.WireLog()[0].fromHost);
    EXPECT_EQ(t.WireLog()[1].usec, kT0 + 2 * bt);
    EXPECT_EQ(t.WireLog()[1].value, 0x79);
}

TEST_F(SimLinkTest, WaitWithNothingComingEndsAtItsDeadlineAndTheClockNeverGoesBack) {
    Open();
    link.Arm();
    EXPECT_EQ(link.WaitForCount(1, kT0 + 5000), 0);
    EXPECT_EQ(link.NowUs(), kT0 + 5000);
    link.SleepUntilUs(kT0);
    EXPECT_EQ(link.WaitForCount(1, kT0 + 10), 0);
    EXPECT_EQ(link.NowUs(), kT0 + 5000);
}

// While the target waits out an output's delay it reads nothing: the Get sent right behind
// the sync is taken only once the late ACK is out.
TEST_F(SimLinkTest, TargetTakesNoByteWhileItServesADelay) {
    SimTarget& t = Open({"delay:sync:5"});
    link.Arm();
    Send({0x7F});
    Send({0x00, 0xFF});
    EXPECT_EQ(link.WaitForCount(16, kForever), 16);
    const uint64_t ackAt = kT0 + bt + 5000 + bt;
    const auto& log = t.WireLog();
    ASSERT_EQ(log.size(), 19u);
    EXPECT_EQ(log[1].usec, ackAt);
    EXPECT_EQ(log[2].usec, ackAt);  // 00 and FF had crossed long before
    EXPECT_EQ(log[3].usec, ackAt);
    EXPECT_EQ(link.NowUs(), ackAt + 15 * bt);
    EXPECT_EQ(t.DelayUs(), 5000u);
}

TEST_F(SimLinkTest, RingKeepsOnlyWhatArrivesWhileArmedUpToItsSize) {
    SimTarget& t = Open();
    Send({0x7F});
    link.SleepUntilUs(kT0 + 1000);  // the ACK came while disarmed
    link.Arm();
    EXPECT_EQ(link.WaitForCount(1, kT0 + 2000), 0);
    // Five reads of 256 bytes, 1295 bytes of reply: the ring keeps the first 1024.
    t.InjectLineErrorAt(3);
    for (int i = 0; i < 5; ++i) Send({0x11, 0xEE, 0x08, 0x00, 0x00, 0x00, 0x08, 0xFF, 0x00});
    link.SleepUntilUs(kT0 + 1000000);
    EXPECT_EQ(link.Count(), ILink::kRingSize);
    EXPECT_EQ(t.TargetBytes().size(), 1 + 5u * (3 + 256));
    EXPECT_EQ(link.LineErrors(), 1);
    link.Arm();
    EXPECT_EQ(link.LineErrors(), 0);
}

struct WiringCase {
    const char* name;
    ResetWiring wiring;
    bool answersAtOpen;  // with both lines raised by the open
    int lineResets;      // after DTR and RTS were each dropped and raised
};

const WiringCase kWirings[] = {
    {"DtrOnHolds", {}, false, 1},
    {"RtsOnHolds", {ResetWiring::Rts, ResetWiring::Dtr}, false, 1},
    {"DtrOffHolds", {ResetWiring::Dtr, ResetWiring::Rts, true}, true, 1},
    {"NoReset", {ResetWiring::None, ResetWiring::Rts}, true, 0},
};

class SimLinkWiringTest : public SimLinkTest, public ::testing::WithParamInterface<WiringCase> {};

TEST_P(SimLinkWiringTest, ResetLineHoldsTheTargetAsWired) {
    const WiringCase& c = GetParam();
    std::string error;
    SimTarget& t = *link.AddTarget("board", sim::TargetConfig(), &error);
    t.SetResetWiring(c.wiring);
    ASSERT_EQ(link.Open("board", 115200), 1);
    link.Arm();
    Send({0x7F});
    EXPECT_EQ(link.WaitForCount(1, kT0 + 1000), c.answersAtOpen ? 1 : 0);
    for (LinkLine line : {LinkLine::Dtr, LinkLine::Rts}) {
        link.SetLine(line, false);
        link.SetLine(line, true);
    }
    EXPECT_EQ(t.LineResets(), c.lineResets);
    EXPECT_EQ(link.LineLog().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Wirings, SimLinkWiringTest, ::testing::ValuesIn(kWirings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimLinkTest, CloseResetsTheTargetAndDropsWhatIsOnTheWire) {
    SimTarget& t = Open();
    Send({0x7F});
    link.Close();
    EXPECT_EQ(t.Resets(), 1);
    EXPECT_TRUE(t.HostBytes().empty());
    Send({0x7F});  // closed: dropped
    const Bytes tooLong(ILink::kMaxSend + 1, 0x7F);
    ASSERT_EQ(link.Open(t.Name(), 115200), 1);
    link.SetLine(LinkLine::Dtr, false);
    Send(tooLong);
    link.SleepUntilUs(kT0 + 1000000);
    EXPECT_TRUE(t.HostBytes().empty());
    EXPECT_EQ(link.Open("nobody", 115200), 0);
    EXPECT_EQ(link.LastOpenFailure(), OpenFailureNoDevice);
}

TEST_F(SimLinkTest, UnplugEndsWaitsAtOnceAndOpensFailUntilReplug) {
    SimTarget& t = Open({"unplug:2"});
    link.Arm();
    Send({0x7F, 0x00});
    EXPECT_EQ(link.WaitForCount(5, kForever), 1);
    EXPECT_EQ(link.NowUs(), kT0 + 2 * bt);
    EXPECT_TRUE(link.Gone());
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.WaitForCount(5, kForever), 1);
    EXPECT_EQ(link.Open(t.Name(), 115200), 0);
    t.Replug();
    EXPECT_EQ(link.Open(t.Name(), 115200), 1);
    EXPECT_FALSE(link.Gone());
}

TEST_F(SimLinkTest, InterruptAtAMomentEndsTheWaitThenAndLastsUntilOpen) {
    SimTarget& t = Open();
    link.Arm();
    link.At(kT0 + 700, [&] { link.Interrupt(); });
    EXPECT_EQ(link.WaitForCount(1, kT0 + 5000), 0);
    EXPECT_EQ(link.NowUs(), kT0 + 700);
    EXPECT_EQ(link.WaitForCount(1, kT0 + 5000), 0);
    EXPECT_EQ(link.NowUs(), kT0 + 700);
    ASSERT_EQ(link.Open(t.Name(), 115200), 1);
    EXPECT_FALSE(link.Interrupted());
}

TEST(ScriptedLinkTest, StepsAnswerTheirTriggersAfterTheirDelays) {
    CScriptedLink link({{{}, {{5, {0xAA}}}}, {{0x01, 0x02}, {{0, {0xBB}}, {10, {0xCC, 0xDD}}}}});
    ASSERT_EQ(link.Open("peer", 115200), 1);
    link.Arm();
    const unsigned char trigger[] = {0x00, 0x01, 0x02};
    link.Send(trigger, 3);
    EXPECT_EQ(link.StepsDone(), 2);
    EXPECT_EQ(link.WaitForCount(2, kForever), 2);
    EXPECT_EQ(link.NowUs(), kT0 + 5000);  // AA at 5 ms; BB at once, so before it
    EXPECT_EQ(link.ByteAt(0), 0xBB);
    EXPECT_EQ(link.WaitForCount(4, kForever), 4);
    EXPECT_EQ(link.NowUs(), kT0 + 10000);
    EXPECT_EQ(link.HostLog().back().usec, kT0);
}

}  // namespace
