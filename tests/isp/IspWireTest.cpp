// The bootloader client against the simulated target: the exact bytes on the wire and
// the realistic flows, on the simulated link and its clock.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Chips.h"
#include "IspProtocol.h"
#include "IspTestSupport.h"
#include "SimLink.h"

namespace {

using namespace isptest;

constexpr uint32_t kFlashBase = 0x08000000;

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

uint8_t XorOf(const Bytes& bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum ^= b;
    return sum;
}

class IspWireTest : public ::testing::Test {
protected:
    // A new target, wired as given, on the open link.
    void StartTarget(sim::TargetConfig config, const ResetWiring& wiring = {}, int baud = 115200) {
        target = AddTarget(config);
        ASSERT_NE(target, nullptr);
        target->SetResetWiring(wiring);
        ASSERT_EQ(isp.Open(target->Name(), baud), 1);
    }

    SimTarget* AddTarget(const sim::TargetConfig& config) {
        std::string error;
        SimTarget* added = link.AddTarget("board" + std::to_string(++targets), config, &error);
        EXPECT_NE(added, nullptr) << error;
        return added;
    }

    // Opens, syncs and fetches the command table; the wire log starts empty afterwards.
    void Connect(sim::TargetConfig config) {
        StartTarget(config);
        ASSERT_EQ(isp.ResetAndSync(), 1);
        ASSERT_EQ(isp.GetCommands(), 1);
        target->ClearLog();
    }

    static sim::TargetConfig Config(uint8_t eraseCmd = 0x43) {
        sim::TargetConfig config;
        config.eraseCmd = eraseCmd;
        return config;
    }

    // For checks that nothing more went out: the host bytes once even the longest send
    // would have crossed the wire.
    Bytes HostBytesOnceTheWireIsIdle() {
        link.SleepMs(200);
        return target->HostBytes();
    }

    CSimLink link;
    CIspProtocol isp{link};
    SimTarget* target = nullptr;
    int targets = 0;
    const uint64_t bt = CSimLink::ByteUsAt(115200);  // one byte on the wire
};

// --- connecting ---

TEST_F(IspWireTest, ConnectSendsSyncThenGetAndFillsTable) {
    StartTarget(Config(0x44));
    EXPECT_EQ(isp.ResetAndSync(), 1);
    EXPECT_EQ(isp.GetCommands(), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x7F, 0x00, 0xFF}));
    EXPECT_EQ(isp.Version(), 0x22);
    EXPECT_EQ(CommandTable(isp), StandardCodes(0x44));
    EXPECT_FALSE(link.Armed());
}

TEST_F(IspWireTest, SilentTargetGetsFiveSyncBytesAndFailsAfter700Ms) {
    sim::TargetConfig config = Config();
    config.faults = {"silent"};
    StartTarget(config);
    int result = -1;
    const uint64_t took = TookUs(link, [&] { result = isp.ResetAndSync(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(target->HostBytes(), Bytes(5, 0x7F));
    EXPECT_EQ(took, 700000u);  // the pulse and pause, then five windows of 100 ms
    EXPECT_FALSE(link.Armed());
}

TEST_F(IspWireTest, GetListingTwelveCodesIsRefusedAndOldTableKept) {
    Connect(Config(0x44));
    const Bytes before = CommandTable(isp);

    // The same client moves to another port, where a bootloader lists 12 codes.
    sim::TargetConfig config = Config(0x43);
    config.blVersion = 0x31;
    config.faults = {"get12"};
    SimTarget* other = AddTarget(config);
    ASSERT_NE(other, nullptr);
    isp.Close();
    ASSERT_EQ(isp.Open(other->Name(), 115200), 1);
    ASSERT_EQ(isp.ResetAndSync(), 1);
    EXPECT_EQ(isp.GetCommands(), 0);
    EXPECT_EQ(other->HostBytes(), Bytes({0x7F, 0x00, 0xFF}));
    EXPECT_EQ(CommandTable(isp), before);
    EXPECT_EQ(isp.Version(), 0x22);
    isp.Close();
}

TEST_F(IspWireTest, LongerGetIsAcceptedWhenAllowedWithTheEraseCodeFromTheList) {
    sim::TargetConfig config = Config(0x43);
    config.faults = {"get12"};
    StartTarget(config);
    isp.SetAcceptLongerGet(true);
    ASSERT_EQ(isp.ResetAndSync(), 1);
    EXPECT_EQ(isp.GetCommands(), 1);
    EXPECT_EQ(isp.ListedCount(), 12);
    EXPECT_EQ(isp.Listed()[11], 0xA1);
    EXPECT_EQ(isp.Command(CIspProtocol::SlotErase), 0x43);
}

TEST_F(IspWireTest, ShortGetReplyIsNotResentAndFailsWhenWindowEnds) {
    sim::TargetConfig config = Config();
    config.faults = {"short:get:10"};
    StartTarget(config);
    ASSERT_EQ(isp.ResetAndSync(), 1);
    target->ClearLog();
    int result = -1;
    const uint64_t took = TookUs(link, [&] { result = isp.GetCommands(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(HostBytesOnceTheWireIsIdle(), Bytes({0x00, 0xFF}));
    EXPECT_EQ(took, 300000u);
}

TEST_F(IspWireTest, ClosedPortFailsByTimeoutWithoutSending) {
    Connect(Config());
    isp.Close();
    target->ClearLog();
    int result = -1;
    const uint64_t took = TookUs(link, [&] { result = isp.GetCommands(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(took, 5 * 300000u);
    EXPECT_TRUE(target->HostBytes().empty());
}

// --- information commands ---

TEST_F(IspWireTest, GetVersionSendsSlotOneCodeAndReturnsVersionAndOptionBytes) {
    sim::TargetConfig config = Config();
    config.blVersion = 0x31;
    Connect(config);
    unsigned char out[3] = {0xAA, 0xAA, 0xAA};
    EXPECT_EQ(isp.GetVersionAndProtection(out), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x01, 0xFE}));
    EXPECT_EQ(Bytes(out, out + 3), Bytes({0x31, 0x00, 0x00}));
}

TEST_F(IspWireTest, GetChipIdSendsSlotTwoCodeAndReturnsIdHighByteFirst) {
    sim::TargetConfig config = Config();
    config.pid = 0x0413;
    Connect(config);
    unsigned char out[2] = {0, 0};
    EXPECT_EQ(isp.GetChipId(out), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x02, 0xFD}));
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(out[1], 0x13);
}

// --- Read Memory ---

TEST_F(IspWireTest, ReadMemoryOf256SendsCountFF00AndReturnsFlash) {
    sim::TargetConfig config = Config();
    config.initialFlash = Pattern(1024, 0x30);
    Connect(config);
    Bytes out(256, 0);
    EXPECT_EQ(isp.ReadMemory(kFlashBase + 0x100, 256, out.data()), 1);
    EXPECT_EQ(target->HostBytes(),
              Concat({{0x11, 0xEE}, Address(kFlashBase + 0x100), {0xFF, 0x00}}));
    EXPECT_EQ(out, Bytes(config.initialFlash.begin() + 0x100, config.initialFlash.begin() + 0x200));
    EXPECT_FALSE(link.Armed());
}

TEST_F(IspWireTest, ReadMemoryOfOneByteSendsCount00FF) {
    sim::TargetConfig config = Config();
    config.initialFlash = Pattern(16, 0x90);
    Connect(config);
    unsigned char out = 0;
    EXPECT_EQ(isp.ReadMemory(kFlashBase + 3, 1, &out), 1);
    EXPECT_EQ(target->HostBytes(), Concat({{0x11, 0xEE}, Address(kFlashBase + 3), {0x00, 0xFF}}));
    EXPECT_EQ(out, config.initialFlash[3]);
}

TEST_F(IspWireTest, ReadMemoryOutOfRangeLengthSendsNothingAndLeavesRing) {
    Connect(Config());
    unsigned char out[4];
    ASSERT_EQ(isp.GetChipId(out), 1);  // leaves a reply in the ring
    target->ClearLog();
    const int countBefore = link.Count();
    Bytes big(300, 0);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 0, big.data()), 0);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 257, big.data()), 0);
    EXPECT_TRUE(HostBytesOnceTheWireIsIdle().empty());
    EXPECT_EQ(link.Count(), countBefore);
    EXPECT_FALSE(link.Armed());
}

// --- Write Memory ---

TEST_F(IspWireTest, WriteMemoryOfFiveBytesSendsBlockPaddedToEight) {
    Connect(Config());
    const Bytes data = {0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(isp.WriteMemory(kFlashBase, 5, data.data()), 1);
    Bytes block = {0x07, 0x11, 0x22, 0x33, 0x44, 0x55, 0xFF, 0xFF, 0xFF};
    block.push_back(XorOf(block));
    EXPECT_EQ(target->HostBytes(), Concat({{0x31, 0xCE}, Address(kFlashBase), block}));
    const Bytes flash = target->Flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 8),
              Bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0xFF, 0xFF, 0xFF}));
}

TEST_F(IspWireTest, WriteMemoryOf256BytesSends258ByteBlockStartingWithFF) {
    Connect(Config());
    const Bytes data = Pattern(256, 0x01);
    const uint32_t address = kFlashBase + 0x400;
    EXPECT_EQ(isp.WriteMemory(address, 256, data.data()), 1);
    const Bytes wire = target->HostBytes();
    ASSERT_EQ(wire.size(), 2u + 5u + 258u);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 7), Concat({{0x31, 0xCE}, Address(address)}));
    EXPECT_EQ(wire[7], 0xFF);
    EXPECT_EQ(Bytes(wire.begin() + 8, wire.begin() + 8 + 256), data);
    EXPECT_EQ(wire.back(), XorOf(Bytes(wire.begin() + 7, wire.end() - 1)));
    const Bytes flash = target->Flash();
    EXPECT_EQ(Bytes(flash.begin() + 0x400, flash.begin() + 0x500), data);
}

TEST_F(IspWireTest, WriteMemoryOutOfRangeLengthSendsNothing) {
    Connect(Config());
    const Bytes data(300, 0x12);
    EXPECT_EQ(isp.WriteMemory(kFlashBase, 0, data.data()), 0);
    EXPECT_EQ(isp.WriteMemory(kFlashBase, 257, data.data()), 0);
    EXPECT_TRUE(HostBytesOnceTheWireIsIdle().empty());
}

TEST_F(IspWireTest, WriteRefusedAtItsAddressFailsAtOnceWithoutSendingBlock) {
    sim::TargetConfig config = Config();
    config.faults = {"nack:write@0x08000100"};
    Connect(config);
    const Bytes data = Pattern(8, 0x40);
    int result = -1;
    const uint64_t took =
        TookUs(link, [&] { result = isp.WriteMemory(kFlashBase + 0x100, 8, data.data()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(took, (2 + 1 + 5 + 1) * bt);  // command, ACK, address, NACK on the wire
    EXPECT_EQ(HostBytesOnceTheWireIsIdle(), Concat({{0x31, 0xCE}, Address(kFlashBase + 0x100)}));
    EXPECT_FALSE(link.Armed());
}

// --- Erase ---

TEST_F(IspWireTest, EraseWholeFlashBasicFormSendsFF00) {
    sim::TargetConfig config = Config(0x43);
    config.initialFlash = Bytes(4096, 0x00);
    Connect(config);
    EXPECT_EQ(isp.Erase(0, 0xFFFF), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x43, 0xBC, 0xFF, 0x00}));
    EXPECT_EQ(target->Flash()[0], 0xFF);
    EXPECT_EQ(target->Flash()[4095], 0xFF);
}

TEST_F(IspWireTest, EraseWholeFlashExtendedFormSendsFFFF00) {
    sim::TargetConfig config = Config(0x44);
    config.initialFlash = Bytes(4096, 0x00);
    Connect(config);
    EXPECT_EQ(isp.Erase(0, 0xFFFF), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x44, 0xBB, 0xFF, 0xFF, 0x00}));
    EXPECT_EQ(target->Flash()[2048], 0xFF);
}

TEST_F(IspWireTest, ErasePageFiveBasicFormErasesOnlyThatPage) {
    sim::TargetConfig config = Config(0x43);
    config.initialFlash = Bytes(8 * 1024, 0x00);
    Connect(config);
    EXPECT_EQ(isp.Erase(5, 1), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x43, 0xBC, 0x00, 0x05, 0x05}));
    const Bytes flash = target->Flash();
    EXPECT_EQ(flash[5 * 1024], 0xFF);
    EXPECT_EQ(flash[6 * 1024 - 1], 0xFF);
    EXPECT_EQ(flash[5 * 1024 - 1], 0x00);
    EXPECT_EQ(flash[6 * 1024], 0x00);
}

TEST_F(IspWireTest, ErasePageFiveExtendedFormSendsTwoBytePageNumbers) {
    sim::TargetConfig config = Config(0x44);
    config.initialFlash = Bytes(8 * 1024, 0x00);
    Connect(config);
    EXPECT_EQ(isp.Erase(5, 1), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x44, 0xBB, 0x00, 0x00, 0x00, 0x05, 0x05}));
    EXPECT_EQ(target->Flash()[5 * 1024], 0xFF);
    EXPECT_EQ(target->Flash()[4 * 1024], 0x00);
}

TEST_F(IspWireTest, EraseThreePagesFromZeroBasicFormListsPages) {
    Connect(Config(0x43));
    EXPECT_EQ(isp.Erase(0, 3), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x43, 0xBC, 0x02, 0x00, 0x01, 0x02, 0x01}));
}

TEST_F(IspWireTest, EraseThreePagesFromZeroExtendedFormListsPages) {
    Connect(Config(0x44));
    EXPECT_EQ(isp.Erase(0, 3), 1);
    EXPECT_EQ(target->HostBytes(),
              Bytes({0x44, 0xBB, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01}));
}

TEST_F(IspWireTest, EraseWithUnofferedEraseCodeSendsNothing) {
    sim::TargetConfig config = Config();
    config.faults = {"erase-code:0x55"};
    Connect(config);
    ASSERT_EQ(isp.Command(CIspProtocol::SlotErase), 0x55);
    EXPECT_EQ(isp.Erase(0, 0xFFFF), 0);
    EXPECT_EQ(isp.Erase(5, 1), 0);
    EXPECT_TRUE(HostBytesOnceTheWireIsIdle().empty());
}

TEST_F(IspWireTest, EraseFormNotOfferedOrReservedCountSendsNothing) {
    Connect(Config(0x44));
    EXPECT_EQ(isp.EraseExtended(0, 0xFFF5), 0);
    EXPECT_EQ(isp.EraseExtended(0, 0), 0);
    EXPECT_EQ(isp.EraseBasic(0, 1), 0);  // the bootloader offers only the extended form
    EXPECT_TRUE(HostBytesOnceTheWireIsIdle().empty());
}

TEST_F(IspWireTest, BasicEraseRefusesPagesAboveTwoFiftyFiveButNotTheWholeFlash) {
    Connect(Config(0x43));
    EXPECT_EQ(isp.Erase(256, 1), 0);  // its low byte would name page 0
    EXPECT_EQ(isp.Erase(254, 3), 0);  // runs past page 255
    EXPECT_EQ(isp.Erase(0, 256), 0);
    EXPECT_TRUE(HostBytesOnceTheWireIsIdle().empty());
    EXPECT_EQ(isp.Erase(0, 0xFFFF), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x43, 0xBC, 0xFF, 0x00}));
}

// 255 pages are a list (N = 0xFE), not the whole flash: page 0 keeps its bytes.
TEST_F(IspWireTest, BasicEraseOfTwoFiftyFivePagesListsThem) {
    sim::TargetConfig config;
    config.SetChip(*chips::FindChipByKey("f103hd"));
    config.initialFlash.assign(2048, 0x5A);
    Connect(config);
    EXPECT_EQ(isp.Erase(1, 255), 1);
    const Bytes sent = target->HostBytes();
    ASSERT_EQ(sent.size(), 2u + 1 + 255 + 1);
    EXPECT_EQ(sent[2], 0xFE);
    EXPECT_EQ(sent[3], 0x01);
    EXPECT_EQ(sent[257], 0xFF);
    EXPECT_EQ(target->Flash()[0], 0x5A);
}

// --- Go ---

TEST_F(IspWireTest, GoAnsweredByLoneAckSucceedsWhenWindowEnds) {
    Connect(Config());
    int result = -1;
    const uint64_t took = TookUs(link, [&] { result = isp.Go(kFlashBase); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(target->HostBytes(), Concat({{0x21, 0xDE}, Address(kFlashBase)}));
    EXPECT_EQ(took, 3 * bt + 200000);  // the address's whole window, from its send
}

TEST_F(IspWireTest, GoAnsweredByAckThenNackFailsAtOnce) {
    sim::TargetConfig config = Config();
    config.faults = {"reply:go:79,1F"};
    Connect(config);
    int result = -1;
    const uint64_t took = TookUs(link, [&] { result = isp.Go(kFlashBase); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(took, (2 + 1 + 5 + 2) * bt);  // ends with the NACK
}

// --- a whole programming pass ---

TEST_F(IspWireTest, EraseWriteAndReadBackOfAPageMatches) {
    sim::TargetConfig config = Config(0x44);
    config.f1Timing = true;
    Connect(config);
    const Bytes page = Pattern(1024, 0x5C);
    ASSERT_EQ(isp.Erase(2, 1), 1);
    for (int block = 0; block < 4; ++block) {
        ASSERT_EQ(
            isp.WriteMemory(kFlashBase + 2 * 1024 + block * 256, 256, page.data() + block * 256), 1)
            << block;
    }
    Bytes back(1024, 0);
    for (int block = 0; block < 4; ++block) {
        ASSERT_EQ(
            isp.ReadMemory(kFlashBase + 2 * 1024 + block * 256, 256, back.data() + block * 256), 1)
            << block;
    }
    EXPECT_EQ(back, page);
    EXPECT_FALSE(link.Armed());
}

// --- reset lines, trace, a device that goes away ---

TEST_F(IspWireTest, ResetPulseDrivesTheWiredLinesInOrderAndSyncs) {
    using W = ResetWiring;
    using Calls = std::vector<std::pair<std::string, bool>>;
    // The target's reset pin is wired as the client drives it.
    const struct {
        W wiring;
        Calls calls;  // reset asserted, boot to bootloader, reset released
    } cases[] = {
        {{}, {{"DTR", true}, {"RTS", false}, {"DTR", false}}},
        {{W::Rts, W::Dtr}, {{"RTS", true}, {"DTR", false}, {"RTS", false}}},
        {{W::Dtr, W::Rts, true}, {{"DTR", false}, {"RTS", false}, {"DTR", true}}},
        {{W::Dtr, W::Rts, false, true}, {{"DTR", true}, {"RTS", true}, {"DTR", false}}},
        {{W::None, W::Rts}, {}},
        {{W::Dtr, W::None}, {{"DTR", true}, {"DTR", false}}},
    };
    Calls calls;
    isp.SetLineObserver([&](const char* line, bool level) { calls.emplace_back(line, level); });
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        isp.Close();
        calls.clear();
        StartTarget(Config(), c.wiring);
        ASSERT_TRUE(isp.SetResetWiring(c.wiring));
        const size_t changesBefore = link.LineLog().size();
        const uint64_t start = link.NowUs();
        int result = -1;
        EXPECT_EQ(TookUs(link, [&] { result = isp.ResetAndSync(); }), 200000 + 2 * bt);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(target->LineResets(), c.wiring.reset == W::None ? 0 : 1);
        // Asserted (with the boot line) after 50 ms, released 100 ms later.
        const std::vector<SimLineChange> changes(link.LineLog().begin() + changesBefore,
                                                 link.LineLog().end());
        ASSERT_EQ(changes.size(), c.calls.size());
        for (size_t i = 0; i < changes.size(); ++i) {
            EXPECT_EQ(changes[i].us - start, i + 1 < changes.size() ? 50000u : 150000u) << i;
        }
    }
    EXPECT_FALSE(isp.SetResetWiring({W::Rts, W::Rts}));
    EXPECT_EQ(isp.GetResetWiring().boot, W::None);  // the last accepted is kept
}

TEST_F(IspWireTest, GetVersionTracesTheCommandThenItsFiveReplyBytes) {
    Connect(Config());
    std::vector<std::pair<bool, Bytes>> traced;
    isp.SetTrace([&](bool fromHost, const unsigned char* bytes, int count) {
        traced.emplace_back(fromHost, Bytes(bytes, bytes + count));
    });
    unsigned char out[3];
    ASSERT_EQ(isp.GetVersionAndProtection(out), 1);
    const std::vector<std::pair<bool, Bytes>> expected = {{true, {0x01, 0xFE}},
                                                          {false, {ACK, 0x22, 0x00, 0x00, ACK}}};
    EXPECT_EQ(traced, expected);
}

TEST_F(IspWireTest, UnplugMidReadFailsAtOnceAndAFreshOpenAfterReplugWorks) {
    sim::TargetConfig config = Config();
    config.faults = {"stall:read:10:30000*1"};  // the data window alone would be 10.28 s
    StartTarget(config, {}, 9600);
    ASSERT_EQ(isp.ResetAndSync(), 1);
    ASSERT_EQ(isp.GetCommands(), 1);
    target->ClearLog();
    // 100 ms on, the read's reply has stalled after its first ten bytes.
    link.At(link.NowUs() + 100000, [&] { target->Unplug(); });
    Bytes out(256);
    int result = -1;
    const uint64_t took =
        TookUs(link, [&] { result = isp.ReadMemory(kFlashBase, 256, out.data()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(target->TargetBytes().size(), 2u + 10u);  // ACK, ACK, ten of the reply
    EXPECT_EQ(took, 100000u);
    EXPECT_TRUE(isp.DeviceGone());
    // While gone nothing waits: sync and Get alone have 2.2 s of windows.
    EXPECT_EQ(TookUs(link, [&] { EXPECT_EQ(isp.ResetAndSync() + isp.GetCommands(), 0); }), 0u);

    target->Replug();
    ASSERT_EQ(isp.Open(target->Name(), 9600), 1);
    EXPECT_FALSE(isp.DeviceGone());
    ASSERT_EQ(isp.ResetAndSync(), 1);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 256, out.data()), 1);
}

// --- protection commands and resync ---

// Each protection command goes out as its code and complement and is answered by two ACKs;
// the chip then resets, so a sync is ACKed again.
TEST_F(IspWireTest, ProtectionCommandsAreAnsweredByTwoAcksThenWaitForSync) {
    const struct {
        int (*command)(CIspProtocol&);
        uint8_t code;
        bool protectedBefore;
    } commands[] = {{[](CIspProtocol& p) { return p.ReadoutUnprotect(0); }, 0x92, true},
                    {[](CIspProtocol& p) { return p.WriteUnprotect(); }, 0x73, false},
                    {[](CIspProtocol& p) { return p.ReadoutProtect(); }, 0x82, false}};
    for (const auto& c : commands) {
        sim::TargetConfig config = Config();
        config.readoutProtected = c.protectedBefore;
        Connect(config);
        EXPECT_EQ(c.command(isp), 1) << int{c.code};
        EXPECT_EQ(target->HostBytes(), Bytes({c.code, static_cast<uint8_t>(c.code ^ 0xFF)}));
        EXPECT_EQ(target->TargetBytes(), Bytes({ACK, ACK}));
        target->ClearLog();
        EXPECT_EQ(isp.Resync(), 1);
        EXPECT_EQ(target->HostBytes(), Bytes({0x7F}));
        isp.Close();
    }
}

// The second ACK of a read-out unprotect comes after a mass erase (1.7 s on this chip): it is
// awaited for the erase's worst case, or only the usual window without one.
TEST_F(IspWireTest, ReadoutUnprotectAwaitsTheMassEraseForItsSecondAck) {
    for (const unsigned long waitMs : {4000ul, 0ul}) {
        sim::TargetConfig config;
        config.SetChip(*chips::FindChipByKey("l152"));
        config.chipTiming = true;
        Connect(config);
        EXPECT_EQ(isp.ReadoutUnprotect(waitMs), waitMs != 0 ? 1 : 0) << waitMs;
        EXPECT_EQ(HostBytesOnceTheWireIsIdle(), Bytes({0x92, 0x6D})) << "never resent";
        isp.Close();
    }
}

// Resync after a refused command: the bootloader waits for a command, takes the first 0x7F
// as one and NACKs the second; the next command then goes through.
TEST_F(IspWireTest, ResyncAfterARefusedWriteIsNackedAndTheWriteThenGoesThrough) {
    sim::TargetConfig config = Config();
    config.faults = {"nack:write@0x08000100*1"};
    Connect(config);
    const Bytes data = Pattern(8, 0x40);
    ASSERT_EQ(isp.WriteMemory(kFlashBase + 0x100, 8, data.data()), 0);
    target->ClearLog();
    EXPECT_EQ(isp.Resync(), 1);
    EXPECT_EQ(target->HostBytes(), Bytes({0x7F, 0x7F}));
    EXPECT_EQ(target->TargetBytes(), Bytes({NACK}));
    EXPECT_FALSE(link.Armed());
    EXPECT_EQ(isp.WriteMemory(kFlashBase + 0x100, 8, data.data()), 1);
    const Bytes flash = target->Flash();
    EXPECT_EQ(Bytes(flash.begin() + 0x100, flash.begin() + 0x108), data);
}

// --- how a command ended ---

struct OutcomeCase {
    const char* name;
    std::vector<std::string> faults;
    int lineErrorAt;    // the n-th byte from the target after connecting has a parity error
    uint64_t stopAtUs;  // a stop is asked for this far into the command; 0: none
    int (*command)(CIspProtocol&);
    IspOutcome outcome;
};

int ReadSixteen(CIspProtocol& isp) {
    unsigned char out[16];
    return isp.ReadMemory(kFlashBase, 16, out);
}
int ChipId(CIspProtocol& isp) {
    unsigned char out[2];
    return isp.GetChipId(out);
}
int WriteFour(CIspProtocol& isp) {
    const unsigned char data[4] = {1, 2, 3, 4};
    return isp.WriteMemory(kFlashBase, 4, data);
}
int EraseAll(CIspProtocol& isp) { return isp.Erase(0, 0xFFFF); }

const OutcomeCase kOutcomes[] = {
    {"Done", {}, 0, 0, ReadSixteen, IspOutcome::Done},
    {"RefusedByNack", {"nack:write"}, 0, 0, WriteFour, IspOutcome::Refused},
    {"NoAnswerFromSilence", {"short:id:0"}, 0, 0, ChipId, IspOutcome::NoAnswer},
    {"MalformedReply", {"reply:id:79,02,04,10,79"}, 0, 0, ChipId, IspOutcome::Malformed},
    {"MalformedByLineError", {}, 4, 0, ReadSixteen, IspOutcome::Malformed},  // a data byte
    {"GoneByUnplug", {"unplug:5"}, 0, 0, EraseAll, IspOutcome::Gone},        // at the page block
    {"StoppedMidWait", {"delay:erase:500"}, 0, 100000, EraseAll, IspOutcome::Stopped},
};

class IspOutcomeTest : public IspWireTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(IspOutcomeTest, LastOutcomeSaysHowTheCommandEnded) {
    const OutcomeCase& c = GetParam();
    sim::TargetConfig config = Config();
    config.faults = c.faults;
    Connect(config);
    if (c.lineErrorAt != 0) target->InjectLineErrorAt(c.lineErrorAt);
    if (c.stopAtUs != 0) link.At(link.NowUs() + c.stopAtUs, [&] { isp.Stop(); });
    EXPECT_EQ(c.command(isp), c.outcome == IspOutcome::Done ? 1 : 0);
    EXPECT_EQ(isp.LastOutcome(), c.outcome) << IspOutcomeName(isp.LastOutcome());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, IspOutcomeTest, ::testing::ValuesIn(kOutcomes),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
