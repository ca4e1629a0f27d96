// OnSerialEvent, the program's callback: trace texts and the feed into the ring.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "PtyPeer.h"
#include "RxRing.h"
#include "SerialPort.h"
#include "SerialTrace.h"

namespace {

// Trace texts to standard output for as long as this lives.
class TraceToStdout {
public:
    TraceToStdout() { SetSerialTraceStream(stdout); }
    ~TraceToStdout() { SetSerialTraceStream(nullptr); }
    TraceToStdout(const TraceToStdout&) = delete;
    TraceToStdout& operator=(const TraceToStdout&) = delete;
};

TEST(SerialEventCallback, WritesNothingUntilAStreamIsSet) {
    CSerialPort port;
    testing::internal::CaptureStdout();
    for (int event : {0, 1, 2, 4, 5, 6}) OnSerialEvent(&port, event);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SerialEventCallback, WritesTraceTextForEveryEventButData) {
    const TraceToStdout trace;
    CSerialPort port;
    testing::internal::CaptureStdout();
    for (int event : {0, 1, 2, 4, 5, 6}) OnSerialEvent(&port, event);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Connected ! \n"
              "Disonnected ! \n"
              "Data sent ! \n"
              "DRING ! \n"
              "Carrier Detected ! \n"
              "No more carrier ! \n");
}

TEST(SerialEventCallback, NullPortIsIgnored) {
    const TraceToStdout trace;
    g_rxRing.Arm();
    testing::internal::CaptureStdout();
    for (int event = 0; event <= 6; ++event) OnSerialEvent(nullptr, event);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(g_rxRing.Count(), 0);
    g_rxRing.Disarm();
}

TEST(SerialEventCallback, CodesOutsideZeroToSixAreIgnored) {
    const TraceToStdout trace;
    CSerialPort port;
    testing::internal::CaptureStdout();
    for (int event : {-1, 7, 8, 255}) OnSerialEvent(&port, event);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SerialEventCallback, ReceivedBytesGoToRingOneReadAfterAnother) {
    testsupport::PtyPeer peer;
    ASSERT_TRUE(peer.Open());
    CSerialPort port;
    port.SetCallback(OnSerialEvent);
    ASSERT_EQ(port.Open(peer.SlavePath(), 115200, 2, 8, 1), OpenOk);
    g_rxRing.Arm();
    const testsupport::Bytes sent = {0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31};
    ASSERT_TRUE(peer.Write(sent));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (g_rxRing.Count() < 9 && std::chrono::steady_clock::now() < deadline) {
    }
    g_rxRing.Disarm();
    ASSERT_EQ(g_rxRing.Count(), 9);
    for (int k = 0; k < 9; ++k) EXPECT_EQ(g_rxRing.ByteAt(k), sent[k]);
    port.Close();
}

TEST(SerialEventCallback, BytesArrivingWhileDisarmedAreDropped) {
    testsupport::PtyPeer peer;
    ASSERT_TRUE(peer.Open());
    CSerialPort port;
    port.SetCallback(OnSerialEvent);
    ASSERT_EQ(port.Open(peer.SlavePath(), 115200, 2, 8, 1), OpenOk);
    g_rxRing.Arm();
    g_rxRing.Disarm();
    ASSERT_TRUE(peer.Write({0x79, 0x79}));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until) {
    }
    EXPECT_EQ(g_rxRing.Count(), 0);
    // The reads went on: a byte sent after arming is there.
    g_rxRing.Arm();
    ASSERT_TRUE(peer.Write({0x1F}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (g_rxRing.Count() < 1 && std::chrono::steady_clock::now() < deadline) {
    }
    g_rxRing.Disarm();
    ASSERT_EQ(g_rxRing.Count(), 1);
    EXPECT_EQ(g_rxRing.ByteAt(0), 0x1F);
    port.Close();
}

}  // namespace
