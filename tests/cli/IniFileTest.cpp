// The settings file: defaults, single-key writes, other keys untouched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "IniFile.h"

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "/kestrel-ini-" + std::to_string(::getpid()) + ".ini";
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string Contents() {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string path;
};

TEST_F(IniFileTest, MissingFileGivesDefault) {
    EXPECT_EQ(ReadProfileString(path, "Config", "COMM", "dflt"), "dflt");
}

TEST_F(IniFileTest, FirstWriteCreatesSectionAndKey) {
    ASSERT_TRUE(WriteProfileString(path, "Config", "COMM", "/dev/ttyUSB0"));
    EXPECT_EQ(Contents(), "[Config]\r\nCOMM=/dev/ttyUSB0\r\n");
    EXPECT_EQ(ReadProfileString(path, "Config", "COMM", ""), "/dev/ttyUSB0");
}

TEST_F(IniFileTest, WriteReplacesOneKeyAndKeepsTheOthers) {
    {
        std::ofstream out(path, std::ios::binary);
        out << "[Other]\r\nCOMM=elsewhere\r\n[Config]\r\nFilePath=C:\\a.hex\r\nCOMM=COM3\r\n"
               "BaudRate=9600\r\n";
    }
    ASSERT_TRUE(WriteProfileString(path, "Config", "COMM", "COM7"));
    EXPECT_EQ(Contents(),
              "[Other]\r\nCOMM=elsewhere\r\n[Config]\r\nFilePath=C:\\a.hex\r\nCOMM=COM7\r\n"
              "BaudRate=9600\r\n");
    EXPECT_EQ(ReadProfileString(path, "Other", "COMM", ""), "elsewhere");
}

TEST_F(IniFileTest, NewKeyGoesIntoExistingSectionNotAtTheEnd) {
    {
        std::ofstream out(path, std::ios::binary);
        out << "[Config]\r\nBaudRate=9600\r\n\r\n[Later]\r\nx=1\r\n";
    }
    ASSERT_TRUE(WriteProfileString(path, "Config", "COMM", "COM2"));
    EXPECT_EQ(ReadProfileString(path, "Config", "COMM", ""), "COM2");
    EXPECT_EQ(ReadProfileString(path, "Later", "COMM", "none"), "none");
}

TEST_F(IniFileTest, SectionAndKeyNamesIgnoreCase) {
    {
        std::ofstream out(path, std::ios::binary);
        out << "[config]\ncomm = COM9 \n";
    }
    EXPECT_EQ(ReadProfileString(path, "Config", "COMM", ""), "COM9");
}

TEST_F(IniFileTest, UnwritablePathReportsFailure) {
    EXPECT_FALSE(WriteProfileString("/nonexistent-kestrel-dir/x.ini", "Config", "COMM", "a"));
}

}  // namespace
