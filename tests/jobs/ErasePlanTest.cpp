// The erase plan alone: built from the option and an image, no target.
#include <gtest/gtest.h>

#include <ostream>

#include "ErasePlan.h"

using Step = CErasePlan::Step;
// Global, where the standard algorithms find it beside the type.
static bool operator==(const Step& a, const Step& b) {
    return a.firstPage == b.firstPage && a.pageCount == b.pageCount && a.waitMs == b.waitMs &&
           a.afterMs == b.afterMs;
}
static std::ostream& operator<<(std::ostream& out, const Step& s) {
    return out << "{" << s.firstPage << ", " << s.pageCount << ", " << s.waitMs << ", " << s.afterMs
               << "}";
}

namespace {

// One 1024-byte page per flag, the flag saying whether the file gave it data.
void Fill(FlashImage& image, const std::vector<bool>& hasData) {
    for (size_t i = 0; i < hasData.size(); ++i) {
        image.AddPage(1024, static_cast<int32_t>(i))->hasData = hasData[i];
    }
}

TEST(ErasePlanTest, EraseAllIsOneWholeFlashEraseAndNoPageErases) {
    FlashImage image;
    Fill(image, {true, false, true});
    const CErasePlan plan(true, image, PageLayout{0x08000000, 1024, 0}, 0x44);
    EXPECT_TRUE(plan.ErasesWholeFlash());
    EXPECT_EQ(plan.Command(), CErasePlan::Form::Extended);
    EXPECT_TRUE(plan.PageSteps().empty());
}

TEST(ErasePlanTest, PageModeErasesEachPageWithDataInOrder) {
    FlashImage image;
    Fill(image, {true, true, true});
    const CErasePlan plan(false, image, PageLayout{0x08000000, 1024, 0}, 0x43);
    EXPECT_EQ(plan.Command(), CErasePlan::Form::Basic);
    EXPECT_EQ(plan.PageSteps(), (std::vector<Step>{{0, 1}, {1, 1}, {2, 1}}));
}

TEST(ErasePlanTest, GapPagesAreLeftAloneAndNumberingFollowsTheLayout) {
    FlashImage image;
    Fill(image, {false, true, false, true});
    const CErasePlan plan(false, image, PageLayout{0x08004000, 2048, 8}, 0x45);
    EXPECT_EQ(plan.Command(), CErasePlan::Form::None);
    EXPECT_EQ(plan.PageSteps(), (std::vector<Step>{{9, 1}, {11, 1}}));
    EXPECT_TRUE(plan.LeavesAlone(0) && plan.LeavesAlone(2) && !plan.LeavesAlone(3));
    Step step{};
    EXPECT_FALSE(plan.ErasesBefore(2, &step));
    EXPECT_EQ(plan.PageAddress(3), 0x08004000u + 3 * 2048);
}

// Sectors of mixed size: each sector the image touches is erased once, before its first
// page with data, with its own worst case; pages without data are never written.
TEST(ErasePlanTest, UnitsAreErasedOnceEachWithTheirWorstCase) {
    FlashImage image;
    // Pages 0-1 in sector 0 (2 KiB), pages 2-5 in sector 1 (4 KiB), page 6 beyond the flash.
    Fill(image, {false, true, true, false, true, false, false});
    PageLayout layout{0x08000000, 1024, 0};
    layout.units = {{0x08000000, 2048, 0, 5, 50, 1}, {0x08000800, 4096, 7, 9, 90, 1}};
    layout.wholeFlashWaitMs = 500;
    const CErasePlan plan(false, image, layout, 0x44);
    EXPECT_EQ(plan.PageSteps(), (std::vector<Step>{{0, 1, 50}, {7, 1, 90}}));
    Step step{};
    EXPECT_TRUE(plan.ErasesBefore(1, &step));
    EXPECT_FALSE(plan.ErasesBefore(4, &step)) << "sector 7 was erased before page 2";
    EXPECT_TRUE(plan.LeavesAlone(0) && plan.LeavesAlone(3) && plan.LeavesAlone(6));
    EXPECT_FALSE(plan.LeavesAlone(2));
    const CErasePlan all(true, image, layout, 0x44);
    EXPECT_TRUE(all.PageSteps().empty());
    EXPECT_EQ(all.WholeFlash(), (Step{0, CErasePlan::kWholeFlash, 500}));
    EXPECT_TRUE(all.LeavesAlone(3)) << "after a whole-flash erase, empty pages stay unwritten";
}

// Neighbouring units go in one erase command, waited for the sum of their worst cases; a gap,
// the bank boundary or the most one command names starts another; quirky bootloaders get their
// waits after the ACK.
TEST(ErasePlanTest, NeighbouringUnitsGoInOneCommand) {
    const std::vector<chips::EraseUnit> units = {
        {0x08000000, 1024, 0, 5, 10, 1}, {0x08000400, 1024, 1, 5, 20, 1},
        {0x08000800, 1024, 2, 5, 30, 1}, {0x08001000, 1024, 4, 5, 40, 1},
        {0x08001400, 1024, 5, 5, 50, 2}, {0x08001800, 1024, 6, 5, 60, 2}};
    const struct {
        const char* name;
        uint32_t perErase, pause;
        bool earlyBank2;
        std::vector<Step> steps;
    } cases[] = {
        {"Runs", 255, 0, false, {{0, 3, 60}, {4, 1, 40}, {5, 2, 110}}},
        {"TwoAtMost", 2, 0, false, {{0, 2, 30}, {2, 1, 30}, {4, 1, 40}, {5, 2, 110}}},
        {"OneByOneWithAPause",
         1,
         40,
         false,
         {{0, 1, 10, 40},
          {1, 1, 20, 40},
          {2, 1, 30, 40},
          {4, 1, 40, 40},
          {5, 1, 50, 40},
          {6, 1, 60, 40}}},
        {"Bank2AckedEarly", 255, 0, true, {{0, 3, 60}, {4, 1, 40}, {5, 2, 110, 110}}},
    };
    for (const auto& c : cases) {
        PageLayout layout{0x08000000, 1024, 0};
        layout.unitsPerErase = c.perErase;
        layout.pauseAfterEraseMs = c.pause;
        layout.earlyAckInBank2 = c.earlyBank2;
        std::vector<size_t> firsts;
        EXPECT_EQ(CErasePlan::Runs(units, layout, &firsts), c.steps) << c.name;
        ASSERT_EQ(firsts.size(), c.steps.size()) << c.name;
        for (size_t r = 0; r < firsts.size(); ++r) {
            EXPECT_EQ(units[firsts[r]].index, c.steps[r].firstPage) << c.name;
        }
    }
}

}  // namespace
