// The dialog's Chinese read back through the wide interface, as the screen shows it. run.sh
// --english runs these cases with Wine in an English locale, where the ANSI code page is not
// GBK's and a dialog that took its texts in narrow form would hold question marks or mojibake.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AppDriver.h"
#include "Steps.h"
#include "resource.h"

namespace {
using namespace steps;

const wchar_t kNotConnected[] = L">>未连接ISP，本次操作无效！!\r\n";
const wchar_t kLoadFailed[] = L">>下载文件打开失败，取消烧录操作！\r\n";

// In an English run, a Chinese code page would mean that the locale did not take.
void CheckLocale() {
    if (g_options.englishLocale) {
        ASSERT_NE(936u, ::GetACP()) << "Wine was meant to run in an English locale";
    }
}

std::string PortConfig() {
    return "[Config]\r\nCOMM=" + (HaveSim() ? g_options.simPort : std::string("COM9")) + "\r\n";
}

std::wstring Caption(HWND hWnd) {
    wchar_t text[128] = {};
    ::GetWindowTextW(hWnd, text, 128);
    return text;
}

// The texts of the dialog's static controls, in any order.
std::vector<std::wstring> StaticTexts(HWND hDialog) {
    std::vector<std::wstring> texts;
    for (HWND h = ::GetWindow(hDialog, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
        wchar_t cls[32] = {};
        ::GetClassNameW(h, cls, 32);
        if (::lstrcmpiW(cls, L"Static") == 0) texts.push_back(WideWindowText(h));
    }
    return texts;
}

bool Holds(const std::vector<std::wstring>& texts, const wchar_t* text) {
    return std::find(texts.begin(), texts.end(), std::wstring(text)) != texts.end();
}
}  // namespace

TEST(UnicodeDialog, CaptionLabelsAndLogReadBackInChinese) {
    ASSERT_NO_FATAL_FAILURE(CheckLocale());
    AppRun app("unicode-main");
    app.WriteConfig(PortConfig());
    StartAndShow(app);

    EXPECT_EQ(std::wstring(L"Kestrel串口烧录工具"), Caption(app.m_main));
    const std::vector<std::wstring> labels = StaticTexts(app.m_main);
    EXPECT_TRUE(Holds(labels, L"串口号"));
    EXPECT_TRUE(Holds(labels, L"波特率"));
    EXPECT_EQ(std::wstring(L"开始烧录"), WideWindowText(app.Item(IDC_START)));
    EXPECT_EQ(std::wstring(L"擦除所有扇区(快)"), WideWindowText(app.Item(IDC_ERASE_ALL)));

    // The start-up connect attempt's first line, from the jobs' GBK texts.
    HWND hLog = app.Item(IDC_LOG);
    const std::wstring startLog = WideWindowText(hLog);
    EXPECT_EQ(0u, startLog.find(L">>串口")) << testing::PrintToString(startLog);

    Click(app.Item(IDC_CLEAR_LOG));
    ASSERT_TRUE(WaitUntil([&] { return WideWindowText(hLog).empty(); }, kActionMs));
    Click(app.Item(IDC_START));  // no download file: one refusal or load-failure line
    ASSERT_TRUE(WaitUntil([&] { return !WideWindowText(hLog).empty(); }, kActionMs));
    app.WaitIdle();
    EXPECT_EQ(std::wstring(HaveSim() ? kLoadFailed : kNotConnected), WideWindowText(hLog));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(UnicodeDialog, AboutBoxTextReadsBackInChinese) {
    ASSERT_NO_FATAL_FAILURE(CheckLocale());
    AppRun app("unicode-about");
    app.WriteConfig(PortConfig());
    StartAndShow(app);

    app.Focus();
    Click(app.Item(ID_APP_ABOUT));
    HWND hAbout = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (hAbout = app.FindOtherDialog()) != nullptr; }, kActionMs));
    EXPECT_EQ(std::wstring(L"About"), Caption(hAbout));
    std::wstring text;  // of the centred static; the other one shows the icon
    for (HWND h = ::GetWindow(hAbout, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
        if ((::GetWindowLongW(h, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER) text = WideWindowText(h);
    }
    EXPECT_EQ(std::wstring(L"Kestrel 烧录工具 v1.0\n\nSTM32 串口 ISP 烧录\n\n(C) 2026 Kestrel"),
              text);

    ::SetForegroundWindow(hAbout);
    PressKey(VK_ESCAPE);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(hAbout); }, kActionMs));
    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}
