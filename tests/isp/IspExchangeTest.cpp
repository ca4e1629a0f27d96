// The bootloader client's waits, resends and judgements, against a scripted peer that
// answers exact bytes at exact moments.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "IspProtocol.h"
#include "IspTestSupport.h"
#include "PtyPeer.h"
#include "RxRing.h"
#include "SerialLink.h"
#include "SerialPort.h"

namespace {

using namespace isptest;
using testsupport::CountOccurrences;
using testsupport::ScriptedPeer;
using testsupport::ScriptStep;

constexpr uint32_t kFlashBase = 0x08000000;
const Bytes kGet = {0x00, 0xFF};

class IspExchangeTest : public ::testing::Test {
protected:
    void Serve(std::vector<ScriptStep> script) {
        peer = std::make_unique<ScriptedPeer>(std::move(script));
        ASSERT_TRUE(peer->Start());
        link.CreatePort();
        ASSERT_EQ(isp.Open(peer->SlavePath(), 115200), 1);
    }

    // A script that first answers Get with the usual table, then goes on with rest.
    void ServeAfterGet(std::vector<ScriptStep> rest) {
        std::vector<ScriptStep> script = {{kGet, {{0, GetReply(0x22, StandardCodes(0x43))}}}};
        script.insert(script.end(), rest.begin(), rest.end());
        Serve(script);
        ASSERT_EQ(isp.GetCommands(), 1);
    }

    Bytes HostBytesAfterGet() {
        const Bytes all = peer->HostBytes();
        return Bytes(all.begin() + kGet.size(), all.end());
    }

    std::unique_ptr<ScriptedPeer> peer;  // outlives the client's port
    CSerialLink link{g_rxRing};
    CIspProtocol isp{link};
};

// --- sync ---

TEST_F(IspExchangeTest, SyncAgainstSilenceSendsFiveSyncBytes100MsApart) {
    Serve({});
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.ResetAndSync(); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, 690ul);
    EXPECT_LT(took, 1200ul);
    const auto log = peer->HostLog();
    ASSERT_EQ(log.size(), 5u);
    for (const auto& b : log) EXPECT_EQ(b.value, 0x7F);
    // Four windows lie between the first and the last; the peer's own reads may lag a
    // little on a loaded machine, so the bound is generous.
    EXPECT_GE(log[4].usec - log[0].usec, 300000u);
    EXPECT_TRUE(RingDisarmed());
}

TEST_F(IspExchangeTest, SyncAnsweredByNackFailsAtOnce) {
    Serve({{{0x7F}, {{0, {NACK}}}}});
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.ResetAndSync(); });
    EXPECT_EQ(result, 0);
    // 200 ms of reset pulse and pause, then no waiting for the 100 ms window.
    EXPECT_GE(took, 195ul);
    EXPECT_LT(took, 290ul);
    EXPECT_EQ(peer->HostBytes(), Bytes({0x7F}));
}

TEST_F(IspExchangeTest, SyncJudgesByteThatArrivedDuringPause) {
    // The answer comes between arming (150 ms) and the sync byte (200 ms): the ring is
    // not emptied before the stage, so it counts, and no second sync byte is needed.
    Serve({});
    const auto start = std::chrono::steady_clock::now();
    std::thread early([&] {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(185));
        peer->Inject({ACK});
    });
    const int result = isp.ResetAndSync();
    early.join();
    EXPECT_EQ(result, 1);
    // The ACK was in before the sync byte went out: let that byte reach the peer.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(peer->HostBytes(), Bytes({0x7F}));
}

// --- Get ---

TEST_F(IspExchangeTest, GetAgainstSilenceIsSentFiveTimes) {
    Serve({});
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.GetCommands(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CountOccurrences(peer->HostBytes(), kGet), 5);
    EXPECT_GE(took, 1490ul);
    EXPECT_LT(took, 2200ul);
}

TEST_F(IspExchangeTest, GetAnsweredByLoneNackFailsAtOnce) {
    Serve({{kGet, {{0, {NACK}}}}});
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.GetCommands(); });
    EXPECT_EQ(result, 0);
    EXPECT_LT(took, 200ul);
    EXPECT_EQ(peer->HostBytes(), kGet);
}

TEST_F(IspExchangeTest, GetReplyStoppingAfterTenBytesFailsWhenItsWindowEnds) {
    // The first window passes in silence (one resend), then ten bytes arrive.
    const Bytes full = GetReply(0x22, StandardCodes(0x43));
    Serve({{kGet, {{350, Bytes(full.begin(), full.begin() + 10)}}}});
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.GetCommands(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CountOccurrences(peer->HostBytes(), kGet), 2);
    // Ends with the second window: 600 ms after the first send.
    EXPECT_GE(took, 590ul);
    EXPECT_LT(took, 900ul);
}

TEST_F(IspExchangeTest, GetArrivingInPiecesWithinWindowSucceeds) {
    const Bytes full = GetReply(0x31, StandardCodes(0x44));
    Serve({{kGet,
            {{0, Bytes(full.begin(), full.begin() + 4)},
             {150, Bytes(full.begin() + 4, full.end())}}}});
    EXPECT_EQ(isp.GetCommands(), 1);
    EXPECT_EQ(isp.Version(), 0x31);
    EXPECT_EQ(CommandTable(isp), StandardCodes(0x44));
}

TEST_F(IspExchangeTest, GetWithSixteenBytesIsRefusedAndTableKept) {
    Bytes twelve = StandardCodes(0x44);
    twelve.push_back(0xA1);
    ServeAfterGet({{kGet, {{0, GetReply(0x33, twelve)}}}});
    EXPECT_EQ(isp.GetCommands(), 0);
    EXPECT_EQ(isp.Version(), 0x22);
    EXPECT_EQ(CommandTable(isp), StandardCodes(0x43));
}

TEST_F(IspExchangeTest, GetWithWrongCountByteIsRefused) {
    Bytes reply = GetReply(0x22, StandardCodes(0x44));
    reply[1] = 0x0A;
    Serve({{kGet, {{0, reply}}}});
    EXPECT_EQ(isp.GetCommands(), 0);
}

// --- information commands ---

TEST_F(IspExchangeTest, VersionAnsweredWithFourBytesFailsAtWindowEndWithoutResend) {
    ServeAfterGet({{{0x01, 0xFE}, {{0, {ACK, 0x22, 0x00, 0x00}}}}});
    unsigned char out[3];
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.GetVersionAndProtection(out); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, 195ul);
    EXPECT_LT(took, 500ul);
    EXPECT_EQ(HostBytesAfterGet(), Bytes({0x01, 0xFE}));
}

TEST_F(IspExchangeTest, ChipIdWithCountByteOneIsTaken) {
    ServeAfterGet({{{0x02, 0xFD}, {{0, {ACK, 0x01, 0x04, 0x30, ACK}}}}});
    unsigned char out[2] = {0, 0};
    EXPECT_EQ(isp.GetChipId(out), 1);
    EXPECT_EQ(out[0], 0x04);
    EXPECT_EQ(out[1], 0x30);
}

TEST_F(IspExchangeTest, ChipIdWithAnyOtherCountByteIsRefused) {
    // Five bytes framed by ACKs, such as the duplicate of a late version reply.
    ServeAfterGet({{{0x02, 0xFD}, {{0, {ACK, 0x22, 0x00, 0x00, ACK}}}}});
    unsigned char out[2] = {0, 0};
    EXPECT_EQ(isp.GetChipId(out), 0);
}

TEST_F(IspExchangeTest, ChipIdOfFiveBytesWithoutLeadingAckWaitsOutWindow) {
    ServeAfterGet({{{0x02, 0xFD}, {{0, {0x55, 0x01, 0x04, 0x10, ACK}}}}});
    unsigned char out[2];
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.GetChipId(out); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, 195ul);
    EXPECT_LT(took, 500ul);
}

// --- Read Memory ---

std::vector<ScriptStep> ReadScript(uint32_t address, uint16_t length,
                                   std::vector<testsupport::ReplyPiece> dataReply) {
    const uint8_t n = static_cast<uint8_t>(length - 1);
    return {{{0x11, 0xEE}, {{0, {ACK}}}},
            {Address(address), {{0, {ACK}}}},
            {{n, static_cast<uint8_t>(0xFF - n)}, dataReply}};
}

TEST_F(IspExchangeTest, ReadMemoryAnsweredByLoneNackFailsAtOnce) {
    ServeAfterGet(ReadScript(kFlashBase, 16, {{0, {NACK}}}));
    Bytes out(16);
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.ReadMemory(kFlashBase, 16, out.data()); });
    EXPECT_EQ(result, 0);
    EXPECT_LT(took, 190ul);
    EXPECT_TRUE(RingDisarmed());
}

TEST_F(IspExchangeTest, ReadMemoryAnsweredByAckOnlyFailsAfterDataWindow) {
    // Four bytes wanted: 40 x 4 + 40 = 200 ms after the ACK.
    ServeAfterGet(ReadScript(kFlashBase, 4, {{0, {ACK}}}));
    Bytes out(4);
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.ReadMemory(kFlashBase, 4, out.data()); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, 195ul);
    EXPECT_LT(took, 500ul);
    EXPECT_EQ(CountOccurrences(HostBytesAfterGet(), {0x03, 0xFC}), 1);
}

TEST_F(IspExchangeTest, ReadMemoryDataWindowGrowsWithLength) {
    // 16 bytes wanted: 680 ms from the first byte; the rest comes after 500 ms.
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    ServeAfterGet(
        ReadScript(kFlashBase, 16, {{0, {ACK, 1, 2}}, {500, Bytes(data.begin() + 2, data.end())}}));
    Bytes out(16, 0);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 16, out.data()), 1);
    EXPECT_EQ(out, data);
}

TEST_F(IspExchangeTest, ReadMemoryWithDataAfterWindowFails) {
    // Two bytes wanted: 120 ms from the first byte; the rest comes after 300 ms.
    ServeAfterGet(ReadScript(kFlashBase, 2, {{0, {ACK}}, {300, {0xAB, 0xCD}}}));
    Bytes out(2);
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.ReadMemory(kFlashBase, 2, out.data()); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, 115ul);
    EXPECT_LT(took, 290ul);
}

TEST_F(IspExchangeTest, ReadMemoryCountIsResentWhileNothingArrives) {
    // The first count goes unanswered; only the resent one gets the data.
    std::vector<ScriptStep> script = ReadScript(kFlashBase, 2, {});
    script.push_back({{0x01, 0xFE}, {{0, {ACK, 0xAB, 0xCD}}}});
    ServeAfterGet(script);
    Bytes out(2, 0);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 2, out.data()), 1);
    EXPECT_EQ(out, Bytes({0xAB, 0xCD}));
    EXPECT_EQ(CountOccurrences(HostBytesAfterGet(), {0x01, 0xFE}), 2);
}

TEST_F(IspExchangeTest, ReadMemoryWithAByteInErrorIsMalformedAndTheNextReadSucceeds) {
    // Four bytes, the third received in error, then the same read again, clean.
    std::vector<ScriptStep> script =
        ReadScript(kFlashBase, 4, {{0, {ACK, 0x11, 0x22, 0xFF, 0x00, 0x33, 0x44}}});
    const std::vector<ScriptStep> again =
        ReadScript(kFlashBase, 4, {{0, {ACK, 0x11, 0x22, 0x33, 0x44}}});
    script.insert(script.end(), again.begin(), again.end());
    ServeAfterGet(script);
    // A pseudo-terminal cannot receive a byte in error, and it marks nothing the peer writes
    // once its own marking is off: the peer then writes the mark a real line's tty would.
    struct termios2 tio;
    ASSERT_EQ(ioctl(peer->SlaveFd(), TCGETS2, &tio), 0);
    tio.c_iflag &= ~PARMRK;
    ASSERT_EQ(ioctl(peer->SlaveFd(), TCSETS2, &tio), 0);

    Bytes out(4, 0);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 4, out.data()), 0);
    EXPECT_EQ(isp.LastOutcome(), IspOutcome::Malformed);
    EXPECT_EQ(link.LineErrors(), 1);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 4, out.data()), 1);
    EXPECT_EQ(out, Bytes({0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(link.LineErrors(), 0);
}

TEST_F(IspExchangeTest, ReadMemoryCommandRefusedSendsNoAddress) {
    ServeAfterGet({{{0x11, 0xEE}, {{0, {NACK}}}}});
    Bytes out(8);
    EXPECT_EQ(isp.ReadMemory(kFlashBase, 8, out.data()), 0);
    EXPECT_EQ(HostBytesAfterGet(), Bytes({0x11, 0xEE}));
}

// --- Go: the judgement of the reply to the address ---

struct GoCase {
    const char* name;
    Bytes reply;  // empty: silence
    int result;
    bool atOnce;  // before the 200 ms window ends
};

class GoReplyTest : public IspExchangeTest, public ::testing::WithParamInterface<GoCase> {};

TEST_P(GoReplyTest, ResultAndTimingFollowTheTable) {
    const GoCase& c = GetParam();
    std::vector<ScriptStep> script = {{{0x21, 0xDE}, {{0, {ACK}}}}};
    if (!c.reply.empty()) script.push_back({Address(kFlashBase), {{0, c.reply}}});
    ServeAfterGet(script);
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.Go(kFlashBase); });
    EXPECT_EQ(result, c.result);
    if (c.atOnce) {
        EXPECT_LT(took, 150ul);
    } else {
        EXPECT_GE(took, 195ul);
    }
    EXPECT_TRUE(RingDisarmed());
}

INSTANTIATE_TEST_SUITE_P(GoTable, GoReplyTest,
                         ::testing::Values(GoCase{"NackFirst", {NACK}, 0, true},
                                           GoCase{"AckAlone", {ACK}, 1, false},
                                           GoCase{"OtherByteAlone", {0x55}, 0, false},
                                           GoCase{"LatestAck", {ACK, ACK}, 1, true},
                                           GoCase{"OtherThenAck", {0x55, ACK}, 1, true},
                                           GoCase{"AckThenNack", {ACK, NACK}, 0, true},
                                           GoCase{"AckThenOther", {ACK, 0x55}, 1, true},
                                           GoCase{"OtherThenOther", {0x55, 0x66}, 0, true}),
                         [](const ::testing::TestParamInfo<GoCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(IspExchangeTest, GoAgainstSilenceSendsAddressFiveTimes) {
    ServeAfterGet({{{0x21, 0xDE}, {{0, {ACK}}}}});
    int result = -1;
    const unsigned long took = TimeMs([&] { result = isp.Go(kFlashBase); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CountOccurrences(HostBytesAfterGet(), Address(kFlashBase)), 5);
    EXPECT_GE(took, 990ul);
    EXPECT_LT(took, 1600ul);
}

// --- Write Memory ---

TEST_F(IspExchangeTest, WriteBlockRefusedFailsAtOnce) {
    const Bytes data = {1, 2, 3, 4};
    Bytes block = {0x03, 1, 2, 3, 4, 0x03 ^ 1 ^ 2 ^ 3 ^ 4};
    ServeAfterGet({{{0x31, 0xCE}, {{0, {ACK}}}},
                   {Address(kFlashBase), {{0, {ACK}}}},
                   {block, {{0, {NACK}}}}});
    int result = -1;
    const unsigned long took =
        TimeMs([&] { result = isp.WriteMemory(kFlashBase, 4, data.data()); });
    EXPECT_EQ(result, 0);
    EXPECT_LT(took, 150ul);
    EXPECT_EQ(HostBytesAfterGet(), Concat({{0x31, 0xCE}, Address(kFlashBase), block}));
}

TEST_F(IspExchangeTest, StrayByteAfterOperationNeverReachesRing) {
    // An ACK trails the Get reply; capture is already off, so the ring does not change.
    const Bytes full = GetReply(0x22, StandardCodes(0x43));
    Serve({{kGet, {{0, full}, {50, {ACK}}}}, {{0x01, 0xFE}, {{0, {ACK, 0x22, 0x00, 0x00, ACK}}}}});
    ASSERT_EQ(isp.GetCommands(), 1);
    EXPECT_TRUE(RingDisarmed());
    const int leftOver = g_rxRing.Count();
    WaitMs(150);
    EXPECT_EQ(g_rxRing.Count(), leftOver);
    unsigned char out[3];
    EXPECT_EQ(isp.GetVersionAndProtection(out), 1);
    EXPECT_EQ(Bytes(out, out + 3), Bytes({0x22, 0x00, 0x00}));
}

}  // namespace
