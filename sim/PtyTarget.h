// The simulated target's server: it speaks the bootloader over a pseudo-terminal from its
// own thread, recording every byte on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chips {
struct Chip;
}

namespace sim {

constexpr uint32_t kMaxLatencyMs = 10000;

struct TargetConfig {
    uint32_t flashKiB = 64;
    uint32_t pageSize = 1024;  // without a chip; a chip has its own units
    uint8_t eraseCmd = 0x43;   // 0x43 or 0x44 (or anything, through a fault)
    uint8_t blVersion = 0x22;
    uint16_t pid = 0x0410;
    // The F103's times whatever the chip: 52.5 us a half-word, 20 ms a unit, 40 ms mass erase.
    bool f1Timing = false;
    bool readoutProtected = false;
    uint32_t paceBaud = 0;              // 0: no pacing; else 11 bits a byte, both directions
    std::vector<uint8_t> initialFlash;  // from 0x08000000; the rest 0xFF
    std::vector<std::string> faults;    // --fault faultTexts, parsed at Start
    bool chipTiming = false;            // the chip's typical times (the F103's without one)
    // The chip simulated: its erase units, Get list, flash-size register and option bytes.
    // Null: an F103-like target of pageSize pages and the identity above.
    const chips::Chip* chip = nullptr;
    // A USB-serial adapter's latency timer on the target's bytes: each waits until
    // latencyMs after the first one waiting, or until a USB packet's worth (62) waits.
    // 0 without latencyFile: bytes go to the host as they cross the wire.
    uint32_t latencyMs = 0;
    // Created holding latencyMs; read again whenever a batch starts waiting, so that a host
    // can change the latency as it would a real adapter's.
    std::string latencyFile;

    // Makes the target that chip, at its default flash size, with its identity.
    void SetChip(const chips::Chip& c);
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

    // Opens the pty (raw mode) and starts serving. false with a message on a bad fault,
    // a bad configuration or a failed openpty.
    bool Start(std::string* error);
    void Stop();
    std::string SlavePath() const;  // e.g. /dev/pts/5

    std::vector<uint8_t> HostBytes() const;    // received from the host since Start/ClearLog
    std::vector<uint8_t> TargetBytes() const;  // sent to the host since Start/ClearLog
    std::vector<WireByte> WireLog() const;
    // The wire log so far, which is then cleared (for a writer that follows the line).
    std::vector<WireByte> TakeWireLog();
    void ClearLog();

    std::vector<uint8_t> Flash() const;  // whole flash, flashKiB * 1024 bytes
    int Resets() const;                  // host closes seen (each is a reset)
    // Microseconds the target has spent in the delays it served (flash timing, faults): with
    // the bytes on the wire, what an ideal host could not have avoided.
    uint64_t DelayUs() const;
    // Microseconds the adapter held packets after their last byte had crossed the wire:
    // a cost of the adapter, kept apart from DelayUs.
    uint64_t LatencyUs() const;

    // Device removal: Unplug closes the master so the host's port fails; Replug serves a
    // fresh pty (SlavePath changes) with the flash kept.
    void Unplug();
    bool Replug(std::string* error);
    // True once the line has gone away (Unplug, or an unplug fault), until Replug.
    bool IsUnplugged() const;

private:
    struct Impl;
    Impl* m_p;
};

}  // namespace sim
