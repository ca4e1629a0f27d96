// The committed fuzzer seeds load (or fail) the way their names say.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FlashImage.h"

namespace {

constexpr uint32_t kPage = 1024;
constexpr uint32_t kBase = 0x08000000;

class SeedCorpus : public ::testing::Test {
protected:
    int Load(const std::string& name) {
        return m_image.LoadHexFile(std::string(KESTREL_FUZZ_CORPUS) + "/" + name, kPage, kBase);
    }

    // The bytes of one page from offset on, as many as expected holds.
    void ExpectBytes(int32_t page, uint32_t offset, const std::vector<uint8_t>& expected) {
        const FlashPage* found = m_image.FindPage(page);
        ASSERT_NE(found, nullptr) << "page " << page;
        ASSERT_LE(offset + expected.size(), found->length);
        EXPECT_EQ(
            std::vector<uint8_t>(found->data + offset, found->data + offset + expected.size()),
            expected)
            << "page " << page << " offset " << offset;
    }

    FlashImage m_image;
};

TEST_F(SeedCorpus, TenBytesFillThemAndPadWithFF) {
    ASSERT_EQ(Load("ten-bytes.hex"), 1);
    EXPECT_EQ(m_image.PageCount(), 1u);
    ExpectBytes(0, 0, {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0xFF});
}

TEST_F(SeedCorpus, TwoSectionsLandEachBehindItsUpperAddress) {
    ASSERT_EQ(Load("two-sections.hex"), 1);
    // 0x08010100 is 64 KiB + 256 bytes above the base.
    EXPECT_EQ(m_image.PageCount(), 65u);
    ExpectBytes(0, 30, {30, 31, 0xFF});
    ExpectBytes(64, 255, {0xFF, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xFF});
}

TEST_F(SeedCorpus, BadChecksumFailsTheLoad) {
    EXPECT_EQ(Load("bad-checksum.hex"), 0);
    EXPECT_EQ(m_image.PageCount(), 0u);
}

TEST_F(SeedCorpus, LowerCaseDigitsLoad) {
    ASSERT_EQ(Load("lower-case.hex"), 1);
    ExpectBytes(0, 0, {0xAB, 0xCD, 0xEF, 0xFA, 0xCE, 0xFF});
}

TEST_F(SeedCorpus, RecordAfterEndOfFileStillCounts) {
    ASSERT_EQ(Load("after-eof.hex"), 1);
    EXPECT_EQ(m_image.PageCount(), 2u);
    ExpectBytes(0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 0xFF});
    ExpectBytes(1, 0, {0xDE, 0xAD, 0xBE, 0xEF, 0xFF});
}

TEST_F(SeedCorpus, SrecAndElfLandAtTheirAddresses) {
    const std::string corpus = KESTREL_FUZZ_CORPUS;
    ASSERT_EQ(m_image.LoadSrecFile(corpus + "/s-records.srec", kPage, kBase, nullptr), 1);
    ExpectBytes(0, 6, {0x70, 0x80, 0xFF});
    ExpectBytes(0, 16, {0xA1, 0xA2, 0xFF});
    // At its load address, not its run address in RAM.
    ASSERT_EQ(m_image.LoadElfFile(corpus + "/arm.elf", kPage, kBase, nullptr), 1);
    ExpectBytes(0, 0, {0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xFF});
}

}  // namespace
