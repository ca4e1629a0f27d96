// Fixture for tests against the simulator's port: one CSerialPort with the recording
// callback, closed (and any held callback released) at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include "WinTestSupport.h"

class SimPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(wintest::SimPort().empty())
            << "KESTREL_SIM_PORT is not set: run this program through tests/serial-win/run.sh";
        wintest::g_recorder.Reset();
        m_port.SetCallback(wintest::RecordingCallback);
    }
    void TearDown() override {
        wintest::g_recorder.Release();
        m_port.Close();
    }

    // Opens the simulator's port and checks that the event thread reports in.
    void OpenSim(int monitorModem = 1) {
        ASSERT_EQ(OpenOk, wintest::OpenSimLine(m_port, wintest::SimPort(), monitorModem));
        ASSERT_TRUE(wintest::g_recorder.WaitForEvent(SerialConnected, 1, 5000));
    }

    // Sync on a freshly opened line: the simulated bootloader answers one ACK. Returns
    // once the write has been reported too, so that the next send is not refused as busy
    // (the reply can overtake DataSent: read completions come first).
    void Sync() {
        const int sent = wintest::g_recorder.CountOf(SerialDataSent);
        ASSERT_TRUE(wintest::SendAndWait(m_port, {0x7F}, 1, 5000)) << "no answer to 0x7F";
        ASSERT_EQ(wintest::kAck, wintest::g_recorder.Bytes().at(0));
        ASSERT_TRUE(wintest::g_recorder.WaitForEvent(SerialDataSent, sent + 1, 5000));
    }

    CSerialPort m_port;
};
