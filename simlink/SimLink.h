// A link to simulated bootloader targets in the same process, on simulated time: the
// protocol and jobs tests put it where the serial link goes. The line is paced as the pty
// server paces it (sim/PtyTarget.cpp), at the baud rate Open is given: 11 bits a byte.
//
//  - A send's bytes cross the wire one byte time each, after the earlier send's have.
//  - The target takes a byte once it has crossed and once it is done with its earlier
//    output (the server is one thread: while it waits out an output's delay it reads
//    nothing).
//  - Each output waits its delay, then its bytes cross one byte time each and reach the
//    ring at the end of their byte time.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "IspProtocol.h"  // ResetWiring
#include "PtyTarget.h"    // sim::TargetConfig, sim::WireByte
#include "SimLinkBase.h"

namespace sim {
class BootloaderTarget;
}

class CSimLink;

// One simulated board on a CSimLink, looked at the way a PtyTarget is. Times in the wire log
// are the link's clock.
class SimTarget {
public:
    ~SimTarget();
    SimTarget(const SimTarget&) = delete;
    SimTarget& operator=(const SimTarget&) = delete;

    // The name a link opens it by.
    const std::string& Name() const { return m_name; }

    std::vector<uint8_t> HostBytes() const;    // taken from the host since made or ClearLog
    std::vector<uint8_t> TargetBytes() const;  // sent to the host since made or ClearLog
    const std::vector<sim::WireByte>& WireLog() const { return m_log; }
    // The wire log so far, which is then cleared.
    std::vector<sim::WireByte> TakeWireLog();
    void ClearLog() { m_log.clear(); }

    std::vector<uint8_t> Flash() const;  // whole flash, flashKiB * 1024 bytes
    // Host closes seen while the line was up (each is a reset, as with the pty server).
    int Resets() const { return m_resets; }
    // Times the reset line let the target go after holding it.
    int LineResets() const { return m_lineResets; }
    // Microseconds spent in the delays the target served (flash timing, faults).
    uint64_t DelayUs() const { return m_delayUs; }

    // How the board's reset pin hangs on the adapter's lines; reset and invertReset are read.
    // The default: DTR on holds the target in reset, as CIspProtocol's default drives it.
    // reset None: the host's lines never reset it. The boot pin is not modelled: the target
    // always comes out of reset in its bootloader.
    void SetResetWiring(const ResetWiring& wiring);

    // The n-th byte this target puts on the wire from now on (1: the next) reaches the host
    // with a parity error.
    void InjectLineErrorAt(int n);

    // Device removal: the host's port goes (its link Gone, closed) and opens fail until
    // Replug, which brings a fresh line (the unplug fault counts again) with the flash kept.
    void Unplug();
    void Replug();
    bool IsUnplugged() const { return m_unplugged; }

private:
    friend class CSimLink;
    SimTarget(CSimLink& link, std::string name, std::unique_ptr<sim::BootloaderTarget> target);

    void Log(uint64_t us, bool fromHost, uint8_t value) { m_log.push_back({us, fromHost, value}); }

    CSimLink& m_link;
    std::string m_name;
    std::unique_ptr<sim::BootloaderTarget> m_target;
    std::vector<sim::WireByte> m_log;
    int m_resets = 0;
    int m_lineResets = 0;
    uint64_t m_delayUs = 0;
    ResetWiring m_wiring;
    bool m_unplugged = false;
    bool m_held = false;           // held in reset by the line
    uint64_t m_bytesSent = 0;      // put on the wire, ever
    std::set<uint64_t> m_errorAt;  // of those, the ones that arrive with a parity error
};

class CSimLink final : public CSimLinkBase {
public:
    CSimLink();
    ~CSimLink() override;

    // Adds a target under name, built from config and its fault texts, which are parsed
    // and checked as the pty server does. config.paceBaud is not read: the line is paced
    // at the rate of each Open. Null with a message on a bad configuration or fault, or a
    // name empty or in use. The target lives as long as the link.
    SimTarget* AddTarget(const std::string& name, const sim::TargetConfig& config,
                         std::string* error);
    // The target of that name; null when there is none.
    SimTarget* Target(const std::string& name) const;

    // Connects to the target of that name, raising DTR and RTS as the serial port does (with
    // the default wiring that holds the target in reset until the host lets it go). Fails
    // with OpenFailureNoDevice for a name no target has or an unplugged one, and with
    // OpenFailureOther for a rate that is not positive. An open link is closed first.
    int Open(const std::string& name, int baudRate) override;
    // The host's close: the target drops whatever is on the line in either direction and
    // is reset.
    void Close() override;
    bool IsOpen() const override { return m_current != nullptr; }
    int LastOpenFailure() const override { return m_lastOpenFailure; }
    // True once the connected target was unplugged (Unplug, or the unplug fault), until the
    // next Open.
    bool Gone() const override { return m_gone; }
    void Send(const unsigned char* bytes, int length) override;
    void SetLine(LinkLine line, bool on) override;

    // One byte time on the open line, in microseconds (to the nearest); 0 while closed.
    uint64_t ByteUs() const { return m_byteUs; }
    // One byte time at baudRate: 11 bits, to the nearest microsecond, at least one.
    static uint64_t ByteUsAt(int baudRate);

private:
    friend class SimTarget;

    // What is on the wire towards the host: a byte, or the end of a delay the target serves.
    struct ToHost {
        uint64_t us;  // when it reaches the host (the delay ends)
        bool isByte;
        uint8_t value;
        uint32_t delayUs;
    };
    struct ToTarget {
        uint64_t us;  // when its last bit has crossed
        uint8_t value;
    };

    uint64_t NextDueUs() const override;
    void RunDue() override;
    void TakeHostByte();
    void ReachHost();
    // The target's reset line as the host's levels and the target's wiring make it.
    void FollowResetLine();
    // Empties the wire in both directions; the target is idle.
    void DropWire();
    // The device went away under the host.
    void DropLine();

    std::vector<std::unique_ptr<SimTarget>> m_targets;
    SimTarget* m_current = nullptr;  // while open
    int m_lastOpenFailure = 0;
    bool m_gone = false;
    uint64_t m_byteUs = 0;
    bool m_dtr = false;
    bool m_rts = false;
    std::deque<ToTarget> m_toTarget;
    std::deque<ToHost> m_toHost;  // in time order
    uint64_t m_hostWireFree = 0;  // the host-to-target wire is free from then on
    uint64_t m_targetFree = 0;    // the target is done with its output by then
    uint64_t m_txFree = 0;        // the target-to-host wire is free from then on
};
