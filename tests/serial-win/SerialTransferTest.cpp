// Sending and receiving through the Windows serial port against the simulated target.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "RxRing.h"
#include "SimPortTest.h"
#include "WinTestSupport.h"

using namespace wintest;

namespace {

// Bytes on the wire from `mark` on (the wire log covers the whole run).
std::vector<unsigned char> WireSince(size_t mark, int waitMs = 500) {
    const std::vector<unsigned char> all = HostBytesOnWire(waitMs);
    if (all.size() < mark) return {};
    return std::vector<unsigned char>(all.begin() + static_cast<long>(mark), all.end());
}

// 0x7F, then Get Version & Read Protection (01 FE) again and again up to n bytes.
std::vector<unsigned char> SyncThenVersionRequests(size_t n) {
    std::vector<unsigned char> bytes{0x7F};
    while (bytes.size() + 2 <= n) {
        bytes.push_back(0x01);
        bytes.push_back(0xFE);
    }
    return bytes;
}

const std::vector<unsigned char> kGetId{0x02, 0xFD};
const std::vector<unsigned char> kGet{0x00, 0xFF};
const std::vector<unsigned char> kIdReply{kAck, 0x01, kSimPid >> 8, kSimPid & 0xFF, kAck};

}  // namespace

using SerialTransfer = SimPortTest;

TEST_F(SerialTransfer, SyncAnsweredWithAckReachesRingThroughOnSerialEvent) {
    m_port.SetCallback(OnSerialEvent);
    ASSERT_EQ(OpenOk, OpenSimLine(m_port, SimPort()));
    g_rxRing.Arm();
    const unsigned char sync = 0x7F;
    m_port.Send(&sync, 1);
    const int64_t end = NowMs() + 5000;
    while (g_rxRing.Count() < 1 && NowMs() < end) Sleep(1);
    Sleep(200);  // nothing more may follow
    g_rxRing.Disarm();
    ASSERT_EQ(1, g_rxRing.Count());
    EXPECT_EQ(kAck, g_rxRing.ByteAt(0));
}

TEST_F(SerialTransfer, GetIdReplyArrivesWholeAndInOrder) {
    OpenSim();
    Sync();
    ASSERT_TRUE(SendAndWait(m_port, kGetId, 1 + kIdReply.size(), 5000));
    const std::vector<unsigned char> bytes = g_recorder.Bytes();
    EXPECT_EQ(kIdReply, std::vector<unsigned char>(bytes.begin() + 1, bytes.end()));
}

TEST_F(SerialTransfer, ErasedFlashReadsBackAsFFWithNoLineErrors) {
    OpenSim();
    Sync();
    // Read Memory of the last 256 bytes of the simulator's erased 64 KiB, stage by stage.
    const struct {
        std::vector<unsigned char> bytes;
        size_t total;  // bytes received once the stage is answered
    } kStages[] = {
        {{0x11, 0xEE}, 2},
        {{0x08, 0x00, 0xFF, 0x00, 0xF7}, 3},
        {{0xFF, 0x00}, 4 + 256},
    };
    for (const auto& stage : kStages) {
        const int sent = g_recorder.CountOf(SerialDataSent);
        ASSERT_TRUE(SendAndWait(m_port, stage.bytes, stage.total, 5000)) << stage.total;
        ASSERT_TRUE(g_recorder.WaitForEvent(SerialDataSent, sent + 1, 5000));
    }
    const std::vector<unsigned char> bytes = g_recorder.Bytes();
    ASSERT_EQ(4u + 256u, bytes.size());
    EXPECT_EQ(std::vector<unsigned char>(4, kAck),
              std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4));
    EXPECT_EQ(std::vector<unsigned char>(256, 0xFF),
              std::vector<unsigned char>(bytes.begin() + 4, bytes.end()));
    EXPECT_EQ(0, m_port.LineErrorCount());
}

TEST_F(SerialTransfer, Send1023BytesIsAcceptedAndAllReachTheTarget) {
    OpenSim();
    const size_t mark = HostBytesOnWire(0).size();
    const std::vector<unsigned char> bytes = SyncThenVersionRequests(1023);
    ASSERT_EQ(1023u, bytes.size());
    // One ACK for the sync, then five bytes for each of the 511 version requests.
    const size_t expected = 1 + 511 * 5;
    ASSERT_TRUE(SendAndWait(m_port, bytes, expected, 30000))
        << "received " << g_recorder.Bytes().size() << " of " << expected;
    EXPECT_TRUE(g_recorder.WaitForEvent(SerialDataSent, 1, 5000));
    EXPECT_EQ(1, g_recorder.CountOf(SerialDataSent));
    EXPECT_EQ(bytes, WireSince(mark));
    const std::vector<unsigned char> got = g_recorder.Bytes();
    EXPECT_EQ(kAck, got[1]);
    EXPECT_EQ(kSimVersion, got[2]);
    EXPECT_EQ(kAck, got[expected - 1]);
}

TEST_F(SerialTransfer, Send1024BytesIsRefusedAndLeavesSendingFree) {
    OpenSim();
    Sync();
    const size_t mark = HostBytesOnWire().size();
    const std::vector<unsigned char> tooLong = SyncThenVersionRequests(1025);
    m_port.Send(tooLong.data(), 1024);
    EXPECT_FALSE(g_recorder.WaitForEvent(SerialDataSent, 2, 1000));
    EXPECT_EQ(1u, g_recorder.Bytes().size()) << "the target answered bytes never sent";
    EXPECT_TRUE(WireSince(mark).empty());
    // The refusal left write busy clear: the next send goes out.
    ASSERT_TRUE(SendAndWait(m_port, kGetId, 1 + kIdReply.size(), 5000));
    EXPECT_EQ(kGetId, WireSince(mark));
}

TEST_F(SerialTransfer, SecondSendWhileWriteOutstandingIsDropped) {
    OpenSim();
    // Hold the event thread in the DataSent of the sync: write busy is clear, and the
    // next write cannot complete until the thread is released.
    g_recorder.HoldOn(SerialDataSent);
    const size_t mark = HostBytesOnWire().size();
    const unsigned char sync = 0x7F;
    m_port.Send(&sync, 1);
    ASSERT_TRUE(g_recorder.WaitUntilHeld(5000));
    m_port.Send(kGetId.data(), 2);
    m_port.Send(kGet.data(), 2);  // write busy: dropped
    g_recorder.Release();
    ASSERT_TRUE(g_recorder.WaitForBytes(1 + kIdReply.size(), 5000));
    EXPECT_TRUE(g_recorder.WaitForEvent(SerialDataSent, 2, 5000));
    Sleep(500);
    const std::vector<unsigned char> bytes = g_recorder.Bytes();
    EXPECT_EQ(1 + kIdReply.size(), bytes.size()) << "the dropped Get was answered";
    EXPECT_EQ(kIdReply, std::vector<unsigned char>(bytes.begin() + 1, bytes.end()));
    EXPECT_EQ(2, g_recorder.CountOf(SerialDataSent));
    EXPECT_EQ((std::vector<unsigned char>{0x7F, 0x02, 0xFD}), WireSince(mark));
}

TEST_F(SerialTransfer, EmptySendIsWrittenAndReportsDataSent) {
    OpenSim();
    const unsigned char nothing = 0;
    m_port.Send(&nothing, 0);
    EXPECT_TRUE(g_recorder.WaitForEvent(SerialDataSent, 1, 5000));
    Sync();  // and the line still works
}

TEST_F(SerialTransfer, SendWithoutDataIsRefused) {
    OpenSim();
    m_port.Send(nullptr, 1);
    EXPECT_FALSE(g_recorder.WaitForEvent(SerialDataSent, 1, 1000));
    Sync();
}

TEST_F(SerialTransfer, ReceivingWaitsForCallbackToRequestNextRead) {
    OpenSim();
    g_recorder.SetRequestRead(false);
    Sync();
    m_port.Send(kGetId.data(), 2);
    EXPECT_FALSE(g_recorder.WaitForBytes(2, 1000)) << "a read started without a request";
    // One read: the first byte, and what waits behind it by then, in one go.
    m_port.RequestRead();
    EXPECT_TRUE(g_recorder.WaitForBytes(2, 5000));
    const size_t afterOneRead = g_recorder.Bytes().size();
    EXPECT_FALSE(g_recorder.WaitForBytes(afterOneRead + 1, 500)) << "a read without a request";
    g_recorder.SetRequestRead(true);
    m_port.RequestRead();
    ASSERT_TRUE(g_recorder.WaitForBytes(1 + kIdReply.size(), 5000));
    const std::vector<unsigned char> bytes = g_recorder.Bytes();
    EXPECT_EQ(kIdReply, std::vector<unsigned char>(bytes.begin() + 1, bytes.end()));
}

TEST_F(SerialTransfer, LineChangesRefusedByDeviceAreIgnored) {
    OpenSim();
    // A pseudo-terminal has no modem lines; EscapeCommFunction fails under Wine.
    m_port.SetDtr(true);
    m_port.SetRts(true);
    m_port.SetDtr(false);
    m_port.SetRts(false);
    Sleep(300);
    EXPECT_TRUE(m_port.IsOpen());
    EXPECT_EQ(0, g_recorder.CountOf(SerialDisconnected));
    Sync();
}
