#include <gtest/gtest.h>

#include <string>

#include "CString.h"

TEST(CStringFormat, FormatReplacesTheWholeContent) {
    CString text("old text");
    text.Format(">>串口%s打开成功!\r\n", "COM3");
    EXPECT_STREQ(">>串口COM3打开成功!\r\n", text.GetString());
}

TEST(CStringFormat, GbkTextKeepsTwoBytesPerChineseCharacter) {
    CString text("串口");
    EXPECT_EQ(4, text.GetLength());
    EXPECT_EQ('\xB4', text.GetString()[0]);  // 串 is B4 AE in GBK
    EXPECT_EQ('\xAE', text.GetString()[1]);
}

TEST(CStringFormat, AppendFormatAddsBehindTheContent) {
    CString text;
    const unsigned char bytes[] = {0x00, 0x0A, 0xFF};
    for (unsigned char b : bytes) text.AppendFormat("%02X ", b);
    EXPECT_STREQ("00 0A FF ", text.GetString());
}

TEST(CStringFormat, LongResultIsNotCut) {
    std::string big(5000, 'x');
    CString text;
    text.Format("[%s]", big.c_str());
    EXPECT_EQ(5002, text.GetLength());
    EXPECT_EQ(']', text.GetString()[5001]);
}

TEST(CStringValue, CopiesAreIndependent) {
    CString a("COM3");
    CString b = a;
    b += "1";
    EXPECT_STREQ("COM3", a.GetString());
    EXPECT_STREQ("COM31", b.GetString());
}

TEST(CStringValue, NullTextIsEmpty) {
    CString text(static_cast<const char*>(nullptr));
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_STREQ("", text.GetString());
}

TEST(CStringValue, LeftKeepsTheFirstBytesOnly) {
    CString text("C:\\dir\\a.exe");
    EXPECT_STREQ("C:\\dir\\", text.Left(7).GetString());
    EXPECT_STREQ("", text.Left(0).GetString());
    EXPECT_STREQ("C:\\dir\\a.exe", text.Left(100).GetString());
}

TEST(CStringValue, ComparesByContent) {
    EXPECT_TRUE(CString("COM3") == "COM3");
    EXPECT_TRUE(CString("COM3") != "com3");
    EXPECT_TRUE(CString("a") + CString("b") == CString("ab"));
}
