// One line at a time: fields, digits, checksum, and lines that must not be trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "FlashImage.h"
#include "HexTestKit.h"

namespace {

// A record that holds garbage, so that a parse that skips a field shows.
HexRecord Dirty() {
    HexRecord record;
    record.address = 0xDEADBEEF;
    record.type = 0xEE;
    std::fill(std::begin(record.data), std::end(record.data), 0xAA);
    record.count = 0xCC;
    record.valid = 7;
    return record;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const Bytes kSixteen = {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01,
                        0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01};

TEST(ParseHexRecord, DataRecordFieldsAreRead) {
    HexRecord record = Dirty();
    ParseHexRecord(":10010000214601360121470136007EFE09D2190140", record);
    EXPECT_EQ(record.valid, 1u);
    EXPECT_EQ(record.count, 0x10);
    EXPECT_EQ(record.address, 0x0100u);
    EXPECT_EQ(record.type, 0x00);
    EXPECT_TRUE(std::equal(kSixteen.begin(), kSixteen.end(), record.data));
    for (int i = 16; i < HexRecord::kMaxData; ++i) EXPECT_EQ(record.data[i], 0) << i;
}

TEST(ParseHexRecord, LowerCaseDigitsReadTheSameAsUpperCase) {
    HexRecord record = Dirty();
    ParseHexRecord(":10c0f000214601360121470136007efe09d2190191", record);
    EXPECT_EQ(record.valid, 1u);
    EXPECT_EQ(record.address, 0xC0F0u);
    EXPECT_EQ(record.data[11], 0xFE);
    EXPECT_EQ(record.data[13], 0xD2);

    HexRecord upper = Dirty();
    const std::string line = HexLine(0x00, 0xABCD, {0xEF, 0xFA, 0xCE});
    ParseHexRecord(line, upper);
    HexRecord lower = Dirty();
    ParseHexRecord(Lower(line), lower);
    EXPECT_EQ(upper.valid, 1u);
    EXPECT_EQ(lower.valid, 1u);
    EXPECT_EQ(lower.address, 0xABCDu);
    EXPECT_TRUE(std::equal(upper.data, upper.data + 3, lower.data));
}

TEST(ParseHexRecord, ExtendedLinearAddressRecordIsRead) {
    HexRecord record = Dirty();
    ParseHexRecord(":020000040800F2", record);
    EXPECT_EQ(record.valid, 1u);
    EXPECT_EQ(record.type, 0x04);
    EXPECT_EQ(record.count, 2);
    EXPECT_EQ(record.data[0], 0x08);
    EXPECT_EQ(record.data[1], 0x00);
}

TEST(ParseHexRecord, EndOfFileRecordIsValid) {
    HexRecord record = Dirty();
    ParseHexRecord(":00000001FF", record);
    EXPECT_EQ(record.valid, 1u);
    EXPECT_EQ(record.type, 0x01);
    EXPECT_EQ(record.count, 0);
}

TEST(ParseHexRecord, LineTerminatorBehindTheChecksumIsIgnored) {
    for (const char* ending : {"\n", "\r\n"}) {
        HexRecord record = Dirty();
        ParseHexRecord(std::string(":00000001FF") + ending, record);
        EXPECT_EQ(record.valid, 1u) << "ending length " << std::string(ending).size();
    }
}

TEST(ParseHexRecord, WrongChecksumIsInvalid) {
    HexRecord record = Dirty();
    ParseHexRecord(":10010000214601360121470136007EFE09D2190141", record);
    EXPECT_EQ(record.valid, 0u);
    record = Dirty();
    ParseHexRecord(":00000001FE", record);
    EXPECT_EQ(record.valid, 0u);
}

TEST(ParseHexRecord, LineWithoutColonIsInvalidAndLeavesTheOtherFieldsAlone) {
    HexRecord record = Dirty();
    ParseHexRecord("10010000214601360121470136007EFE09D2190140", record);
    EXPECT_EQ(record.valid, 0u);
    EXPECT_EQ(record.address, 0xDEADBEEFu);
    EXPECT_EQ(record.type, 0xEE);
    EXPECT_EQ(record.count, 0xCC);
    EXPECT_EQ(record.data[0], 0xAA);
}

TEST(ParseHexRecord, EmptyLinesAreInvalid) {
    for (const char* line : {"", "\n", "\r\n", " "}) {
        HexRecord record = Dirty();
        ParseHexRecord(line, record);
        EXPECT_EQ(record.valid, 0u) << "line of " << std::string(line).size() << " characters";
    }
}

TEST(ParseHexRecord, DataIsZeroedBeforeEachParse) {
    HexRecord record = Dirty();
    ParseHexRecord(DataLine(0, {1, 2, 3, 4}), record);
    ASSERT_EQ(record.valid, 1u);
    ParseHexRecord(DataLine(0, {9}), record);
    ASSERT_EQ(record.valid, 1u);
    EXPECT_EQ(record.data[0], 9);
    for (int i = 1; i < HexRecord::kMaxData; ++i) EXPECT_EQ(record.data[i], 0) << i;
}

TEST(ParseHexRecord, SixtyFourDataBytesFit) {
    HexRecord record = Dirty();
    const Bytes data = Ramp(64, 0x40);
    ParseHexRecord(DataLine(0x1234, data), record);
    EXPECT_EQ(record.valid, 1u);
    EXPECT_EQ(record.count, 64);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), record.data));
}

TEST(ParseHexRecord, RecordOfSixtyFiveBytesIsInvalid) {
    // A well-formed record with a right checksum, only too long for the record.
    HexRecord record = Dirty();
    ParseHexRecord(DataLine(0, Ramp(65)), record);
    EXPECT_EQ(record.valid, 0u);
    record = Dirty();
    ParseHexRecord(DataLine(0, Ramp(255)), record);
    EXPECT_EQ(record.valid, 0u);
}

TEST(ParseHexRecord, LineShorterThanItsByteCountIsInvalid) {
    const std::string full = DataLine(0x0010, Ramp(16));
    // Every cut of the line: within the header, the data, or the checksum.
    for (size_t keep = 1; keep < full.size(); ++keep) {
        HexRecord record = Dirty();
        ParseHexRecord(full.substr(0, keep), record);
        EXPECT_EQ(record.valid, 0u) << "kept " << keep << " characters";
        record = Dirty();
        ParseHexRecord(full.substr(0, keep) + "\r\n", record);
        EXPECT_EQ(record.valid, 0u) << "kept " << keep << " characters and a terminator";
    }
    HexRecord record = Dirty();
    ParseHexRecord(full, record);
    EXPECT_EQ(record.valid, 1u);
}

TEST(ParseHexRecord, ByteCountClaimingMoreThanTheLineHoldsIsInvalid) {
    // Count 0x40, but only four data bytes follow; the "checksum" would be read past the line.
    HexRecord record = Dirty();
    ParseHexRecord(":4000000001020304B6\r\n", record);
    EXPECT_EQ(record.valid, 0u);
}

TEST(ParseHexRecord, NonHexDigitIsInvalidEvenWhenItsArithmeticChecksumMatches) {
    // Read as "character minus '0'", "0G" would be 0x10 (the G standing for 16), and EF is the
    // right checksum for a data byte of 0x10. Such a line is not a record.
    HexRecord record = Dirty();
    ParseHexRecord(":010000000GEF", record);
    EXPECT_EQ(record.valid, 0u);
    record = Dirty();
    ParseHexRecord(":0100000010EF", record);
    EXPECT_EQ(record.valid, 1u) << "the same record with real digits";
}

TEST(ParseHexRecord, NonHexCharacterInAnyFieldIsInvalid) {
    const std::string good = HexLine(0x00, 0x5A3C, {0x12, 0x34});
    ASSERT_EQ(good.size(), 15u);
    for (size_t pos = 1; pos < good.size(); ++pos) {
        for (char bad : {'G', 'g', ' ', ':', '/', '@', '`', '\0'}) {
            std::string line = good;
            line[pos] = bad;
            HexRecord record = Dirty();
            ParseHexRecord(line, record);
            EXPECT_EQ(record.valid, 0u) << "position " << pos << " character " << int(bad);
        }
    }
}

}  // namespace
