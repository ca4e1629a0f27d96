// What programming erases, when, and with which bootloader command.
#pragma once

#include <cstdint>
#include <vector>

#include "FlashImage.h"
#include "IspProtocol.h"

// Where the image's pages sit on the target; one image page is one erasable page.
struct PageLayout {
    uint32_t base;       // address of image page 0
    uint32_t pageSize;   // bytes per page
    uint16_t firstPage;  // the target's number for image page 0
};

// Built once per programming run from the erase option and the loaded image: either the
// whole flash up front, or each page the file gives data to, just before its first block.
class CErasePlan {
public:
    // The bootloader's erase command (0x43 basic, 0x44 extended), or neither.
    enum class Form { None, Basic, Extended };
    static constexpr uint16_t kWholeFlash = 0xFFFF;

    // pageCount pages from firstPage; kWholeFlash as the count erases everything.
    struct Step {
        uint16_t firstPage;
        uint16_t pageCount;
    };

    // eraseCommand: the bootloader's erase slot as its Get reply listed it.
    CErasePlan(bool eraseAll, const FlashImage& image, const PageLayout& layout,
               unsigned char eraseCommand);

    static Form FormOf(unsigned char eraseCommand);
    static Step WholeFlash() { return Step{0, kWholeFlash}; }

    bool ErasesWholeFlash() const { return m_eraseAll; }
    Form Command() const { return m_form; }
    // The page erases in the order they go out; empty when the whole flash goes first.
    std::vector<Step> PageSteps() const;
    // True, filling step, when image page i is erased before its first block.
    bool ErasesBefore(uint32_t imagePage, Step* step) const;
    // A page page mode neither erases, writes nor verifies; it still counts on the bar.
    bool LeavesAlone(uint32_t imagePage) const;
    uint32_t PageAddress(uint32_t imagePage) const;

    // Sends step in the plan's form; 0 without sending when the bootloader has none.
    int Send(CIspProtocol& isp, const Step& step) const;

private:
    bool m_eraseAll;
    Form m_form;
    PageLayout m_layout;
    std::vector<Step> m_byImagePage;  // pageCount 0: nothing erased before that page
};
