// The erase plan alone: built from the option and an image, no target.
#include <gtest/gtest.h>

#include "ErasePlan.h"

using Step = CErasePlan::Step;
// Global, where the standard algorithms find it beside the type.
static bool operator==(const Step& a, const Step& b) {
    return a.firstPage == b.firstPage && a.pageCount == b.pageCount;
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

}  // namespace
