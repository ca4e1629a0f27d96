// Whole files, HEX, S-record, ELF and raw binary: where the bytes land, what fills the rest,
// and which files are refused, why and on which line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

#include "ElfFile.h"
#include "FlashImage.h"
#include "HexTestKit.h"
#include "SRecord.h"

namespace {

constexpr uint32_t kBase = 0x08000000;
constexpr uint32_t kPage = 1024;

class LoadHexFile : public ::testing::Test {
protected:
    int Load(const std::string& text, uint32_t pageSize = kPage, uint32_t minAddress = kBase) {
        const std::string path = m_dir.File("firmware.hex");
        WriteText(path, text);
        return m_image.LoadHexFile(path, pageSize, minAddress);
    }

    int Load(const std::vector<std::string>& lines) { return Load(HexText(lines)); }

    // pages * pageSize bytes of 0xFF.
    static Bytes Blank(uint32_t pages, uint32_t pageSize = kPage) {
        return Bytes(static_cast<size_t>(pages) * pageSize, 0xFF);
    }

    static void Put(Bytes& image, uint32_t offset, const Bytes& data) {
        std::copy(data.begin(), data.end(), image.begin() + offset);
    }

    void ExpectFailedAndEmpty() {
        EXPECT_EQ(m_image.PageCount(), 0u);
        EXPECT_EQ(m_image.TotalBytes(), 0u);
        EXPECT_EQ(m_image.FindPage(0), nullptr);
    }

    void ExpectImage(const Bytes& expected, uint32_t pageSize = kPage) {
        ExpectImageBytes(m_image, expected, pageSize);
    }

    // Indexes of the pages that say a data byte landed in them.
    std::vector<int32_t> PagesWithData() const {
        std::vector<int32_t> pages;
        for (uint32_t i = 0; i < m_image.PageCount(); ++i) {
            if (m_image.FindPage(static_cast<int32_t>(i))->hasData) {
                pages.push_back(static_cast<int32_t>(i));
            }
        }
        return pages;
    }

    CScratchDir m_dir;
    FlashImage m_image;
};

// The layouts that hold for every file that starts at the base and runs without gaps.

TEST_F(LoadHexFile, TenDataBytesGiveOnePagePaddedWithFF) {
    const Bytes data = Ramp(10, 0x30);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, data), EndLine()}), 1);
    Bytes expected = Blank(1);
    Put(expected, 0, data);
    ExpectImage(expected);
    EXPECT_EQ(m_image.PageCount(), 1u);
    EXPECT_EQ(m_image.TotalBytes(), 1024u);
}

TEST_F(LoadHexFile, ByteAfterAFullPageStartsASecondPagePaddedWithFF) {
    const Bytes data = RandomBytes(1025, 11);
    std::vector<std::string> lines = {UpperLine(0x0800)};
    for (uint32_t at = 0; at < data.size(); at += 16) {
        const size_t n = std::min<size_t>(16, data.size() - at);
        lines.push_back(
            DataLine(static_cast<uint16_t>(at), Bytes(data.begin() + at, data.begin() + at + n)));
    }
    lines.push_back(EndLine());
    ASSERT_EQ(Load(lines), 1);
    Bytes expected = Blank(2);
    Put(expected, 0, data);
    ExpectImage(expected);
    EXPECT_EQ(m_image.FindPage(1)->data[0], data[1024]);
}

TEST_F(LoadHexFile, ExactlyTwoPagesOfDataGetNoPadding) {
    const Bytes data = RandomBytes(2048, 12);
    std::vector<std::string> lines = {UpperLine(0x0800)};
    for (uint32_t at = 0; at < data.size(); at += 64) {
        lines.push_back(
            DataLine(static_cast<uint16_t>(at), Bytes(data.begin() + at, data.begin() + at + 64)));
    }
    lines.push_back(EndLine());
    ASSERT_EQ(Load(lines), 1);
    ExpectImage(data);
}

TEST_F(LoadHexFile, RecordReachingMinAddressOnItsOwnIsTakenBeforeAnyExtendedAddress) {
    // With a low minAddress the load offset alone is an address inside the image.
    const Bytes taken = Ramp(4, 0x50);
    ASSERT_EQ(Load(HexText({DataLine(0x0180, taken), EndLine()}), kPage, 0x0100), 1);
    Bytes expected = Blank(1);
    Put(expected, 0x80, taken);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, LowerAndUpperCaseDigitsLoadTheSameImage) {
    const std::vector<std::string> lines = {UpperLine(0x0800), DataLine(0x0000, Ramp(16, 0xA5)),
                                            DataLine(0x0010, Ramp(16, 0xDE)), EndLine()};
    std::string lower = HexText(lines);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    ASSERT_EQ(Load(lower), 1);
    const Bytes fromLower = ImageBytes(m_image);
    ASSERT_EQ(Load(lines), 1);
    EXPECT_EQ(ImageBytes(m_image), fromLower);
    EXPECT_EQ(fromLower[0], 0xA5);
    EXPECT_EQ(fromLower[16], 0xDE);
}

TEST_F(LoadHexFile, RecordTypes03And05ChangeNothing) {
    const std::vector<std::string> plain = {UpperLine(0x0800), DataLine(0x0000, Ramp(32)),
                                            EndLine()};
    ASSERT_EQ(Load(plain), 1);
    const Bytes reference = ImageBytes(m_image);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(32)),
                    HexLine(0x03, 0, {0x00, 0x00, 0x12, 0x34}),
                    HexLine(0x05, 0, {0x08, 0x00, 0x01, 0x01}), EndLine()}),
              1);
    EXPECT_EQ(ImageBytes(m_image), reference);
}

TEST_F(LoadHexFile, SegmentAddressRecordSetsTheBaseUntilTheNextBaseRecordOfEitherType) {
    const std::string segment = HexLine(0x02, 0, {0x10, 0x00});  // 0x1000 * 16 = 0x10000
    Bytes expected = Blank(1);
    Put(expected, 4, {1, 2});
    // Below the flash base, as every segment is.
    EXPECT_EQ(Load({segment, DataLine(0x0004, {1, 2}), EndLine()}), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(Load({UpperLine(0x0800), segment, DataLine(0x0004, {1, 2}), EndLine()}), 0);
    ASSERT_EQ(Load({segment, UpperLine(0x0800), DataLine(0x0004, {1, 2}), EndLine()}), 1);
    ExpectImage(expected);
    ASSERT_EQ(Load(HexText({segment, DataLine(0x0004, {1, 2}), EndLine()}), kPage, 0x10000), 1);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, LinesWithoutTerminatorOrWithBareNewlineLoad) {
    ASSERT_EQ(Load(UpperLine(0x0800) + "\n" + DataLine(0, {1, 2, 3}) + "\n" + EndLine()), 1);
    Bytes expected = Blank(1);
    Put(expected, 0, {1, 2, 3});
    ExpectImage(expected);
}

TEST_F(LoadHexFile, BlankLinesAnywhereAreSkipped) {
    const std::string upper = UpperLine(0x0800) + "\r\n";
    const std::string data = DataLine(0, {1, 2, 3}) + "\r\n";
    const std::string end = EndLine() + "\r\n";
    Bytes expected = Blank(1);
    Put(expected, 0, {1, 2, 3});
    const char* blanks[] = {"\r\n", "\n", " \r\n", "\t\n", " \t  \t\r\n"};
    for (const char* blank : blanks) {
        SCOPED_TRACE("blank line \"" + std::string(blank) + "\"");
        ASSERT_EQ(Load(blank + upper + data + blank + blank + end + blank), 1);
        ExpectImage(expected);
    }
    // The usual case: one empty line behind the end-of-file record, then the end of the file;
    // and a last line of blanks without a terminator.
    ASSERT_EQ(Load(upper + data + end + "\n"), 1);
    ExpectImage(expected);
    ASSERT_EQ(Load(upper + data + end + " \t "), 1);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, FileOfBlankLinesOnlyFails) {
    EXPECT_EQ(Load(std::string("\r\n  \n\t\r\n")), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, ReloadReplacesTheEarlierImage) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x1000, {7}), EndLine()}), 1);
    ASSERT_EQ(m_image.PageCount(), 5u);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, {8}), EndLine()}), 1);
    Bytes expected = Blank(1);
    expected[0] = 8;
    ExpectImage(expected);
    EXPECT_EQ(PagesWithData(), std::vector<int32_t>{0});
}

// How many addresses the file gave bytes to: each once, however often it is given.
TEST_F(LoadHexFile, DataBytesCountEachAddressOnce) {
    const struct {
        const char* name;
        std::vector<std::string> lines;
        uint32_t count;
    } cases[] = {
        {"one record", {UpperLine(0x0800), DataLine(0x0000, Ramp(10)), EndLine()}, 10},
        {"given twice alike",
         {UpperLine(0x0800), DataLine(0x0000, Ramp(16)), DataLine(0x0000, Ramp(16)), EndLine()},
         16},
        {"overlapping",
         {UpperLine(0x0800), DataLine(0x0000, Ramp(16)), DataLine(0x0008, Ramp(16)), EndLine()},
         24},
        {"pages apart",
         {UpperLine(0x0800), DataLine(0x0000, Ramp(4)), DataLine(0x4000, Ramp(4)), EndLine()},
         8},
        {"across a page boundary", {UpperLine(0x0800), DataLine(0x03F8, Ramp(16)), EndLine()}, 16},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Load(c.lines), 1) << c.name;
        EXPECT_EQ(m_image.DataBytes(), c.count) << c.name;
    }
    ASSERT_EQ(Load({UpperLine(0x0800), EndLine()}), 0);
    EXPECT_EQ(m_image.DataBytes(), 0u) << "a failed load counts nothing";
}

// Which pages the file gave bytes to.

TEST_F(LoadHexFile, DataAt0x08004000OnlyMarksPage16AndNotThePagesBeforeIt) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x4000, Ramp(16)), EndLine()}), 1);
    ASSERT_EQ(m_image.PageCount(), 17u);
    EXPECT_EQ(PagesWithData(), std::vector<int32_t>{16});
}

TEST_F(LoadHexFile, GapPageBetweenSectionsHasNoData) {
    // Page 1 untouched; page 2 given only a byte of 0xFF, which the file still asked for; a
    // record across pages 3 and 4.
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(16)), DataLine(0x0BFF, {0xFF}),
                    DataLine(0x0FF8, Ramp(16)), EndLine()}),
              1);
    ASSERT_EQ(m_image.PageCount(), 5u);
    EXPECT_EQ(PagesWithData(), (std::vector<int32_t>{0, 2, 3, 4}));
}

// Bytes land at their address.

TEST_F(LoadHexFile, RecordsAtOffsets0And0x100Land256BytesApartWithFFBetween) {
    const Bytes first = Ramp(16, 0x00);
    const Bytes second = Ramp(16, 0x80);
    ASSERT_EQ(
        Load({UpperLine(0x0800), DataLine(0x0000, first), DataLine(0x0100, second), EndLine()}), 1);
    Bytes expected = Blank(1);
    Put(expected, 0, first);
    Put(expected, 256, second);
    ExpectImage(expected);
    EXPECT_EQ(m_image.FindPage(0)->data[16], 0xFF);
    EXPECT_EQ(m_image.FindPage(0)->data[255], 0xFF);
}

TEST_F(LoadHexFile, RecordsOutOfOrderLandByAddress) {
    const Bytes a = Ramp(16, 0x10);
    const Bytes b = Ramp(16, 0x20);
    const Bytes c = Ramp(16, 0x30);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0820, c), DataLine(0x0000, a),
                    DataLine(0x0010, b), EndLine()}),
              1);
    Bytes expected = Blank(3);
    Put(expected, 0x000, a);
    Put(expected, 0x010, b);
    Put(expected, 0x820, c);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, GapInsideAPageIsFF) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(5, 1)), DataLine(0x0011, Ramp(3, 9)),
                    DataLine(0x03FD, Ramp(3, 0x77)), EndLine()}),
              1);
    Bytes expected = Blank(1);
    Put(expected, 0x000, Ramp(5, 1));
    Put(expected, 0x011, Ramp(3, 9));
    Put(expected, 0x3FD, Ramp(3, 0x77));
    ExpectImage(expected);
}

TEST_F(LoadHexFile, GapAcrossPagesLeavesWholePagesOfFF) {
    const Bytes low = RandomBytes(40, 21);
    const Bytes high = RandomBytes(40, 22);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x03F0, low), DataLine(0x1C10, high), EndLine()}),
              1);
    Bytes expected = Blank(8);
    Put(expected, 0x03F0, low);  // runs over into page 1
    Put(expected, 0x1C10, high);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, RecordCrossingAPageBoundarySplitsAcrossBothPages) {
    const Bytes data = Ramp(64, 0xC0);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x03E0, data), EndLine()}), 1);
    ASSERT_EQ(m_image.PageCount(), 2u);
    EXPECT_EQ(m_image.FindPage(0)->data[0x3FF], data[31]);
    EXPECT_EQ(m_image.FindPage(1)->data[0], data[32]);
    EXPECT_EQ(m_image.FindPage(1)->data[31], data[63]);
    EXPECT_EQ(m_image.FindPage(1)->data[32], 0xFF);
}

TEST_F(LoadHexFile, FileStartingAboveTheBaseHasPagesOfFFBeforeIt) {
    const Bytes data = Ramp(16, 0x42);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x1004, data), EndLine()}), 1);
    Bytes expected = Blank(5);
    Put(expected, 0x1004, data);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, ExtendedAddressRecordMovesDataIntoTheNext64KiB) {
    const Bytes low = Ramp(4, 1);
    const Bytes high = Ramp(4, 5);
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0xFFFC, low), UpperLine(0x0801),
                    DataLine(0x0000, high), EndLine()}),
              1);
    Bytes expected = Blank(65);
    Put(expected, 0xFFFC, low);
    Put(expected, 0x10000, high);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, LaterRecordOverwritesAByteGivenBefore) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(8, 0)), DataLine(0x0004, {0xAB, 0xCD}),
                    EndLine()}),
              1);
    Bytes expected = Blank(1);
    Put(expected, 0, {0, 1, 2, 3, 0xAB, 0xCD, 6, 7});
    ExpectImage(expected);
}

TEST_F(LoadHexFile, DataBehindTheEndOfFileRecordIsPlacedByAddressAndPadded) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(16)), EndLine(),
                    DataLine(0x0400, {0x5A, 0x5B}), DataLine(0x0008, {0xEE})}),
              1);
    Bytes expected = Blank(2);
    Put(expected, 0, Ramp(16));
    expected[8] = 0xEE;
    Put(expected, 0x400, {0x5A, 0x5B});
    ExpectImage(expected);
}

TEST_F(LoadHexFile, SmallPagesHoldTheSameBytes) {
    ASSERT_EQ(Load(HexText({UpperLine(0x0800), DataLine(0x0005, Ramp(20, 1)), EndLine()}), 16), 1);
    Bytes expected = Blank(2, 16);
    Put(expected, 5, Ramp(20, 1));
    ExpectImage(expected, 16);
}

TEST_F(LoadHexFile, LastByteOfTheLastAllowedPageLoads) {
    ASSERT_EQ(FlashImage::kMaxPages, 16383u);
    ASSERT_EQ(Load({UpperLine(0x08FF), DataLine(0xFBFF, {0x3C}), EndLine()}), 1);
    EXPECT_EQ(m_image.PageCount(), 16383u);
    EXPECT_EQ(m_image.TotalBytes(), 16383u * 1024u);
    const Bytes actual = ImageBytes(m_image);
    ASSERT_EQ(actual.size(), 16383u * 1024u);
    EXPECT_EQ(actual.back(), 0x3C);
    EXPECT_EQ(std::count(actual.begin(), actual.end(), 0xFF),
              static_cast<std::ptrdiff_t>(actual.size() - 1));
}

// Files that are refused: result 0 and nothing left in the image.

TEST_F(LoadHexFile, ByteInPage16383OrAboveFails) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0, {1}), EndLine()}), 1);
    // First byte of page 16383, the last byte of 16 MiB, and the byte behind them.
    const struct {
        uint16_t upper;
        uint16_t offset;
    } bytes[] = {{0x08FF, 0xFC00}, {0x08FF, 0xFFFF}, {0x0900, 0x0000}};
    for (const auto& at : bytes) {
        EXPECT_EQ(Load({UpperLine(at.upper), DataLine(at.offset, {0x01}), EndLine()}), 0)
            << std::hex << at.upper << ":" << at.offset;
        ExpectFailedAndEmpty();
    }
}

TEST_F(LoadHexFile, RecordRunningIntoPage16383Fails) {
    EXPECT_EQ(Load({UpperLine(0x08FF), DataLine(0xFBFE, {1, 2, 3}), EndLine()}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, PageCapCountsPagesOfTheGivenSize) {
    // 16-byte pages: the cap falls at offset 16383 * 16 = 0x3FFF0, far below 16 MiB.
    ASSERT_EQ(Load(HexText({UpperLine(0x0803), DataLine(0xFFEF, {0x42}), EndLine()}), 16), 1);
    EXPECT_EQ(m_image.PageCount(), 16383u);
    EXPECT_EQ(m_image.FindPage(16382)->data[15], 0x42);
    EXPECT_EQ(Load(HexText({UpperLine(0x0803), DataLine(0xFFF0, {0x42}), EndLine()}), 16), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, OptionByteRecordFails) {
    // The option bytes of an F1 chip sit at 0x1FFFF800.
    EXPECT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(16)), UpperLine(0x1FFF),
                    DataLine(0xF800, {0xA5, 0x5A, 0xFF, 0x00}), EndLine()}),
              0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, DataBeforeTheFirstExtendedAddressRecordBelowTheBaseFails) {
    const std::vector<std::string> rest = {UpperLine(0x0800), DataLine(0x0000, Ramp(8)), EndLine()};
    ASSERT_EQ(Load(rest), 1);
    std::vector<std::string> lines = {DataLine(0x0000, Ramp(16, 0xA0))};
    lines.insert(lines.end(), rest.begin(), rest.end());
    EXPECT_EQ(Load(lines), 0);
    ExpectFailedAndEmpty();
    // The first byte below a low minAddress, the others above it.
    EXPECT_EQ(Load(HexText({DataLine(0x00FF, Ramp(4)), DataLine(0x0180, Ramp(4)), EndLine()}),
                   kPage, 0x0100),
              0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, FileWithoutDataBytesFails) {
    const std::vector<std::vector<std::string>> files = {
        {EndLine()},
        {UpperLine(0x0800), UpperLine(0x0801), EndLine()},
        {UpperLine(0x0800), DataLine(0x0000, {}), EndLine()},
    };
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(Load(files[i]), 0) << "file " << i;
        ExpectFailedAndEmpty();
    }
}

TEST_F(LoadHexFile, DataBelowMinAddressAfterAnExtendedAddressFails) {
    EXPECT_EQ(Load({UpperLine(0x0000), DataLine(0x0000, Ramp(16)), EndLine()}), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(Load({UpperLine(0x07FF), DataLine(0xFFFF, {1, 2}), EndLine()}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, RecordRunningOffTheTopOfTheAddressSpaceFails) {
    // With minAddress this high, bytes past 0xFFFFFFFF would still be below the page cap.
    EXPECT_EQ(Load(HexText({UpperLine(0xFFFF), DataLine(0xFFF0, Ramp(32)), EndLine()}), kPage,
                   0xFFFFFF00),
              0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, LastByteOfTheAddressSpaceLoads) {
    ASSERT_EQ(Load(HexText({UpperLine(0xFFFF), DataLine(0xFFF0, Ramp(16, 1)), EndLine()}), kPage,
                   0xFFFFFF00),
              1);
    Bytes expected = Blank(1);
    Put(expected, 0xF0, Ramp(16, 1));
    ExpectImage(expected);
}

TEST_F(LoadHexFile, WrongChecksumFailsWithAnEmptyImage) {
    std::string bad = DataLine(0x0010, Ramp(16));
    bad.back() = (bad.back() == '0') ? '1' : '0';
    EXPECT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(16)), bad, EndLine()}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, LineWithoutColonFails) {
    EXPECT_EQ(Load({UpperLine(0x0800), DataLine(0, Ramp(4)).substr(1), EndLine()}), 0);
    ExpectFailedAndEmpty();
    // Leading blanks are not a blank line.
    EXPECT_EQ(Load({UpperLine(0x0800), "  " + DataLine(0, Ramp(4)), EndLine()}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, InvalidLineAfterTheEndOfFileRecordStillFails) {
    EXPECT_EQ(Load({UpperLine(0x0800), DataLine(0, Ramp(4)), EndLine(), "garbage"}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, RecordOfSixtyFiveBytesFails) {
    EXPECT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(65)), EndLine()}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, RecordOfSixtyFourBytesLoads) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0x0000, Ramp(64, 3)), EndLine()}), 1);
    Bytes expected = Blank(1);
    Put(expected, 0, Ramp(64, 3));
    ExpectImage(expected);
}

TEST_F(LoadHexFile, StrictRulesTakeRecordsOfUpTo255Bytes) {
    const std::string path = m_dir.File("long.hex");
    WriteText(path, HexText({UpperLine(0x0800), DataLine(0x0000, Ramp(255, 3)), EndLine()}));
    EXPECT_EQ(m_image.LoadHexFile(path, kPage, kBase), 0) << "the dialog's limit stays";
    LoadError error;
    ASSERT_EQ(m_image.LoadHexFile(path, kPage, kBase, HexRules::Strict, &error), 1)
        << static_cast<int>(error.fault) << " line " << error.line;
    Bytes expected = Blank(1);
    Put(expected, 0, Ramp(255, 3));
    ExpectImage(expected);
    EXPECT_EQ(CheckHexFile(path, HexRules::Strict, &error), 1);
}

TEST_F(LoadHexFile, TruncatedLineFails) {
    const std::string full = DataLine(0x0000, Ramp(32));
    EXPECT_EQ(Load({UpperLine(0x0800), full.substr(0, full.size() - 10), EndLine()}), 0);
    ExpectFailedAndEmpty();
    // Truncated at the very end of the file, with no terminator behind it.
    EXPECT_EQ(Load(HexText({UpperLine(0x0800), EndLine()}) + full.substr(0, 20)), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, NonHexCharactersFail) {
    // "0G" would pass the checksum if G counted as 16.
    EXPECT_EQ(Load({UpperLine(0x0800), ":010000000GEF", EndLine()}), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(Load({UpperLine(0x0800), "Hello, world", EndLine()}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, NulCharacterInsideALineFails) {
    std::string line = DataLine(0, {0x11, 0x22});
    line[10] = '\0';
    EXPECT_EQ(Load(HexText({UpperLine(0x0800), line, EndLine()})), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, ExtendedAddressRecordWithoutTwoBytesFails) {
    EXPECT_EQ(Load({HexLine(0x04, 0, {0x08}), DataLine(0, {1}), EndLine()}), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(Load({HexLine(0x04, 0, {0x08, 0x00, 0x00}), DataLine(0, {1}), EndLine()}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, LineLongerThan259CharactersIsReadInTwoPieces) {
    // The first piece is a record with filler behind its checksum; the second piece is a
    // line of its own, here garbage.
    const std::string record = DataLine(0x0000, Ramp(4));
    const std::string filler(259 - record.size(), ' ');
    EXPECT_EQ(Load({UpperLine(0x0800), record + filler + "tail", EndLine()}), 0);
    ExpectFailedAndEmpty();

    // Here the second piece is a valid end-of-file record, so the file loads.
    ASSERT_EQ(Load(HexText({UpperLine(0x0800), record + filler + EndLine()})), 1);
    Bytes expected = Blank(1);
    Put(expected, 0, Ramp(4));
    ExpectImage(expected);

    // Trailing blanks running past the limit make a blank second piece.
    ASSERT_EQ(Load({UpperLine(0x0800), record + filler + "   \t", EndLine()}), 1);
    ExpectImage(expected);
}

TEST_F(LoadHexFile, LinesCutByTheReaderBlockBoundaryLoadTheSameImage) {
    // The file is read in 64 KiB blocks. A blank first line of 0 to 360 spaces moves the
    // boundary through a whole record and through a long line: a record, filler up to the
    // 259-character limit, then the end-of-file record, with more records behind it.
    const Bytes data = RandomBytes(1460 * 16, 31);
    std::string body = HexText({UpperLine(0x0800)});
    for (uint16_t at = 0; at < 1449 * 16; at += 16) {
        body += DataLine(at, Bytes(data.begin() + at, data.begin() + at + 16)) + "\r\n";
    }
    const std::string record =
        DataLine(1449 * 16, Bytes(data.begin() + 1449 * 16, data.begin() + 1450 * 16));
    body += record + std::string(259 - record.size(), ' ') + EndLine() + "\r\n";
    for (uint16_t at = 1450 * 16; at < data.size(); at += 16) {
        body += DataLine(at, Bytes(data.begin() + at, data.begin() + at + 16)) + "\r\n";
    }
    Bytes expected = Blank(23);
    Put(expected, 0, data);
    for (size_t shift = 0; shift <= 360; ++shift) {
        SCOPED_TRACE("blank first line of " + std::to_string(shift) + " spaces");
        ASSERT_EQ(Load(std::string(shift, ' ') + "\n" + body), 1);
        ExpectImage(expected);
        if (HasFatalFailure() || HasNonfatalFailure()) break;
    }
}

TEST_F(LoadHexFile, MissingEndOfFileRecordFailsWithAnEmptyImage) {
    EXPECT_EQ(Load({UpperLine(0x0800), DataLine(0, Ramp(16))}), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, EmptyFileFails) {
    EXPECT_EQ(Load(std::string()), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, MissingFileFailsAndEmptiesAnEarlierImage) {
    ASSERT_EQ(Load({UpperLine(0x0800), DataLine(0, Ramp(16)), EndLine()}), 1);
    EXPECT_EQ(m_image.LoadHexFile(m_dir.File("no-such-file.hex"), kPage, kBase), 0);
    ExpectFailedAndEmpty();
}

TEST_F(LoadHexFile, PageSizeOfZeroOrAbove1024Fails) {
    const std::string text = HexText({UpperLine(0x0800), DataLine(0, Ramp(16)), EndLine()});
    EXPECT_EQ(Load(text, 0), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(Load(text, 1025), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(Load(text, 1024), 1);
}

// Why a file is refused and on which line, as the load and the check before a connection
// report it. The check knows no base or page cap, so it passes what only they refuse.
struct RefusedCase {
    const char* name;
    std::vector<std::string> lines;
    LoadFault fault;
    uint32_t line;
    bool checkPasses = false;
};

const RefusedCase kRefused[] = {
    {"Checksum", {UpperLine(0x0800), DataLine(0, {1}), ":00000001FE"}, LoadFault::Checksum, 3},
    {"NotHex", {UpperLine(0x0800), ":010000000GEF", EndLine()}, LoadFault::Record, 2},
    // Blank lines count; the rest of a line past 259 characters is still that line.
    {"AfterBlankLines", {"", " ", UpperLine(0x0800), "garbage"}, LoadFault::Record, 4},
    {"LongLine",
     {UpperLine(0x0800), DataLine(0, {1}) + std::string(259, ' ') + "x", EndLine()},
     LoadFault::Record,
     2},
    {"UpperOfOneByte", {HexLine(0x04, 0, {0x08}), EndLine()}, LoadFault::UpperAddress, 1},
    {"NoEnd", {UpperLine(0x0800), DataLine(0, {1})}, LoadFault::NoEnd, 0},
    {"NoData", {UpperLine(0x0800), EndLine()}, LoadFault::NoData, 0},
    {"BelowBase", {UpperLine(0x07FF), DataLine(0, {1}), EndLine()}, LoadFault::BelowBase, 2, true},
    // No base puts bytes 16 MiB apart into one image.
    {"SpanTooWide",
     {UpperLine(0x0800), DataLine(0, {1}), UpperLine(0x0900), DataLine(0, {1}), EndLine()},
     LoadFault::TooHigh,
     4},
};

class RefusedHexFile : public LoadHexFile, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedHexFile, LoadAndCheckNameTheFaultAndItsLineUnderEitherRules) {
    const RefusedCase& c = GetParam();
    const std::string path = m_dir.File("refused.hex");
    WriteText(path, HexText(c.lines));
    for (const HexRules rules : {HexRules::Lenient, HexRules::Strict}) {
        LoadError error, checked;
        EXPECT_EQ(m_image.LoadHexFile(path, kPage, kBase, rules, &error), 0);
        ExpectFailedAndEmpty();
        EXPECT_EQ(error.fault, c.fault);
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(CheckHexFile(path, rules, &checked), c.checkPasses ? 1 : 0);
        EXPECT_EQ(checked.fault, c.checkPasses ? LoadFault::None : c.fault);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedHexFile, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

// Where the command line's strict rules part from the dialog's lenient ones. Each file gives
// 1, 2, 3, 4 from the base when it loads under the strict rules.
struct RulesCase {
    const char* name;
    std::string text;
    bool lenientLoads;
    LoadFault strictFault;  // None: it loads
    uint32_t line;          // the fault's, or the warning's; 0: none
    uint32_t earlierLine;
};

const std::string kUpper = UpperLine(0x0800), kData = DataLine(0, {1, 2, 3, 4}), kEnd = EndLine();
const RulesCase kRules[] = {
    {"LinesBehindTheEnd", HexText({kUpper, kData, kEnd, "", DataLine(0x10, {5})}), true,
     LoadFault::None, 5, 0},
    {"BlankLinesBehindTheEnd", HexText({kUpper, kData, kEnd, "", " \t"}), true, LoadFault::None, 0,
     0},
    {"EqualRepeat", HexText({kUpper, kData, DataLine(2, {3, 4}), kEnd}), true, LoadFault::None, 0,
     0},
    {"ConflictingByte", HexText({kUpper, kData, DataLine(0x10, {7}), DataLine(2, {3, 9}), kEnd}),
     true, LoadFault::Conflict, 4, 2},
    {"UnknownType", HexText({kUpper, HexLine(0x06, 0, {1}), kData, kEnd}), true,
     LoadFault::RecordType, 2, 0},
    {"ByteOrderMark", "\xEF\xBB\xBF" + HexText({kUpper, kData, kEnd}), false, LoadFault::None, 0,
     0},
    {"SegmentOfOneByte", HexText({HexLine(0x02, 0, {0x10}), kUpper, kData, kEnd}), false,
     LoadFault::SegmentAddress, 1, 0},
    {"BlanksBehindTheChecksum", HexText({kUpper, kData + " \t ", kEnd}), true, LoadFault::None, 0,
     0},
    {"RecordBehindTheChecksum", HexText({kUpper, kData + DataLine(4, {5, 6, 7, 8}), kEnd}), true,
     LoadFault::Record, 2, 0},
    {"OddDigitBehindTheChecksum", HexText({kUpper, kData + "0", kEnd}), true, LoadFault::Record, 2,
     0},
    {"TextBehindTheChecksum", HexText({kUpper, kData + "ZZZ", kEnd}), true, LoadFault::Record, 2,
     0},
    // Filler up to the piece limit, then an end record: one line, not two.
    {"EndRecordBehindFiller",
     HexText({kUpper, kData, DataLine(0x10, {5}) + std::string(1024 - 13, ' ') + kEnd}), false,
     LoadFault::Record, 3, 0},
};

class HexRulesTest : public LoadHexFile, public ::testing::WithParamInterface<RulesCase> {};

TEST_P(HexRulesTest, StrictRulesRefuseOrWarnWhereLenientOnesLoad) {
    const RulesCase& c = GetParam();
    const std::string path = m_dir.File("rules.hex");
    WriteText(path, c.text);
    EXPECT_EQ(m_image.LoadHexFile(path, kPage, kBase), c.lenientLoads ? 1 : 0);
    LoadError error, checked;
    std::vector<LoadWarning> warnings;
    const int loaded = m_image.LoadHexFile(path, kPage, kBase, HexRules::Strict, &error, &warnings);
    EXPECT_EQ(loaded, c.strictFault == LoadFault::None ? 1 : 0);
    EXPECT_EQ(error.fault, c.strictFault);
    EXPECT_EQ(CheckHexFile(path, HexRules::Strict, &checked), loaded);
    EXPECT_EQ(checked.fault, c.strictFault);
    if (!loaded) {
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(error.earlierLine, c.earlierLine);
        return;
    }
    Bytes expected = Blank(1);
    Put(expected, 0, {1, 2, 3, 4});
    ExpectImage(expected);
    ASSERT_EQ(warnings.size(), c.line != 0 ? 1u : 0u);
    if (c.line != 0) {
        EXPECT_EQ(warnings[0].line, c.line);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, HexRulesTest, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

// Raw binary: the bytes in order from the address given, pages from the base, and the files
// refused.
TEST_F(LoadHexFile, BinaryLandsAtItsAddressOrSaysWhyNot) {
    const std::string path = m_dir.File("firmware.bin");
    const Bytes data = RandomBytes(70000, 41);  // more than one read of the file
    WriteBytes(path, data);
    LoadError error;
    ASSERT_EQ(m_image.LoadBinaryFile(path, kPage, kBase, kBase + 0x1380, &error), 1);
    Bytes expected = Blank(74);
    Put(expected, 0x1380, data);
    ExpectImage(expected);
    EXPECT_EQ(PagesWithData().front(), 4);
    EXPECT_EQ(PagesWithData().size(), 70u);
    const struct {
        size_t size;
        uint32_t address;
        LoadFault fault;
    } refused[] = {{0, kBase, LoadFault::NoData},
                   {10, kBase - 4, LoadFault::BelowBase},
                   {2, kBase + FlashImage::kMaxPages * kPage - 1, LoadFault::TooHigh}};
    for (const auto& r : refused) {
        WriteBytes(path, Ramp(r.size));
        EXPECT_EQ(m_image.LoadBinaryFile(path, kPage, kBase, r.address, &error), 0);
        EXPECT_EQ(error.fault, r.fault);
        ExpectFailedAndEmpty();
    }
}

// S-records: data of each address width lands at its address; S5 and S6 counts agree; the
// lines behind the end record are warned of, not read.
TEST_F(LoadHexFile, SrecDataOfEachAddressWidthLandsAtItsAddress) {
    const std::string path = m_dir.File("firmware.srec");
    const Bytes data = RandomBytes(40, 51);
    Bytes expected = Blank(5);
    Put(expected, 0x1004, data);
    LoadError error;
    std::vector<LoadWarning> warnings;
    for (int width : {2, 3, 4}) {
        std::vector<std::string> lines = testsrec::Lines(data, 0x1004, width);
        if (width == 3) lines[lines.size() - 2] = testsrec::Record(6, 3, {});
        lines.push_back(testsrec::Record(1, 0x1004, {0xAA}));
        WriteText(path, testsrec::Text(lines, width == 2 ? "\n" : "\r\n"));
        ASSERT_EQ(m_image.LoadSrecFile(path, kPage, 0, &error, &warnings), 1) << width;
        ExpectImage(expected);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].line, 7u);
        warnings.clear();
    }
}

struct SrecCase {
    const char* name;
    std::vector<std::string> lines;
    LoadFault fault;
    uint32_t line;
};

// Lines 1 to 5: S0, two S3 records of 16 and 4 bytes at the base, S5, S7.
std::vector<std::string> GoodSrec(size_t drop = 99, std::string change = "", size_t at = 0) {
    std::vector<std::string> lines = testsrec::Lines(Ramp(20), kBase);
    if (!change.empty()) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), change);
    if (drop < lines.size()) lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(drop));
    return lines;
}

std::string WrongChecksum(std::string line) {
    line.back() = line.back() == '0' ? '1' : '0';
    return line;
}

const SrecCase kRefusedSrec[] = {
    {"Checksum", GoodSrec(2, WrongChecksum(GoodSrec()[1]), 1), LoadFault::Checksum, 2},
    {"CountDiffers", GoodSrec(4, testsrec::Record(5, 3, {}), 3), LoadFault::RecordCount, 4},
    {"NoEnd", GoodSrec(4), LoadFault::NoEnd, 0},
    {"TypeS4", GoodSrec(99, testsrec::Record(4, 0, {1}), 1), LoadFault::RecordType, 2},
    {"TextBehindTheChecksum", GoodSrec(2, GoodSrec()[1] + "x", 1), LoadFault::Record, 2},
    {"CountShorterThanTheAddress", GoodSrec(99, "S1020000", 1), LoadFault::Record, 2},
    {"NotARecord", GoodSrec(99, "hello", 1), LoadFault::Record, 2},
    {"BelowBase", testsrec::Lines(Ramp(4), kBase - 2), LoadFault::BelowBase, 2},
    {"ConflictingByte", GoodSrec(99, testsrec::Record(3, kBase + 1, {9}), 2), LoadFault::Conflict,
     3},
};

class RefusedSrecFile : public LoadHexFile, public ::testing::WithParamInterface<SrecCase> {};

TEST_P(RefusedSrecFile, LoadAndCheckNameTheFaultAndItsLine) {
    const SrecCase& c = GetParam();
    const std::string path = m_dir.File("refused.srec");
    WriteText(path, testsrec::Text(c.lines));
    LoadError error, checked;
    EXPECT_EQ(m_image.LoadSrecFile(path, kPage, kBase, &error), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(error.fault, c.fault);
    EXPECT_EQ(error.line, c.line);
    const bool checkPasses = c.fault == LoadFault::BelowBase;
    EXPECT_EQ(CheckSrecFile(path, &checked), checkPasses ? 1 : 0);
    EXPECT_EQ(checked.fault, checkPasses ? LoadFault::None : c.fault);
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedSrecFile, ::testing::ValuesIn(kRefusedSrec),
                         [](const auto& info) { return std::string(info.param.name); });

// ELF: each loadable segment's file bytes at its physical address.
TEST_F(LoadHexFile, ElfSegmentFileBytesLandAtTheirPhysicalAddressWithoutZeroFill) {
    const std::string path = m_dir.File("firmware.elf");
    const Bytes code = Ramp(16, 0x40), data = Ramp(8, 0x90);
    WriteBytes(path, testelf::File({{1, kBase, kBase, code, 0},
                                    {4, kBase + 0x200, kBase + 0x200, Ramp(4), 0},  // a note
                                    {1, kBase + 0x404, 0x20000000, data, 64},
                                    {1, 0x20000100, 0x20000100, {}, 256},            // .bss
                                    {1, kBase + 4, kBase + 4, Ramp(4, 0x44), 0}}));  // alike
    LoadError error;
    ASSERT_EQ(m_image.LoadElfFile(path, kPage, kBase, &error), 1) << static_cast<int>(error.fault);
    Bytes expected = Blank(2);
    Put(expected, 0, code);
    Put(expected, 0x404, data);
    ExpectImage(expected);
    EXPECT_EQ(CheckElfFile(path, &error), 1);
}

TEST_F(LoadHexFile, ElfCutShortAnywhereIsRefused) {
    const std::string path = m_dir.File("short.elf");
    const Bytes whole = testelf::File({{1, kBase, kBase, Ramp(16), 0}});
    LoadError error;
    for (size_t size = 0; size < whole.size(); ++size) {
        WriteBytes(path, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
        EXPECT_EQ(m_image.LoadElfFile(path, kPage, kBase, &error), 0) << size;
        EXPECT_EQ(error.fault, size < 52 + 32 ? LoadFault::ElfHeader : LoadFault::ElfSegment)
            << size;
    }
}

struct ElfCase {
    const char* name;
    Bytes file;
    LoadFault fault;
    uint32_t value;
    // Conflict: the segments (by index in the table) and the address.
    uint32_t segment = 0, earlierSegment = 0, address = 0;
};

Bytes Patched(Bytes file, size_t at, uint8_t value) {
    file[at] = value;
    return file;
}

const testelf::Segment kCode{1, kBase, kBase, Ramp(16), 0};
const ElfCase kRefusedElf[] = {
    {"X86_64", testelf::File({kCode}, {2, 1, 62}), LoadFault::ElfMachine, 62},
    {"AArch64", testelf::File({kCode}, {2, 1, 183}), LoadFault::ElfMachine, 183},
    {"Arm64Bit", testelf::File({kCode}, {2, 1, 40}), LoadFault::ElfClass, 64},
    {"BigEndianArm", testelf::File({kCode}, {1, 2, 40}), LoadFault::ElfEncoding, 0},
    {"UnknownEncoding", Patched(testelf::File({kCode}), 5, 3), LoadFault::ElfHeader, 0},
    {"TableBeyondTheEnd", Patched(testelf::File({kCode}), 44, 9), LoadFault::ElfHeader, 0},
    {"EntriesTooSmall", Patched(testelf::File({kCode}), 42, 16), LoadFault::ElfHeader, 0},
    {"NoLoadSegment", testelf::File({{6, kBase, kBase, Ramp(16), 0}}), LoadFault::NoData, 0},
    {"BelowBase", testelf::File({{1, kBase - 8, kBase, Ramp(16), 0}}), LoadFault::BelowBase, 0},
    {"OutsideAnyImage", testelf::File({kCode, {1, 0x20000000, 0x20000000, {1}, 0}}),
     LoadFault::TooHigh, 0},
    {"ConflictingSegments",
     testelf::File({{4, 0, 0, Ramp(4), 0},
                    kCode,
                    {4, 0, 0, Ramp(4), 0},
                    {1, kBase + 8, kBase + 8, Ramp(8, 0x80), 0}}),
     LoadFault::Conflict, 0, 3, 1, kBase + 8},
    // Alike, but together more than any image holds: refused before a byte is copied.
    {"SegmentsTooLargeTogether", testelf::EachSegmentTheWholeFile(17, 1 << 20, kBase),
     LoadFault::ElfTooLarge, 0},
};

class RefusedElfFile : public LoadHexFile, public ::testing::WithParamInterface<ElfCase> {};

TEST_P(RefusedElfFile, LoadAndCheckNameTheFault) {
    const ElfCase& c = GetParam();
    const std::string path = m_dir.File("refused.elf");
    WriteBytes(path, c.file);
    LoadError error, checked;
    EXPECT_EQ(m_image.LoadElfFile(path, kPage, kBase, &error), 0);
    ExpectFailedAndEmpty();
    EXPECT_EQ(error.fault, c.fault);
    EXPECT_EQ(error.value, c.value);
    EXPECT_EQ(error.line, c.segment);
    EXPECT_EQ(error.earlierLine, c.earlierSegment);
    EXPECT_EQ(error.address, c.address);
    const bool checkPasses = c.fault == LoadFault::BelowBase;
    EXPECT_EQ(CheckElfFile(path, &checked), checkPasses ? 1 : 0);
    EXPECT_EQ(checked.fault, checkPasses ? LoadFault::None : c.fault);
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedElfFile, ::testing::ValuesIn(kRefusedElf),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
