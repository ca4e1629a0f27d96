// The erase plan alone: built from the option and an image, no target.
#include <gtest/gtest.h>

#include "ErasePlan.h"

using Step = CErasePlan::Step;
// Global, where the standard algorithms find it beside the type.
static bool operator==(const Step& a, const Step& b) {
    return a.firstPage == b.firstPage && a.pageCount == b.pageCount && a.waitMs == b.waitMs;
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
    layout.units = {{0x08000000, 2048, 0, 5, 50}, {0x08000800, 4096, 7, 9, 90}};
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

}  // namespace
