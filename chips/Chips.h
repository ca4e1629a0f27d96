// What Kestrel knows of each STM32 with a USART bootloader: identity, the bootloader's
// protocol, the flash layout and where the chip reports its size and option bytes, and the
// erase and programming times. The command line and the simulator both read it; the table
// itself is in ChipTable.cpp, the only place its values are kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chips {

// Consecutive erase units of one size within a bank, with the time one of them takes.
struct UnitRun {
    uint32_t size;  // bytes
    uint32_t count;
    uint32_t eraseTypMs;
    uint32_t eraseMaxMs;  // the worst case at the voltage range the bootloader assumes
};

// How the read-out protection level shows in the option bytes.
struct RdpField {
    int offset;      // of the RDP byte in the option bytes; -1 when it cannot be decoded
    uint8_t level0;  // the value that means level 0
    uint8_t level2;  // the value that means level 2; equal to level0 when there is none
};

struct Chip {
    const char* key;   // short name, e.g. "f103"
    const char* name;  // e.g. "STM32F10x medium density"
    uint16_t pid;
    uint8_t protocol;  // the version byte Get reports, e.g. 0x22 for V2.2
    uint8_t getCodes;  // commands Get lists: 11, 12 (with 0xA1), or 13 (the H7 V9.0 fault)
    uint8_t eraseCmd;  // 0x43 (one-byte page numbers) or 0x44 (two-byte numbers)
    bool sectors;      // its erase units are called sectors
    uint32_t flashBase;
    std::vector<UnitRun> bank;  // one bank at the largest flash size, in address order
    uint32_t banks;             // 1 or 2
    uint32_t bank2Base;         // address of bank 2; 0: right behind bank 1
    uint32_t defaultKiB;        // the simulator's flash size unless told otherwise
    uint32_t flashSizeReg;      // address of the 16-bit flash size in KiB; 0: none
    uint32_t optionBase;
    uint32_t optionSize;  // bytes; 0 when they cannot be read through the bootloader
    RdpField rdp;
    uint32_t massEraseTypMs;
    uint32_t massEraseMaxMs;
    uint32_t programUnit;   // bytes one programming operation writes
    uint32_t programTypNs;  // one operation, typical
    uint32_t programMaxNs;
    uint32_t writeAlign;  // bytes a Write Memory address must be a multiple of
    uint32_t startupUs;   // how long the bootloader may take to listen after reset
};

// A chip whose bootloader, in some versions, needs its erases driven otherwise. The versions
// at fault are told apart only by the bootloader ID in system memory, which is not read (and
// cannot be on a protected chip), so every bootloader of such a chip is driven the safe way.
struct EraseQuirk {
    enum Kind {
        OneUnitPerCommand,  // multi-unit erases go wrong: one unit a command
        EarlyAckInBank2,    // a bank-2 erase is ACKed before it is done: its worst case after
    };
    const char* key;  // the chip's
    Kind kind;
    uint32_t pauseMs;  // to wait after each erase's ACK
};

const std::vector<Chip>& AllChips();
const std::vector<EraseQuirk>& EraseQuirks();
// The quirk of this chip's bootloader, or null.
const EraseQuirk* FindEraseQuirk(const Chip& chip);
// The longest start-up of any chip: the wait to try when nothing answered after a short one.
uint32_t LongestStartupUs();
const Chip* FindChipByKey(const std::string& key);
const Chip* FindChipByPid(uint16_t pid);

// The largest flash the chip's layout holds, in KiB.
uint32_t MaxFlashKiB(const Chip& chip);

// One erase unit as the bootloader numbers it.
struct EraseUnit {
    uint32_t address;
    uint32_t size;
    uint16_t index;
    uint32_t eraseTypMs;
    uint32_t eraseMaxMs;
    uint8_t bank;  // 1 or 2
};

// The units of the chip with flashKiB of flash, in address order. Each bank keeps the first
// units of its layout that make up its half (or all) of the size; bank 2's numbers start
// where a full bank 1's end. Empty when the size is 0, above the largest, or not a whole
// number of units in each bank.
std::vector<EraseUnit> FlashUnits(const Chip& chip, uint32_t flashKiB);

// The unit holding address, or null.
const EraseUnit* UnitAt(const std::vector<EraseUnit>& units, uint32_t address);

// e.g. "64 pages of 1 KiB" or "4 x 16 KiB + 64 KiB + 7 x 128 KiB sectors in each of 2 banks".
std::string LayoutText(const Chip& chip, uint32_t flashKiB);

}  // namespace chips
