// Contract of the simulated bootloader target.
// A protocol state machine with a flash model, and a server that speaks it over a
// pseudo-terminal from its own thread, recording every byte on the wire.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// What a fault does; see FaultHelp() for the grammar of each.
enum class FaultKind {
    Silent,     // silent: never answers anything (no bootloader at all)
    Nack,       // nack:CMD[@WHERE]: NACK instead of ACK, nothing done
    Short,      // short:CMD:N: the command's final reply cut to its first N bytes
    Extra,      // extra:CMD:HEX[:MS]: bytes after the command's final reply (MS ms later)
    Corrupt,    // corrupt:ADDR: Read Memory returns the byte at ADDR inverted
    Delay,      // delay:CMD:MS: the command's final reply comes MS ms late
    Get12,      // get12: Get lists 12 codes (0xA1 added, N = 0x0C)
    EraseCode,  // erase-code:0xNN: Get lists NN as the erase code, and only NN erases
    Unplug,     // unplug:N: the line goes away after N bytes from the host
    Reply,      // reply:CMD:HEX: the command's final reply replaced by exactly these bytes
    Stall,      // stall:CMD:N:MS: the final reply pauses MS ms after its first N bytes
};

// The exchanges a fault can name: the sync byte and the commands.
enum class FaultCmd { None, Sync, Get, Version, Id, Read, Go, Write, Erase };

struct Fault {
    FaultKind kind = FaultKind::Silent;
    FaultCmd cmd = FaultCmd::None;
    bool hasWhere = false;
    uint32_t where = 0;  // nack: address (read, write, go) or page number (erase); corrupt: address
    uint32_t number = 0;  // short, stall, unplug: byte count; delay: ms; erase-code: the code
    uint32_t ms = 0;      // extra: how late the bytes come; stall: length of the pause
    std::vector<uint8_t> bytes;  // extra, reply
    uint32_t occurrence = 0;     // *K: act only on the K-th match (1-based); 0: every match
};

// Parses one --fault FAULT. false with a one-line message in *error on a bad fault.
bool ParseFault(const std::string& faultText, Fault* out, std::string* error);

// The fault grammar, one line per kind, for --help.
std::string FaultHelp();

struct TargetConfig {
    uint32_t flashKiB = 64;
    uint32_t pageSize = 1024;
    uint8_t eraseCmd = 0x43;  // 0x43 or 0x44 (or anything, through a fault)
    uint8_t blVersion = 0x22;
    uint16_t pid = 0x0410;
    bool f1Timing = false;  // 52.5 us a half-word, 20 ms a page, 40 ms mass erase
    bool readoutProtected = false;
    uint32_t paceBaud = 0;              // 0: no pacing; else 11 bits a byte, both directions
    std::vector<uint8_t> initialFlash;  // from 0x08000000; the rest 0xFF
    std::vector<std::string> faults;    // --fault faultTexts, parsed at Start
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
