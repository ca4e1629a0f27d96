// The page store on its own: zero-filled blocks, the chain, the capacity limit, Clear.
#include <gtest/gtest.h>

#include "FlashImage.h"

namespace {

bool AllBytesAre(const FlashPage* page, uint8_t value) {
    for (uint32_t i = 0; i < page->capacity; ++i) {
        if (page->data[i] != value) return false;
    }
    return true;
}

TEST(FlashPages, NewImageHasNoPages) {
    FlashImage image;
    EXPECT_EQ(image.PageCount(), 0u);
    EXPECT_EQ(image.TotalBytes(), 0u);
    EXPECT_EQ(image.FindPage(0), nullptr);
}

TEST(FlashPages, AddedPageIsZeroFilledWithItsBytesBehindTheHeader) {
    FlashImage image;
    FlashPage* page = image.AddPage(1024, 0);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->data, reinterpret_cast<unsigned char*>(page + 1));
    EXPECT_EQ(page->capacity, 1024u);
    EXPECT_EQ(page->length, 0u);
    EXPECT_EQ(page->index, 0);
    EXPECT_FALSE(page->hasData);
    EXPECT_EQ(page->next, nullptr);
    EXPECT_TRUE(AllBytesAre(page, 0x00));
    EXPECT_EQ(image.PageCount(), 1u);
    EXPECT_EQ(image.TotalBytes(), 0u);
}

TEST(FlashPages, PagesChainInIndexOrderAndAreFoundByIndex) {
    FlashImage image;
    FlashPage* pages[3];
    for (int i = 0; i < 3; ++i) {
        pages[i] = image.AddPage(64, i);
        ASSERT_NE(pages[i], nullptr);
    }
    EXPECT_EQ(image.PageCount(), 3u);
    EXPECT_EQ(image.FindPage(0), pages[0]);
    EXPECT_EQ(pages[0]->next, pages[1]);
    EXPECT_EQ(pages[1]->next, pages[2]);
    EXPECT_EQ(pages[2]->next, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(image.FindPage(i), pages[i]) << i;
    EXPECT_EQ(image.FindPage(3), nullptr);
    EXPECT_EQ(image.FindPage(-1), nullptr);
}

TEST(FlashPages, EveryPageOfAFullImageIsFoundByItsIndex) {
    FlashImage image;
    const int32_t pages = static_cast<int32_t>(FlashImage::kMaxPages);
    for (int32_t i = 0; i < pages; ++i) ASSERT_NE(image.AddPage(16, i), nullptr) << i;
    const FlashPage* walked = image.FindPage(0);
    for (int32_t i = 0; i < pages; walked = walked->next, ++i) {
        ASSERT_EQ(image.FindPage(i), walked) << i;
    }
    EXPECT_EQ(image.FindPage(pages), nullptr);
}

TEST(FlashPages, CapacityAbove1024IsRefusedAndChangesNothing) {
    FlashImage image;
    ASSERT_NE(image.AddPage(16, 0), nullptr);
    EXPECT_EQ(image.AddPage(1025, 1), nullptr);
    EXPECT_EQ(image.PageCount(), 1u);
    EXPECT_EQ(image.FindPage(0)->next, nullptr);
    EXPECT_EQ(image.FindPage(1), nullptr);
    // The refused page did not take the index either.
    EXPECT_NE(image.AddPage(1024, 1), nullptr);
    EXPECT_EQ(image.PageCount(), 2u);
}

TEST(FlashPages, IndexThatDoesNotContinueTheChainIsRefused) {
    FlashImage image;
    EXPECT_EQ(image.AddPage(16, 1), nullptr);
    EXPECT_EQ(image.PageCount(), 0u);
    ASSERT_NE(image.AddPage(16, 0), nullptr);
    EXPECT_EQ(image.AddPage(16, 0), nullptr);
    EXPECT_EQ(image.AddPage(16, 2), nullptr);
    EXPECT_EQ(image.PageCount(), 1u);
    EXPECT_EQ(image.FindPage(0)->next, nullptr);
    EXPECT_EQ(image.FindPage(1), nullptr);
    EXPECT_EQ(image.FindPage(2), nullptr);
}

TEST(FlashPages, TotalBytesSumsTheLengthsNotTheCapacities) {
    FlashImage image;
    image.AddPage(1024, 0)->length = 1024;
    image.AddPage(1024, 1)->length = 10;
    image.AddPage(512, 2)->length = 0;
    EXPECT_EQ(image.TotalBytes(), 1034u);
}

TEST(FlashPages, ClearEmptiesTheImageAndLetsItStartAgainAtIndexZero) {
    FlashImage image;
    for (int i = 0; i < 5; ++i) image.AddPage(1024, i)->length = 1024;
    EXPECT_EQ(image.Clear(), 1);
    EXPECT_EQ(image.PageCount(), 0u);
    EXPECT_EQ(image.TotalBytes(), 0u);
    EXPECT_EQ(image.FindPage(0), nullptr);

    FlashPage* page = image.AddPage(1024, 0);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(AllBytesAre(page, 0x00));
    EXPECT_EQ(image.PageCount(), 1u);
    EXPECT_EQ(image.FindPage(0), page);
    EXPECT_EQ(image.FindPage(1), nullptr);
}

TEST(FlashPages, ClearOnAnEmptyImageSucceeds) {
    FlashImage image;
    EXPECT_EQ(image.Clear(), 1);
    EXPECT_EQ(image.PageCount(), 0u);
}

}  // namespace
