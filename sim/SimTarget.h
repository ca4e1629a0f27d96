// Contract of the simulated bootloader target (to be completed by its implementation).
// A protocol state machine with a flash model, and a server that speaks it over a
// pseudo-terminal from its own thread, recording every byte on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Fault;  // defined by the implementation; built by ParseFault

// Parses one --fault SPEC. false with a one-line message in *error on a bad spec.
bool ParseFault(const std::string& spec, Fault* out, std::string* error);

struct TargetConfig {
    uint32_t flashKiB = 64;
    uint32_t pageSize = 1024;
    uint8_t eraseCmd = 0x43;  // 0x43 or 0x44 (or anything, through a fault)
    uint8_t blVersion = 0x22;
    uint16_t pid = 0x0410;
    bool f1Timing = false;  // 52.5 us a half-word, 20 ms a page, 40 ms mass erase
    bool readoutProtected = false;
    uint32_t paceBaud = 0;  // 0: no pacing; else 11 bits a byte, both directions
    std::vector<uint8_t> initialFlash;  // from 0x08000000; the rest 0xFF
    std::vector<std::string> faults;    // --fault specs, parsed at Start
};

struct WireByte {
    uint64_t usec;  // since Start
    bool fromHost;
    uint8_t value;
};

class PtyTarget {
public:
    explicit PtyTarget(TargetConfig config);
    ~PtyTarget();  // Stop
    PtyTarget(const PtyTarget&) = delete;
    PtyTarget& operator=(const PtyTarget&) = delete;

    bool Start(std::string* error);  // opens the pty (raw mode) and starts serving
    void Stop();
    std::string SlavePath() const;  // e.g. /dev/pts/5

    std::vector<uint8_t> HostBytes() const;    // received from the host since Start/ClearLog
    std::vector<uint8_t> TargetBytes() const;  // sent to the host since Start/ClearLog
    std::vector<WireByte> WireLog() const;
    void ClearLog();

    std::vector<uint8_t> Flash() const;  // whole flash, flashKiB * 1024 bytes
    int Resets() const;                  // host closes seen (each is a reset)

    // Device removal: Unplug closes the master so the host's port fails; Replug serves a
    // fresh pty (SlavePath changes) with the flash kept.
    void Unplug();
    bool Replug(std::string* error);

private:
    struct Impl;
    Impl* m_p;
};

}  // namespace sim
