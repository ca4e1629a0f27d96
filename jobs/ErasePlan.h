// What programming erases, when, and with which bootloader command.
#pragma once

#include <cstdint>
#include <vector>

#include "Chips.h"
#include "FlashImage.h"
#include "IspProtocol.h"

// Where the image's pages sit on the target. Without erase units, one image page is one
// erasable page, numbered from firstPage; with them, each image page lies in one unit.
struct PageLayout {
    uint32_t base;       // address of image page 0
    uint32_t pageSize;   // bytes per page
    uint16_t firstPage;  // the target's number for image page 0
    // The chip's erase units; empty for the plain numbering above.
    std::vector<chips::EraseUnit> units = {};
    // Worst case of a whole-flash erase in ms; 0 to use the protocol's usual windows.
    uint32_t wholeFlashWaitMs = 0;
    // With erase units: how many units of a run (neighbours in one bank) one erase command may
    // name; 1 erases them one by one.
    uint32_t unitsPerErase = 1;
    // Waited after each erase's ACK, for a bootloader that needs it; and whether a bank-2
    // erase's ACK comes early, so that its worst case is waited after it too.
    uint32_t pauseAfterEraseMs = 0;
    bool earlyAckInBank2 = false;
};

// Built once per programming run from the erase option and the loaded image: either the
// whole flash up front, or each page (or erase unit) the file gives data to, just before
// its first block. With erase units, pages without data are never written: the flash there
// is left as it is, or was erased already.
class CErasePlan {
public:
    // The bootloader's erase command (0x43 basic, 0x44 extended), or neither.
    enum class Form { None, Basic, Extended };
    static constexpr uint16_t kWholeFlash = 0xFFFF;

    // pageCount pages from firstPage; kWholeFlash as the count erases everything. waitMs is
    // the erase's worst case when known, else 0; afterMs is waited once it is ACKed.
    struct Step {
        uint16_t firstPage;
        uint16_t pageCount;
        uint32_t waitMs = 0;
        uint32_t afterMs = 0;
    };

    // eraseCommand: the bootloader's erase slot as its Get reply listed it.
    CErasePlan(bool eraseAll, const FlashImage& image, const PageLayout& layout,
               unsigned char eraseCommand);

    static Form FormOf(unsigned char eraseCommand);
    Step WholeFlash() const { return Step{0, kWholeFlash, m_layout.wholeFlashWaitMs}; }

    bool ErasesWholeFlash() const { return m_eraseAll; }
    Form Command() const { return m_form; }
    // The page erases in the order they go out; empty when the whole flash goes first.
    std::vector<Step> PageSteps() const;
    // True, filling step, when image page i is erased before its first block.
    bool ErasesBefore(uint32_t imagePage, Step* step) const;
    // A page page mode neither erases, writes nor verifies; it still counts on the bar.
    bool LeavesAlone(uint32_t imagePage) const;
    uint32_t PageAddress(uint32_t imagePage) const;

    // Sends step in the plan's form, then waits its afterMs; 0 without sending when the
    // bootloader has none.
    int Send(CIspProtocol& isp, const Step& step) const;

    // The erase commands for units (in address order): neighbours in one bank go together,
    // up to layout.unitsPerErase a command, each waited for the sum of their worst cases.
    // *firsts (when not null) gets the place in units of each step's first unit.
    static std::vector<Step> Runs(const std::vector<chips::EraseUnit>& units,
                                  const PageLayout& layout, std::vector<size_t>* firsts = nullptr);

private:
    void PlanUnits(const FlashImage& image);

    bool m_eraseAll;
    Form m_form;
    PageLayout m_layout;
    std::vector<Step> m_byImagePage;  // pageCount 0: nothing erased before that page
    std::vector<bool> m_written;      // with erase units: the pages that are written
};
