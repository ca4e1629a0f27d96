// Open periods of the Windows serial port: closing, stopping, device removal, reopening.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "SimPortTest.h"
#include "WinTestSupport.h"

using namespace wintest;

using SerialLifecycle = SimPortTest;

TEST_F(SerialLifecycle, CloseReturnsPromptlyWithDisconnectedAndPortClosed) {
    OpenSim();
    Sync();
    const int64_t start = NowMs();
    m_port.Close();
    const int64_t took = NowMs() - start;
    EXPECT_FALSE(m_port.IsOpen());
    EXPECT_LT(took, 1500) << "Close waited for its limit although the thread could stop";
    EXPECT_TRUE(g_recorder.WaitForEvent(SerialDisconnected, 1, 1000));
    EXPECT_EQ(1, g_recorder.CountOf(SerialDisconnected));
}

TEST_F(SerialLifecycle, CloseGivesUpAfterAboutTwoSecondsWhenThreadIsStuck) {
    OpenSim();
    // The event thread stays inside the callback of the sync's DataSent.
    g_recorder.HoldOn(SerialDataSent);
    const unsigned char sync = 0x7F;
    m_port.Send(&sync, 1);
    ASSERT_TRUE(g_recorder.WaitUntilHeld(5000));
    const int64_t start = NowMs();
    m_port.Close();
    const int64_t took = NowMs() - start;
    EXPECT_FALSE(m_port.IsOpen());
    EXPECT_GE(took, 1800);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(0, g_recorder.CountOf(SerialDisconnected));
    // Once free, the late thread still stops, closes the device and says so.
    g_recorder.Release();
    EXPECT_TRUE(g_recorder.WaitForEvent(SerialDisconnected, 1, 5000));
    g_recorder.Reset();
    OpenSim();
    Sync();
}

TEST_F(SerialLifecycle, ReopenedPortStartsFreshEachTime) {
    for (int period = 0; period < 3; ++period) {
        SCOPED_TRACE(period);
        g_recorder.Reset();
        OpenSim();
        Sync();  // the simulator takes each close as a reset
        m_port.Close();
        EXPECT_TRUE(g_recorder.WaitForEvent(SerialDisconnected, 1, 5000));
    }
}

TEST_F(SerialLifecycle, StopRequestsWithoutThreadDoNotEndNextOpen) {
    m_port.Close();
    m_port.Close();
    OpenSim();
    Sleep(500);
    EXPECT_TRUE(m_port.IsOpen());
    EXPECT_EQ(0, g_recorder.CountOf(SerialDisconnected));
    Sync();
}

TEST_F(SerialLifecycle, DestroyingOpenPortStopsItsThreadAndFreesDevice) {
    auto port = std::make_unique<CSerialPort>();
    port->SetCallback(RecordingCallback);
    ASSERT_EQ(OpenOk, OpenSimLine(*port, SimPort()));
    ASSERT_TRUE(g_recorder.WaitForEvent(SerialConnected, 1, 5000));
    const unsigned char sync = 0x7F;
    port->Send(&sync, 1);
    ASSERT_TRUE(g_recorder.WaitForBytes(1, 5000));
    const int64_t start = NowMs();
    port.reset();
    EXPECT_LT(NowMs() - start, 1500);
    EXPECT_EQ(1, g_recorder.CountOf(SerialDisconnected));
    g_recorder.Reset();
    OpenSim();
    Sync();
}

TEST_F(SerialLifecycle, RemovedDeviceEndsThreadAndReopenWorksOnceBack) {
    ASSERT_FALSE(ControlDir().empty());
    OpenSim();
    Sync();
    ASSERT_TRUE(AskRunner("unplug", 20000)) << "the runner did not stop the simulator";
    EXPECT_TRUE(g_recorder.WaitForEvent(SerialDisconnected, 1, 10000));
    EXPECT_FALSE(m_port.IsOpen());
    // Requests made while the port is closed are not carried into the next open period.
    m_port.SetDtr(true);
    const unsigned char sync = 0x7F;
    m_port.Send(&sync, 1);

    ASSERT_TRUE(AskRunner("replug", 20000)) << "the runner did not restart the simulator";
    g_recorder.Reset();
    OpenSim();
    Sync();
    Sleep(300);
    EXPECT_EQ(1u, g_recorder.Bytes().size()) << "a stale send reached the fresh line";
    EXPECT_EQ(0, g_recorder.CountOf(SerialDisconnected));
}
