// The simulated bootloader as a pure state machine: bytes from the host in, replies out,
// each reply with the delay that must pass before it goes on the wire. It holds the flash
// model and applies the injected faults; it does no I/O and keeps no clock.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Fault.h"
#include "PtyTarget.h"

namespace sim {

constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
constexpr uint8_t kSync = 0x7F;

// One piece of the target's output: wait delayUs, then send bytes.
struct TargetOutput {
    uint32_t delayUs = 0;
    std::vector<uint8_t> bytes;
};

// Where the bootloader is in its exchange with the host.
enum class TargetPhase {
    WaitSync,        // after reset: only 0x7F counts
    WaitCommand,     // next byte is a command code
    WaitComplement,  // next byte must be the code's complement
    WaitAddress,     // four address bytes and their XOR
    WaitReadCount,   // N and its complement
    WaitWriteBlock,  // N, N+1 data bytes, checksum
    WaitEraseBlock,  // the page block of Erase (0x43)
    WaitExtErase,    // the page block of Extended Erase (0x44)
    WaitProtect,     // the sector block of Write Protect
    Running,         // after Go: the user program runs, the bootloader is gone until reset
};

class BootloaderTarget {
public:
    // The configuration must have passed CheckConfig.
    BootloaderTarget(const TargetConfig& config, std::vector<Fault> faults);

    // Checks sizes and the initial flash contents; false with a message otherwise.
    static bool CheckConfig(const TargetConfig& config, std::string* error);

    // Takes one byte from the host and appends the target's answer (if any) to *out.
    void Receive(uint8_t byte, std::vector<TargetOutput>* out);

    // A reset (the host closed the line): back to waiting for sync. Flash, read-out and
    // write protection and fault counters are kept.
    void Reset();
    // A fresh line after a removal: a reset, and the unplug byte count starts again.
    void Replugged();
    // True once an unplug fault has fired on this line: the server must drop the line.
    bool UnplugDue() const { return m_unplugDue; }

    TargetPhase Phase() const { return m_phase; }
    bool ReadoutProtected() const { return m_readoutProtected; }
    // Every erase unit's bytes, in address order (bank 2 right after bank 1).
    const std::vector<uint8_t>& Flash() const { return m_flash; }
    uint32_t PageCount() const;  // erase units
    // The chip's option bytes as Read Memory gives them when it may; empty without a chip.
    std::vector<uint8_t> OptionBytes() const;

private:
    // Erase units in spans of equal neighbours, so that a flash of tiny pages stays small.
    struct UnitSpan {
        uint32_t address;  // of the first
        uint32_t size;
        uint32_t count;
        uint32_t firstIndex;
        uint32_t eraseTypMs;
        size_t offset;  // of the first in m_flash
    };
    struct Unit {
        uint32_t address;
        uint32_t size;
        uint32_t index;
        uint32_t eraseTypMs;
        size_t offset;
    };

    // True when the command byte is answered with a NACK (counting nack faults it meets).
    bool RefusesCommand(uint8_t code, FaultCmd cmd);
    void OnCommand(uint8_t code, std::vector<TargetOutput>* out);
    void OnGet(std::vector<TargetOutput>* out);
    // The commands a fault can name; the protection commands are the others.
    void OnNamedCommand(uint8_t code, FaultCmd cmd, std::vector<TargetOutput>* out);
    void OnProtectionCommand(uint8_t code, std::vector<TargetOutput>* out);
    void OnAddress(std::vector<TargetOutput>* out);
    void OnReadCount(std::vector<TargetOutput>* out);
    void OnWriteBlock(std::vector<TargetOutput>* out);
    void OnEraseBlock(std::vector<TargetOutput>* out);
    void OnExtEraseBlock(std::vector<TargetOutput>* out);
    void OnProtectBlock(std::vector<TargetOutput>* out);
    void CollectBlockByte(uint8_t byte, std::vector<TargetOutput>* out);
    void ErasePages(const std::vector<uint32_t>& pages, std::vector<TargetOutput>* out);
    // Erases the units whose number the filter picks; write-protected ones keep their bytes.
    void EraseWhere(const std::function<bool(uint32_t index)>& picks);
    void MassErase();

    bool FindUnitAt(uint32_t address, Unit* unit) const;
    bool FindUnitNumbered(uint32_t index, Unit* unit) const;
    bool WriteProtectedAt(uint32_t address) const;
    // Where length bytes from address lie in m_flash; false unless all in one bank's flash.
    bool FlashOffset(uint32_t address, uint32_t length, size_t* offset) const;
    // The flash-size register and option bytes, which Read Memory reaches beside the flash.
    bool SystemBytes(uint32_t address, uint32_t length, std::vector<uint8_t>* out) const;

    uint32_t UnitEraseUs(const Unit& unit) const;
    uint32_t MassEraseUs() const;
    uint32_t BankEraseUs() const;
    uint32_t ProgramUs(uint32_t length) const;

    uint8_t EraseCode() const;
    FaultCmd CommandOf(uint8_t code) const;
    bool Fires(size_t faultIndex);
    bool NackFault(FaultCmd cmd, bool hasWhere, uint32_t where);
    bool NackFaultForPages(const std::vector<uint32_t>& pages);
    void Nack(std::vector<TargetOutput>* out);
    void Ack(std::vector<TargetOutput>* out);
    // The last reply of an exchange: reply, short, extra and delay faults apply to it.
    void FinalReply(FaultCmd cmd, std::vector<uint8_t> bytes, uint32_t delayUs,
                    std::vector<TargetOutput>* out);
    bool InFlash(uint32_t address, uint32_t length) const;

    TargetConfig m_config;
    std::vector<Fault> m_faults;
    std::vector<uint32_t> m_hits;  // matches seen so far, per fault
    std::vector<uint8_t> m_flash;
    std::vector<UnitSpan> m_spans;
    uint32_t m_bank2Index = UINT32_MAX;     // number of bank 2's first unit
    std::set<uint32_t> m_writeProtected;    // unit numbers
    const chips::Chip* m_timing = nullptr;  // whose flash times apply; null: none
    bool m_readoutProtected;
    bool m_silent = false;

    TargetPhase m_phase = TargetPhase::WaitSync;
    uint8_t m_code = 0;
    FaultCmd m_cmd = FaultCmd::None;
    uint32_t m_address = 0;
    std::vector<uint8_t> m_block;
    size_t m_need = 0;  // bytes the current block still needs before it is complete

    uint32_t m_lineIndex = 1;  // 1 for the first line, +1 at each replug
    uint64_t m_lineBytes = 0;  // host bytes received on this line
    bool m_unplugDue = false;
};

}  // namespace sim
