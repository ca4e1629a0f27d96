// The fault language of the simulated target: what a --fault names and how it is parsed.
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

}  // namespace sim
