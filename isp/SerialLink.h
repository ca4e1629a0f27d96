// The link to a board on a serial port: a CSerialPort, created and destroyed at the owner's
// moments, and the receive ring its event callback feeds.
#pragma once

#include <atomic>

#include "LatencyTimer.h"
#include "Link.h"
#include "RxRing.h"

class CSerialPort;

class CSerialLink final : public ILink {
public:
    // ring: where the port's received bytes go; the dialog hands it the process's one ring,
    // g_rxRing, every other owner a ring of the link's own (the default).
    CSerialLink();
    explicit CSerialLink(RxRing& ring);
    ~CSerialLink() override;  // DestroyPort
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    // Creates the serial port and installs OnSerialEvent as its callback, feeding the ring.
    // Where the port can read in the calling thread (POSIX), the link has it do so: waits
    // read into the ring themselves, and the event thread only watches for the device going
    // away; elsewhere (Windows) the event thread feeds the ring as it always has.
    void CreatePort();
    // Closes the port (waiting at most 2000 ms for its thread) and destroys it.
    void DestroyPort();

    // Without a created port Open fails (OpenFailureOther) and nothing is sent.
    int Open(const std::string& name, int baudRate) override;
    void Close() override;
    bool IsOpen() const override;
    int LastOpenFailure() const override;
    bool Gone() const override;
    void Send(const unsigned char* bytes, int length) override;
    void SetLine(LinkLine line, bool on) override;
    void Arm() override;
    void Clear() override;
    void Disarm() override;
    int Count() const override;
    unsigned char ByteAt(int k) const override;
    bool Take(unsigned char* out) override;
    void Reframe(int k, int n) override;
    int WaitForCount(int target, uint64_t deadlineUs) override;
    // The port's line errors since the last Arm (since Open before any).
    int LineErrors() const override;
    void Interrupt() override;
    bool Interrupted() const override;
    IClock& Clock() override;

    // What the last Open did about the adapter's latency timer, for a front end to report.
    LatencyTimerNote LatencyTimer() const;

private:
    RxRing m_ownRing;
    RxRing& m_ring;
    CSerialPort* m_pPort = nullptr;
    std::atomic<bool> m_interrupted{false};
    int m_errorsAtArm = 0;  // the port's count when the ring was last armed
    bool m_callerReads = false;
};
