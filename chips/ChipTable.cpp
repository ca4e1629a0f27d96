// The chip table. Values marked "unconfirmed" were not found in a vendor document and are
// our plausible choice; correct them here and nowhere else.
#include "Chips.h"

namespace chips {

const std::vector<Chip>& AllChips() {
    static const std::vector<Chip> table = {
        // One line each: identity and protocol; flash layout, banks and default size;
        // flash-size register, option bytes and RDP; mass erase, programming, write alignment,
        // and the wait after reset (the bootloader's minimum start-up, the longer where it
        // depends on the board, plus a quarter, in us).
        // clang-format off
        // F1 medium density: 1 KiB pages, 0x43 with one-byte numbers. Unconfirmed: option
        // bytes at 0x1FFFF800 and RDP 0xA5 for level 0.
        {"f103", "STM32F10x medium density", 0x0410, 0x22, 11, 0x43, false,
         0x08000000, {{1024, 128, 20, 40}}, 1, 0, 64,
         0x1FFFF7E0, 0x1FFFF800, 16, {0, 0xA5, 0xA5},
         40, 40, 2, 52500, 70000, 4, 1534},
        // F05x/F030x8. Unconfirmed: flash-size register, RDP levels, times.
        {"f030", "STM32F05x/F030x8", 0x0440, 0x31, 11, 0x44, false,
         0x08000000, {{1024, 64, 20, 40}}, 1, 0, 64,
         0x1FFFF7CC, 0x1FFFF800, 16, {0, 0xAA, 0xCC},
         20, 40, 2, 52500, 70000, 4, 2015},
        // F071/072. Unconfirmed: 128 KiB largest size, flash-size register, RDP levels, times.
        {"f072", "STM32F071/072", 0x0448, 0x31, 11, 0x44, false,
         0x08000000, {{2048, 64, 20, 40}}, 1, 0, 128,
         0x1FFFF7CC, 0x1FFFF800, 16, {0, 0xAA, 0xCC},
         20, 40, 2, 52500, 70000, 4, 73},
        // F1 high density. Unconfirmed: 2 KiB pages, option bytes, RDP value, times (F103xB's).
        {"f103hd", "STM32F10x high density", 0x0414, 0x22, 11, 0x43, false,
         0x08000000, {{2048, 256, 20, 40}}, 1, 0, 512,
         0x1FFFF7E0, 0x1FFFF800, 16, {0, 0xA5, 0xA5},
         40, 40, 2, 52500, 70000, 4, 1534},
        // F105/107 (BL V1.0/V2.0 say 0x20). Unconfirmed: 2 KiB pages, option bytes, RDP, times.
        {"f105", "STM32F105/107 connectivity line", 0x0418, 0x22, 11, 0x43, false,
         0x08000000, {{2048, 128, 20, 40}}, 1, 0, 256,
         0x1FFFF7E0, 0x1FFFF800, 16, {0, 0xA5, 0xA5},
         40, 40, 2, 52500, 70000, 4, 655470},
        // F2. Unconfirmed: protocol 0x33 (notes: V3.1), sectors, size register, options, times.
        {"f205", "STM32F2xx", 0x0411, 0x33, 12, 0x44, true,
         0x08000000, {{16384, 4, 400, 800}, {65536, 1, 1200, 2400}, {131072, 7, 2000, 4000}},
         1, 0, 512,
         0x1FFF7A22, 0x1FFFC000, 16, {1, 0xAA, 0xCC},
         16000, 32000, 1, 16000, 100000, 4, 167500},
        // F302/303xB/C. Unconfirmed: RDP levels, times.
        {"f303", "STM32F302/303xB/C", 0x0422, 0x31, 11, 0x44, false,
         0x08000000, {{2048, 128, 20, 40}}, 1, 0, 256,
         0x1FFFF7CC, 0x1FFFF800, 16, {0, 0xAA, 0xCC},
         20, 40, 2, 52500, 70000, 4, 54250},
        // F401xD/E. Unconfirmed: sectors and option bytes (the F40x's), times (the F407's).
        {"f401", "STM32F401xD/E", 0x0433, 0x31, 11, 0x44, true,
         0x08000000, {{16384, 4, 400, 800}, {65536, 1, 1200, 2400}, {131072, 3, 2000, 4000}},
         1, 0, 512,
         0x1FFF7A22, 0x1FFFC000, 16, {1, 0xAA, 0xCC},
         8000, 16000, 1, 16000, 100000, 4, 93125},
        // F40x/41x, all confirmed; times of the byte mode (x8) the bootloader starts in.
        {"f407", "STM32F405/407/415/417", 0x0413, 0x31, 11, 0x44, true,
         0x08000000, {{16384, 4, 400, 800}, {65536, 1, 1200, 2400}, {131072, 7, 2000, 4000}},
         1, 0, 1024,
         0x1FFF7A22, 0x1FFFC000, 16, {1, 0xAA, 0xCC},
         16000, 32000, 1, 16000, 100000, 4, 105738},
        // F42x/43x. Unconfirmed: times (the F407's). 1 MiB chips' bank 2 at 0x08080000 is not kept.
        {"f429", "STM32F427/429/437/439", 0x0419, 0x31, 11, 0x44, true,
         0x08000000, {{16384, 4, 400, 800}, {65536, 1, 1200, 2400}, {131072, 7, 2000, 4000}},
         2, 0x08100000, 2048,
         0x1FFF7A22, 0x1FFFC000, 16, {1, 0xAA, 0xCC},
         32000, 64000, 1, 16000, 100000, 4, 102500},
        // F74x/75x. Unconfirmed: sectors, size register, option bytes, RDP place, times.
        {"f746", "STM32F745/746/756", 0x0449, 0x31, 11, 0x44, true,
         0x08000000, {{32768, 4, 500, 1000}, {131072, 1, 1100, 2200}, {262144, 3, 2000, 4000}},
         1, 0, 1024,
         0x1FF0F442, 0x1FFF0000, 32, {1, 0xAA, 0xCC},
         16000, 32000, 1, 16000, 100000, 8, 20788},
        // G07x/08x. Unconfirmed: 128 KiB largest size, size register, RDP place/values, times.
        {"g071", "STM32G07x/08x", 0x0460, 0x31, 11, 0x44, false,
         0x08000000, {{2048, 64, 22, 40}}, 1, 0, 128,
         0x1FFF75E0, 0x1FFF7800, 128, {0, 0xAA, 0xCC},
         22, 40, 8, 85000, 125000, 4, 488},
        // G431/441. Unconfirmed: 2 KiB pages, option bytes, RDP place/values, times.
        {"g431", "STM32G431/441", 0x0468, 0x31, 11, 0x44, false,
         0x08000000, {{2048, 64, 22, 40}}, 1, 0, 128,
         0x1FFF75E0, 0x1FFF7800, 48, {0, 0xAA, 0xCC},
         22, 40, 8, 85000, 125000, 8, 488},
        // L07x. Unconfirmed: protocol, a single bank, size register, RDP place/values, times.
        {"l073", "STM32L07x", 0x0447, 0x31, 11, 0x44, false,
         0x08000000, {{128, 1536, 3, 4}}, 1, 0, 192,
         0x1FF8007C, 0x1FF80000, 32, {0, 0xAA, 0xCC},
         5000, 6100, 64, 3200000, 3940000, 8, 275},
        // L1xxx6/8/B. Unconfirmed: 256-byte pages, size register, option bytes, RDP, times.
        {"l152", "STM32L1xxx6/8/B", 0x0416, 0x30, 11, 0x44, false,
         0x08000000, {{256, 512, 4, 4}}, 1, 0, 128,
         0x1FF8004C, 0x1FF80000, 32, {0, 0xAA, 0xCC},
         1700, 2100, 128, 3200000, 3940000, 8, 678},
        // L47x/48x. Unconfirmed: page numbers across banks, size register, options, RDP, times.
        {"l476", "STM32L47x/48x", 0x0415, 0x31, 11, 0x44, false,
         0x08000000, {{2048, 256, 22, 25}}, 2, 0, 1024,
         0x1FFF75E0, 0x1FFF7800, 16, {0, 0xAA, 0xCC},
         22, 25, 8, 81700, 90800, 8, 3200000},
        // H74x/75x (V9.0 lists 13). Unconfirmed: banks, size register, option word, RDP, times.
        {"h743", "STM32H74x/75x", 0x0450, 0x31, 13, 0x44, true,
         0x08000000, {{131072, 8, 2000, 4000}}, 2, 0x08100000, 2048,
         0x1FF1E880, 0x5200201C, 4, {1, 0xAA, 0xCC},
         16000, 32000, 32, 16000, 100000, 8, 67469},
        // clang-format on
    };
    return table;
}

const std::vector<EraseQuirk>& EraseQuirks() {
    // Chips with a bootloader version whose erase must be driven otherwise (one line each).
    static const std::vector<EraseQuirk> quirks = {
        // G07x V11.3 mishandles multi-unit erases: one unit a command, 40 ms after each.
        {"g071", EraseQuirk::OneUnitPerCommand, 40},
        // H74x V9.1 answers a bank-2 erase before it is done: wait its worst case after the ACK.
        {"h743", EraseQuirk::EarlyAckInBank2, 0},
    };
    return quirks;
}

}  // namespace chips
