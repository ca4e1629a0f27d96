// Kestrel_Bootloader.exe driven from outside: start-up, settings, log view, About box and the
// file chooser (the device's own cases are in DeviceTest.cpp).
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AppDriver.h"
#include "IntelHex.h"
#include "Steps.h"
#include "resource.h"

namespace {
using namespace steps;

const char kNotConnected[] = ">>未连接ISP，本次操作无效！!\r\n";

// Settings that make the first connect go straight to the simulator, or to a port that
// does not open when there is none.
std::string PortConfig() {
    return "[Config]\r\nCOMM=" + (HaveSim() ? g_options.simPort : std::string("COM9")) + "\r\n";
}

// One page of data at 0x08000000 in Intel HEX.
std::string SmallHexFile() {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<uint8_t>(i * 0x11));
    return testhex::IntelHex(bytes);
}
}  // namespace

TEST(StartUp, FirstStartWithoutSettingsShowsTheDefaultsAfterTheConnectAttempt) {
    AppRun app("first-start");
    StartAndShow(app);
    EXPECT_TRUE(app.m_sawHidden) << "the window was never seen hidden during start-up";

    HWND hPorts = app.Item(IDC_PORT_LIST);
    const int portCount = ComboCount(hPorts);
    const std::string& log = app.m_logWhenShown;
    if (portCount == 0) {
        EXPECT_EQ(0u, log.find(">>无效串口号........\r\n"));
    } else {
        EXPECT_EQ(0u, log.find(">>串口" + ComboEntry(hPorts, 0))) << log;
    }
    EXPECT_TRUE(EndsWith(log, "\r\n")) << log;
    EXPECT_EQ(log, app.Log()) << "the log changed after the window showed";

    if (HaveSim()) {
        EXPECT_NE(std::string::npos, log.find(">>串口" + g_options.simPort +
                                              "打开成功!\r\n>>连接ISP成功!\r\n"
                                              ">>Bootloader版本：V"))
            << log;
        EXPECT_EQ(g_options.simPort, SelectedText(hPorts));
        std::map<std::string, std::string> config = app.Config();
        EXPECT_EQ(1u, config.size());
        EXPECT_EQ(g_options.simPort, config["COMM"]);
    } else {
        EXPECT_FALSE(app.ConfigExists()) << "start-up wrote settings";
        EXPECT_EQ(portCount > 0 ? 0 : -1, ComboSelection(hPorts));
    }

    EXPECT_EQ("", WindowText(app.Item(IDC_FILE_PATH)));
    EXPECT_EQ("115200", SelectedText(app.Item(IDC_BAUD_LIST)));
    EXPECT_TRUE(IsChecked(app.Item(IDC_ERASE_ALL)));
    EXPECT_FALSE(IsChecked(app.Item(IDC_ERASE_PAGES)));
    EXPECT_TRUE(IsChecked(app.Item(IDC_VERIFY)));
    EXPECT_FALSE(IsChecked(app.Item(IDC_RUN_PROGRAM)));
    EXPECT_EQ("Static", WindowText(app.Item(IDC_PERCENT)));
    EXPECT_EQ(0, ::SendMessageA(app.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
    EXPECT_FALSE(::IsWindowEnabled(hPorts));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(StartUp, ListsAreSortedPortsAndTheTenBaudRates) {
    AppRun app("lists");
    app.WriteConfig(PortConfig());
    StartAndShow(app);

    HWND hPorts = app.Item(IDC_PORT_LIST);
    std::vector<std::string> ports;
    for (int i = 0; i < ComboCount(hPorts); ++i) ports.push_back(ComboEntry(hPorts, i));
    for (size_t i = 1; i < ports.size(); ++i) {
        EXPECT_LT(::lstrcmpiA(ports[i - 1].c_str(), ports[i].c_str()), 0)
            << ports[i - 1] << " before " << ports[i];
    }
    if (HaveSim()) {
        EXPECT_NE(ports.end(), std::find(ports.begin(), ports.end(), g_options.simPort));
    }

    HWND hBaud = app.Item(IDC_BAUD_LIST);
    std::vector<std::string> rates;
    for (int i = 0; i < ComboCount(hBaud); ++i) rates.push_back(ComboEntry(hBaud, i));
    EXPECT_EQ((std::vector<std::string>{"1200", "2400", "4800", "9600", "19200", "38400", "43000",
                                        "56000", "57600", "115200"}),
              rates);

    ::PostMessageA(app.m_main, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(StartUp, WindowIsCentredWithAFixedFrame) {
    AppRun app("frame");
    app.WriteConfig(PortConfig());
    StartAndShow(app);

    LONG style = ::GetWindowLongA(app.m_main, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);

    RECT work = {};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    RECT rect = {};
    ::GetWindowRect(app.m_main, &rect);
    EXPECT_NEAR((work.left + work.right) / 2, (rect.left + rect.right) / 2, 1);
    EXPECT_NEAR((work.top + work.bottom) / 2, (rect.top + rect.bottom) / 2, 1);

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(StartUp, MinimisedShowCommandIsHonouredAndArgumentsAreIgnored) {
    AppRun app("minimised");
    app.WriteConfig(PortConfig());
    ASSERT_TRUE(app.Start(SW_SHOWMINNOACTIVE, "COM3 /baud 9600 --erase"));
    ASSERT_TRUE(app.WaitShown(kShowMs));
    EXPECT_TRUE(::IsIconic(app.m_main));
    EXPECT_EQ("115200", SelectedText(app.Item(IDC_BAUD_LIST)));
    EXPECT_EQ(0u, app.m_logWhenShown.find(">>串口" + (HaveSim() ? g_options.simPort : "COM9")));

    ::PostMessageA(app.m_main, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(Settings, EachChangeIsWrittenAtOnceAndTheNextStartPicksItUp) {
    AppRun app("settings");
    app.WriteConfig(PortConfig());
    StartAndShow(app);

    Click(app.Item(IDC_ERASE_PAGES));
    ASSERT_TRUE(WaitUntil([&] { return app.Config()["EraseFlag"] == "0"; }, kActionMs));
    EXPECT_FALSE(IsChecked(app.Item(IDC_ERASE_ALL)));
    Click(app.Item(IDC_ERASE_ALL));
    ASSERT_TRUE(WaitUntil([&] { return app.Config()["EraseFlag"] == "1"; }, kActionMs));
    EXPECT_FALSE(IsChecked(app.Item(IDC_ERASE_PAGES)));
    Click(app.Item(IDC_ERASE_PAGES));
    ASSERT_TRUE(WaitUntil([&] { return app.Config()["EraseFlag"] == "0"; }, kActionMs));

    Click(app.Item(IDC_VERIFY));
    ASSERT_TRUE(WaitUntil([&] { return app.Config()["VerifyFlag"] == "0"; }, kActionMs));
    Click(app.Item(IDC_RUN_PROGRAM));
    ASSERT_TRUE(WaitUntil([&] { return app.Config()["RunProgramFlag"] == "1"; }, kActionMs));

    const std::string logBefore = app.Log();
    PickBaudRate(app, "57600");
    ASSERT_TRUE(WaitUntil([&] { return app.Config()["BaudRate"] == "57600"; }, kActionMs));
    app.WaitIdle();
    const std::string logAfter = app.Log();
    ASSERT_GT(logAfter.size(), logBefore.size()) << "a new rate did not reconnect";
    EXPECT_EQ(0u, logAfter.compare(logBefore.size(), 4, ">>串")) << logAfter;

    const std::string fileBefore = ReadWholeFile(app.Dir() + "\\Config.ini");
    PickBaudRate(app, "57600");
    EXPECT_EQ(logAfter, app.Log()) << "the same rate reconnected";
    EXPECT_EQ(fileBefore, ReadWholeFile(app.Dir() + "\\Config.ini"));

    ::PostMessageA(app.m_main, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_EQ(2, app.WaitExit(kExitMs));

    // The second start, in a folder of its own with the settings file the first one left.
    const std::string saved = ReadWholeFile(app.Dir() + "\\Config.ini");
    AppRun again("settings-again");
    again.WriteConfig(saved);
    StartAndShow(again);
    EXPECT_TRUE(IsChecked(again.Item(IDC_ERASE_PAGES)));
    EXPECT_FALSE(IsChecked(again.Item(IDC_ERASE_ALL)));
    EXPECT_FALSE(IsChecked(again.Item(IDC_VERIFY)));
    EXPECT_TRUE(IsChecked(again.Item(IDC_RUN_PROGRAM)));
    EXPECT_EQ("57600", SelectedText(again.Item(IDC_BAUD_LIST)));
    if (HaveSim()) {
        EXPECT_EQ(0u, again.m_logWhenShown.find(">>串口" + g_options.simPort + "打开成功!\r\n"));
        EXPECT_EQ(g_options.simPort, SelectedText(again.Item(IDC_PORT_LIST)));
    }

    // A click gives the check box the focus (and writes it); Enter there closes with IDOK.
    again.Focus();
    Click(again.Item(IDC_VERIFY));
    ASSERT_TRUE(WaitUntil([&] { return again.Config()["VerifyFlag"] == "1"; }, kActionMs));
    PressKey(VK_RETURN);
    EXPECT_EQ(1, again.WaitExit(kExitMs));
}

TEST(Settings, StoredValuesOtherThanOneSwitchTheFlagsOff) {
    AppRun app("stored-two");
    const std::string config = PortConfig() +
                               "FilePath=C:\\fw\\app.hex\r\nBaudRate=43000\r\nEraseFlag=2\r\n"
                               "VerifyFlag=2\r\nRunProgramFlag=2\r\n";
    app.WriteConfig(config);
    StartAndShow(app);

    EXPECT_TRUE(IsChecked(app.Item(IDC_ERASE_PAGES)));
    EXPECT_FALSE(IsChecked(app.Item(IDC_ERASE_ALL)));
    EXPECT_FALSE(IsChecked(app.Item(IDC_VERIFY)));
    EXPECT_FALSE(IsChecked(app.Item(IDC_RUN_PROGRAM)));
    EXPECT_EQ("43000", SelectedText(app.Item(IDC_BAUD_LIST)));
    EXPECT_EQ("C:\\fw\\app.hex", WindowText(app.Item(IDC_FILE_PATH)));
    EXPECT_EQ(config, ReadWholeFile(app.Dir() + "\\Config.ini")) << "the load wrote back";

    // Enter in the path box, which does not take the key itself, closes with IDOK.
    app.Focus();
    Click(app.Item(IDC_FILE_PATH));
    PressKey(VK_RETURN);
    EXPECT_EQ(1, app.WaitExit(kExitMs));
}

TEST(Settings, StoredPortNameSelectsTheFirstEntryBeginningWithItAndIsUsedAsStored) {
    AppRun app("port-prefix");
    app.WriteConfig("[Config]\r\nCOMM=com\r\n");
    StartAndShow(app);

    HWND hPorts = app.Item(IDC_PORT_LIST);
    ASSERT_GT(ComboCount(hPorts), 0);
    const std::string& log = app.m_logWhenShown;
    EXPECT_EQ(0u, log.find(">>串口com打开失败!\r\n>>串口" + ComboEntry(hPorts, 0))) << log;
    // The scan walks the list in its displayed order.
    size_t last = 0;
    for (int i = 0; i < ComboCount(hPorts); ++i) {
        size_t at = log.find(">>串口" + ComboEntry(hPorts, i) + "打开");
        if (at == std::string::npos) break;  // the scan stopped where it connected
        EXPECT_GT(at, last);
        last = at;
    }
    if (HaveSim()) {
        EXPECT_EQ(g_options.simPort, app.Config()["COMM"]);
    } else {
        EXPECT_EQ(0, ComboSelection(hPorts));
        EXPECT_EQ("com", app.Config()["COMM"]);
    }

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(LogView, ClearingEmptiesTheLogAndLeavesTheProgressDisplay) {
    AppRun app("clear");
    app.WriteConfig(PortConfig());
    StartAndShow(app);
    ASSERT_FALSE(app.Log().empty());

    Click(app.Item(IDC_CLEAR_LOG));
    ASSERT_TRUE(WaitUntil([&] { return app.Log().empty(); }, kActionMs));
    Click(app.Item(IDC_CLEAR_LOG));
    app.WaitIdle();
    EXPECT_EQ("", app.Log());
    EXPECT_EQ("Static", WindowText(app.Item(IDC_PERCENT)));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(LogView, MessagesGoToTheEndWhateverTheUserTypedOrSelected) {
    AppRun app("typing");
    app.WriteConfig(PortConfig());
    StartAndShow(app);
    Click(app.Item(IDC_CLEAR_LOG));
    ASSERT_TRUE(WaitUntil([&] { return app.Log().empty(); }, kActionMs));

    HWND hLog = app.Item(IDC_LOG);
    Click(hLog);
    TypeText("abc");
    PressKey(VK_RETURN);  // a line break in the log view, not the end of the program
    TypeText("d");
    ASSERT_TRUE(WaitUntil([&] { return app.Log() == "abc\r\nd"; }, kActionMs)) << app.Log();
    EXPECT_TRUE(::IsWindowVisible(app.m_main));
    ::SendMessageA(hLog, EM_SETSEL, 1, 3);  // the user selects "bc"

    Click(app.Item(IDC_CHIP_INFO));
    ASSERT_TRUE(WaitUntil([&] { return app.Log().size() > 6; }, kActionMs));
    app.WaitIdle();
    const std::string log = app.Log();
    EXPECT_EQ(0u, log.find("abc\r\nd>>")) << log;
    if (HaveSim()) {
        EXPECT_NE(std::string::npos, log.find(">>Bootloader版本：V2.2，选项字节：00 00\r\n"))
            << log;
        EXPECT_TRUE(EndsWith(log, ">>芯片ID版本：V4.10\r\n")) << log;
    } else {
        EXPECT_EQ(std::string("abc\r\nd") + kNotConnected, log);
    }

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(LogView, LongSessionKeepsLoggingPastTheDefaultLimit) {
    AppRun app("long-log");
    app.WriteConfig(PortConfig());
    StartAndShow(app);

    HWND hLog = app.Item(IDC_LOG);
    EXPECT_GT(static_cast<unsigned long>(::SendMessageA(hLog, EM_GETLIMITTEXT, 0, 0)), 1000000ul);
    const std::string filler(40000, 'x');
    ::SendMessageA(hLog, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(filler.c_str()));
    ASSERT_EQ(filler.size(), app.Log().size());

    Click(app.Item(IDC_START));  // no download file: one refusal or load-failure line
    ASSERT_TRUE(WaitUntil([&] { return app.Log().size() > filler.size(); }, kActionMs));
    app.WaitIdle();
    const std::string expected =
        HaveSim() ? ">>下载文件打开失败，取消烧录操作！\r\n" : std::string(kNotConnected);
    EXPECT_EQ(filler + expected, app.Log());

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(AboutBox, OpensOverTheMainWindowAndClosesWithEscEnterAndTheCloseBox) {
    AppRun app("about");
    app.WriteConfig(PortConfig());
    StartAndShow(app);

    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE("way " + std::to_string(way));
        app.Focus();
        Click(app.Item(ID_APP_ABOUT));
        HWND hAbout = nullptr;
        ASSERT_TRUE(
            WaitUntil([&] { return (hAbout = app.FindOtherDialog()) != nullptr; }, kActionMs));
        EXPECT_EQ("About", WindowText(hAbout));
        EXPECT_EQ(app.m_main, ::GetWindow(hAbout, GW_OWNER));
        std::string text;  // of the centred static; the other one shows the icon
        for (HWND h = ::GetWindow(hAbout, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
            if ((::GetWindowLongA(h, GWL_STYLE) & SS_TYPEMASK) == SS_CENTER) text = WindowText(h);
        }
        EXPECT_EQ(0u, text.find("Kestrel 烧录工具 v1.0\n")) << text;
        RECT about = {}, main = {};
        ::GetWindowRect(hAbout, &about);
        ::GetWindowRect(app.m_main, &main);
        EXPECT_NEAR((main.left + main.right) / 2, (about.left + about.right) / 2, 1);
        EXPECT_NEAR((main.top + main.bottom) / 2, (about.top + about.bottom) / 2, 1);

        ::SetForegroundWindow(hAbout);
        if (way == 0) PressKey(VK_ESCAPE);
        if (way == 1) PressKey(VK_RETURN);
        if (way == 2) ::PostMessageA(hAbout, WM_SYSCOMMAND, SC_CLOSE, 0);
        ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(hAbout); }, kActionMs));
        app.WaitIdle();
        EXPECT_TRUE(::IsWindowVisible(app.m_main));
    }

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(Files, ChosenDownloadFileIsShownAndStoredAndACancelChangesNothing) {
    AppRun app("choose-file");
    app.WriteConfig(PortConfig());
    const std::string hexPath = app.Dir() + "\\app.hex";
    {
        std::FILE* f = std::fopen(hexPath.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::fputs(SmallHexFile().c_str(), f);
        std::fclose(f);
    }
    StartAndShow(app);

    app.Focus();
    Click(app.Item(IDC_SELECT_FILE));
    ChooseFileInDialog(app, hexPath);
    app.WaitIdle();
    EXPECT_EQ(0, ::lstrcmpiA(hexPath.c_str(), WindowText(app.Item(IDC_FILE_PATH)).c_str()));
    EXPECT_EQ(0, ::lstrcmpiA(hexPath.c_str(), app.Config()["FilePath"].c_str()));

    const std::string logBefore = app.Log();
    app.Focus();
    Click(app.Item(IDC_SELECT_FILE));
    CancelDialog(app);
    app.WaitIdle();
    EXPECT_EQ(0, ::lstrcmpiA(hexPath.c_str(), WindowText(app.Item(IDC_FILE_PATH)).c_str()));
    EXPECT_EQ(0, ::lstrcmpiA(hexPath.c_str(), app.Config()["FilePath"].c_str()));
    EXPECT_EQ(logBefore, app.Log());

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}
