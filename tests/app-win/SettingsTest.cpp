#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "Settings.h"

namespace {
constexpr UINT kGbk = 936;
constexpr UINT kWesternEurope = 1252;

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A fresh settings path in the temporary folder, removed afterwards.
class SettingsFile : public testing::Test {
protected:
    void SetUp() override {
        char dir[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, dir);
        char name[MAX_PATH] = {};
        ::GetTempFileNameA(dir, "kst", 0, name);
        ::DeleteFileA(name);
        m_path = std::string(name) + "Config.ini";
    }
    void TearDown() override { ::DeleteFileA(m_path.c_str()); }
    std::string m_path;
};
}  // namespace

TEST(SettingsPath, DirectoryKeepsItsLastBackslash) {
    EXPECT_STREQ("C:\\Tools\\Kestrel\\Config.ini",
                 SettingsPathFor("C:\\Tools\\Kestrel\\Kestrel_Bootloader.exe", kGbk).GetString());
}

TEST(SettingsPath, PathWithoutBackslashGivesTheBareFileName) {
    EXPECT_STREQ("Config.ini", SettingsPathFor("Kestrel_Bootloader.exe", kGbk).GetString());
}

TEST(SettingsPath, TrailByteWithTheBackslashCodeIsNoCut) {
    // 0x81 0x5C is one GBK character whose second byte equals '\'.
    const char exe[] = "D:\\fw\\\x81\x5C.exe";
    EXPECT_STREQ("D:\\fw\\Config.ini", SettingsPathFor(exe, kGbk).GetString());
    // Without double-byte characters the same byte is a backslash.
    EXPECT_STREQ("D:\\fw\\\x81\\Config.ini", SettingsPathFor(exe, kWesternEurope).GetString());
}

TEST(SettingsPath, ChineseFolderNamesAreKept) {
    EXPECT_STREQ("E:\\固件工具\\Config.ini",
                 SettingsPathFor("E:\\固件工具\\Kestrel_Bootloader.exe", kGbk).GetString());
}

TEST(SettingsPath, ProgramSettingsLieBesideTheExecutable) {
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string expected(exe);
    expected = expected.substr(0, expected.rfind('\\') + 1) + "Config.ini";
    EXPECT_EQ(expected, SettingsPathOfProgram().Str());
}

TEST_F(SettingsFile, MissingFileGivesTheDefaultsAndIsNotCreated) {
    EXPECT_STREQ("", ReadTextSetting(m_path.c_str(), kKeyFilePath).GetString());
    EXPECT_STREQ("", ReadTextSetting(m_path.c_str(), kKeyPort).GetString());
    EXPECT_EQ(115200, ReadIntSetting(m_path.c_str(), kKeyBaudRate, kDefaultBaudRate));
    EXPECT_EQ(1, ReadIntSetting(m_path.c_str(), kKeyEraseFlag, kDefaultEraseFlag));
    EXPECT_EQ(1, ReadIntSetting(m_path.c_str(), kKeyVerifyFlag, kDefaultVerifyFlag));
    EXPECT_EQ(0, ReadIntSetting(m_path.c_str(), kKeyRunProgramFlag, kDefaultRunProgramFlag));
    EXPECT_FALSE(FileExists(m_path));
}

TEST_F(SettingsFile, FirstWriteCreatesTheFileWithItsSection) {
    WriteSetting(m_path.c_str(), kKeyPort, "COM5");
    ASSERT_TRUE(FileExists(m_path));
    std::string text = ReadWholeFile(m_path);
    EXPECT_NE(std::string::npos, text.find("[Config]"));
    EXPECT_NE(std::string::npos, text.find("COMM=COM5"));
}

TEST_F(SettingsFile, WriteReplacesOneKeyAndLeavesTheOthers) {
    WriteSetting(m_path.c_str(), kKeyFilePath, "D:\\fw\\app.hex");
    WriteSetting(m_path.c_str(), kKeyPort, "COM3");
    WriteSetting(m_path.c_str(), kKeyBaudRate, "57600");
    WriteSetting(m_path.c_str(), kKeyPort, "COM12");
    EXPECT_STREQ("D:\\fw\\app.hex", ReadTextSetting(m_path.c_str(), kKeyFilePath).GetString());
    EXPECT_STREQ("COM12", ReadTextSetting(m_path.c_str(), kKeyPort).GetString());
    EXPECT_EQ(57600, ReadIntSetting(m_path.c_str(), kKeyBaudRate, kDefaultBaudRate));
    std::string text = ReadWholeFile(m_path);
    EXPECT_EQ(std::string::npos, text.find("COM3"));
}

TEST_F(SettingsFile, ChinesePathRoundTripsByteForByte) {
    WriteSetting(m_path.c_str(), kKeyFilePath, "D:\\固件\\程序.hex");
    EXPECT_STREQ("D:\\固件\\程序.hex", ReadTextSetting(m_path.c_str(), kKeyFilePath).GetString());
}

TEST_F(SettingsFile, StoredTwoIsReadAsTwoAndSwitchesNothingOn) {
    WriteSetting(m_path.c_str(), kKeyEraseFlag, "2");
    int stored = ReadIntSetting(m_path.c_str(), kKeyEraseFlag, kDefaultEraseFlag);
    EXPECT_EQ(2, stored);
    EXPECT_EQ(0, FlagFromStored(stored));
}

TEST(SettingsFlags, OnlyTheValueOneSwitchesAFlagOn) {
    EXPECT_EQ(1, FlagFromStored(1));
    EXPECT_EQ(0, FlagFromStored(0));
    EXPECT_EQ(0, FlagFromStored(2));
    EXPECT_EQ(0, FlagFromStored(-1));
    EXPECT_EQ(0, FlagFromStored(11));
}
