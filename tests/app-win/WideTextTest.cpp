// The conversions between the program's narrow texts and its Unicode windows. Narrow literals
// are GBK in this build (-fexec-charset=GBK); wide ones are UTF-16.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Messages.h"
#include "WideText.h"

TEST(WideText, GbkBytesBecomeTheirCharacters) {
    EXPECT_EQ(std::wstring(L"串口"), FromGbk("\xB4\xAE\xBF\xDA"));
    EXPECT_EQ(std::wstring(L"Kestrel串口烧录工具"), FromGbk("Kestrel串口烧录工具"));
    EXPECT_EQ(std::wstring(L">>未连接ISP，本次操作无效！!\r\n"),
              FromGbk(">>未连接ISP，本次操作无效！!\r\n"));
}

TEST(WideText, CharactersBecomeGbkBytes) {
    EXPECT_EQ(std::string("\xB4\xAE\xBF\xDA"), ToGbk(L"串口"));
    EXPECT_EQ(std::string("擦除所有扇区(快)"), ToGbk(L"擦除所有扇区(快)"));
}

TEST(WideText, CharacterThatGbkLacksBecomesAQuestionMark) {
    EXPECT_EQ(std::string("a?b"), ToGbk(L"a\u0E01b"));  // a Thai letter
}

TEST(WideText, EmptyTextAndEmbeddedNulsArePreserved) {
    EXPECT_EQ(std::wstring(), FromGbk(std::string()));
    EXPECT_EQ(std::string(), ToGbk(std::wstring()));
    EXPECT_EQ(std::wstring(L"a\0串", 3), FromGbk(std::string("a\0串", 4)));
    EXPECT_EQ(std::string("a\0串", 4), ToGbk(std::wstring(L"a\0串", 3)));
}

TEST(WideText, EveryChineseLogTextSurvivesTheWayToTheWindowAndBack) {
    int count = 0;
    const Message* const* all = AllMessages(&count);
    ASSERT_GT(count, 0);
    for (int i = 0; i < count; ++i) {
        const std::string text = all[i]->chinese;
        const std::wstring wide = FromGbk(text);
        EXPECT_FALSE(wide.empty()) << i;
        EXPECT_EQ(std::wstring::npos, wide.find(L'\xFFFD')) << i;  // no undecodable byte
        EXPECT_EQ(text, ToGbk(wide)) << i;
    }
}

TEST(WideText, AsciiPathsAndPortNamesPassThroughTheAnsiCodePage) {
    EXPECT_EQ(std::wstring(L"C:\\fw\\app.hex"), FromAnsi("C:\\fw\\app.hex"));
    EXPECT_EQ(std::string("C:\\fw\\app.hex"), ToAnsi(L"C:\\fw\\app.hex"));
    EXPECT_EQ(std::string("COM12"), ToAnsi(FromAnsi("COM12")));
}

TEST(WideText, AnsiMeansTheSystemCodePage) {
    const std::string path = "C:\\固件\\app.hex";  // GBK bytes
    if (::GetACP() != 936) {
        // The same bytes mean other characters in another code page.
        EXPECT_NE(FromGbk(path), FromAnsi(path));
        return;
    }
    EXPECT_EQ(std::wstring(L"C:\\固件\\app.hex"), FromAnsi(path));
    EXPECT_EQ(path, ToAnsi(FromAnsi(path)));
}
