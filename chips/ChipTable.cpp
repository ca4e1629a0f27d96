// The chip table. Values marked "unconfirmed" were not found in a vendor document and are
// our plausible choice; correct them here and nowhere else.
#include "Chips.h"

namespace chips {

const std::vector<Chip>& AllChips() {
    static const std::vector<Chip> table = {
        // F1 medium density: 1 KiB pages, 0x43 with one-byte numbers.
        {"f103",
         "STM32F10x medium density",
         0x0410,
         0x22,
         11,
         0x43,
         false,
         0x08000000,
         {{1024, 128, 20, 40}},
         1,
         0,
         64,
         0x1FFFF7E0,
         0x1FFFF800,
         16,
         {0, 0xA5, 0xA5},
         40,
         40,
         2,
         52500,
         70000,
         4},
    };
    return table;
}

}  // namespace chips
