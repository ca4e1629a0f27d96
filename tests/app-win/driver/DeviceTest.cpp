// Kestrel_Bootloader.exe against the simulated bootloader, which the runner replaces on
// request (faults, a loaded flash, a device that goes away): connecting and scanning,
// reconnecting, baud-rate changes, chip information, programming and reading out.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "AppDriver.h"
#include "Chips.h"
#include "IntelHex.h"
#include "Steps.h"
#include "resource.h"

namespace {
using namespace steps;

// The ports the runner maps besides the simulator's: two that open with nothing behind
// them and one whose device does not exist. Wine lists ports of its own beside them.
const char kSilentA[] = "COM12";
const char kSilentB[] = "COM3";
const char kMissing[] = "COM9";

// The four lines of a connect to the simulator as it starts by default.
std::vector<std::string> ConnectLines(const std::string& port) {
    return {">>串口" + port + "打开成功!", ">>连接ISP成功!", ">>Bootloader版本：V2.2",
            ">>Bootloader操作指令：00 01 02 11 21 31 43 63 73 82 92 "};
}

size_t Index(const std::vector<std::string>& list, const std::string& entry) {
    return static_cast<size_t>(std::find(list.begin(), list.end(), entry) - list.begin());
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Checks the lines of a scan from *at on: one attempt for each entry of the list in order,
// but the failed one, up to the entry `last` (not included; empty: the whole list). Wine's
// own ports may open or not, but never connect. *at ends behind the scan's lines.
void ExpectScanLines(const std::vector<std::string>& lines, const std::vector<std::string>& ports,
                     const std::string& failed, const std::string& last, size_t* at) {
    auto next = [&] { return *at < lines.size() ? lines[(*at)++] : std::string("(no line)"); };
    for (const std::string& port : ports) {
        SCOPED_TRACE(port);
        if (port == failed) continue;
        if (port == last) break;
        std::string line = next();
        if (port == kMissing) {
            EXPECT_EQ(">>串口" + port + "打开失败!", line);
            continue;
        }
        if (port != kSilentA && port != kSilentB && line == ">>串口" + port + "打开失败!") continue;
        EXPECT_EQ(">>串口" + port + "打开成功!", line);
        EXPECT_EQ(">>连接ISP失败，关闭串口" + port + "!", next());
    }
}

size_t FileSize(const std::string& path) { return ReadWholeFile(path).size(); }

// Host bytes 0x7F in the current simulator's wire log: the syncs, while no data is sent.
int HostSyncs() {
    const std::string log = ReadWholeFile(SimFile("wire.log"));
    int count = 0;
    for (size_t at = 0; (at = log.find(" H> 7F\n", at)) != std::string::npos; ++at) ++count;
    return count;
}

// Replaces the simulator for one case and brings the default one back afterwards.
class SimFor {
public:
    explicit SimFor(const std::string& options) {
        m_ok = SimRequest(options.empty() ? "sim" : "sim " + options);
    }
    ~SimFor() { SimRequest("sim"); }
    SimFor(const SimFor&) = delete;
    SimFor& operator=(const SimFor&) = delete;
    bool Ok() const { return m_ok; }

private:
    bool m_ok = false;
};

std::string Config(const std::string& port, const std::string& more = std::string()) {
    return "[Config]\r\nCOMM=" + port + "\r\n" + more;
}
}  // namespace

TEST(Connect, MissingStoredPortScansPastASilentPortAndStoresTheSimulatorPort) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    AppRun app("scan");
    app.WriteConfig(Config(kMissing));
    StartAndShow(app);

    HWND hPorts = app.Item(IDC_PORT_LIST);
    std::vector<std::string> ports;
    for (int i = 0; i < ComboCount(hPorts); ++i) ports.push_back(ComboEntry(hPorts, i));
    ASSERT_LT(Index(ports, kSilentA), Index(ports, kSilentB));
    ASSERT_LT(Index(ports, kSilentB), Index(ports, g_options.simPort));
    ASSERT_LT(Index(ports, g_options.simPort), Index(ports, kMissing));

    // The stored port fails to open; the scan walks the list from the top, skipping it, up
    // to the simulator.
    const std::vector<std::string> lines = LogLines(app.m_logWhenShown);
    EXPECT_EQ(std::string(">>串口") + kMissing + "打开失败!", lines.at(0));
    size_t at = 1;
    ExpectScanLines(lines, ports, kMissing, g_options.simPort, &at);
    ExpectLinesFrom(app.m_logWhenShown, at, ConnectLines(g_options.simPort));
    EXPECT_EQ(g_options.simPort, SelectedText(hPorts));
    std::map<std::string, std::string> config = app.Config();
    EXPECT_EQ(g_options.simPort, config["COMM"]);
    EXPECT_EQ(1u, config.size()) << "the scan wrote more than the port";

    // The found port is connected: the chip information is answered.
    const size_t before = LogLines(app.Log()).size();
    Click(app.Item(IDC_CHIP_INFO));
    ASSERT_TRUE(WaitForLog(app, ">>芯片ID版本")) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), before,
                    {">>Bootloader版本：V2.2，选项字节：00 00", ">>芯片ID版本：V4.10"});

    PressOnMain(app, VK_ESCAPE);
    ASSERT_EQ(2, app.WaitExit(kExitMs));

    // The next start begins with the found port.
    AppRun again("scan-again");
    again.WriteConfig(ReadWholeFile(app.Dir() + "\\Config.ini"));
    StartAndShow(again);
    ExpectLinesFrom(again.m_logWhenShown, 0, ConnectLines(g_options.simPort));
    EXPECT_EQ(g_options.simPort, SelectedText(again.Item(IDC_PORT_LIST)));
    PressOnMain(again, VK_ESCAPE);
    EXPECT_EQ(2, again.WaitExit(kExitMs));
}

TEST(Connect, NoBootloaderOnAnyPortKeepsTheStoredPortAndTheJobsRefuseToRun) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    SimFor sim("");
    ASSERT_TRUE(sim.Ok());
    ASSERT_TRUE(SimRequest("stop"));
    AppRun app("no-bootloader");
    const std::string settings = Config(g_options.simPort);
    app.WriteConfig(settings);
    StartAndShow(app);

    HWND hPorts = app.Item(IDC_PORT_LIST);
    std::vector<std::string> ports;
    for (int i = 0; i < ComboCount(hPorts); ++i) ports.push_back(ComboEntry(hPorts, i));
    const std::vector<std::string> lines = LogLines(app.m_logWhenShown);
    EXPECT_EQ(">>串口" + g_options.simPort + "打开失败!", lines.at(0));
    size_t at = 1;
    ExpectScanLines(lines, ports, g_options.simPort, std::string(), &at);
    EXPECT_EQ(lines.size(), at) << app.m_logWhenShown;
    EXPECT_EQ(g_options.simPort, SelectedText(hPorts));
    EXPECT_EQ(settings, ReadWholeFile(app.Dir() + "\\Config.ini"));

    // Not connected: each device button logs its refusal and nothing else (no save dialog).
    const char refusal[] = ">>未连接ISP，本次操作无效！!";
    Click(app.Item(IDC_CHIP_INFO));
    Click(app.Item(IDC_START));
    Click(app.Item(IDC_READ_FLASH));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= at + 3; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), at, {refusal, refusal, refusal});
    EXPECT_EQ(nullptr, app.FindOtherDialog());
    EXPECT_EQ(0, BarPos(app));
    EXPECT_EQ("Static", PercentText(app));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(Connect, ReconnectWhileConnectedResetsTheTargetAndConnectsAgain) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    SimFor sim("");
    ASSERT_TRUE(sim.Ok());
    AppRun app("reconnect");
    app.WriteConfig(Config(g_options.simPort));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));
    ASSERT_TRUE(WaitUntil([] { return HostSyncs() == 1; }, kActionMs)) << HostSyncs();

    Click(app.Item(IDC_RECONNECT));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 8; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 0,
                    ConnectLines(g_options.simPort) + ConnectLines(g_options.simPort));
    // A second sync is only answered by a target that was reset (the port closed) first.
    ASSERT_TRUE(WaitUntil([] { return HostSyncs() == 2; }, kActionMs)) << HostSyncs();

    // Still connected afterwards.
    Click(app.Item(IDC_CHIP_INFO));
    ASSERT_TRUE(WaitForLog(app, ">>芯片ID版本")) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 8,
                    {">>Bootloader版本：V2.2，选项字节：00 00", ">>芯片ID版本：V4.10"});
    EXPECT_EQ(0, BarPos(app)) << "the chip information moved the bar";

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(Connect, NewBaudRateReconnectsAndIsStoredWhileTheSameRateDoesNothing) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    SimFor sim("");
    ASSERT_TRUE(sim.Ok());
    AppRun app("baud");
    app.WriteConfig(Config(g_options.simPort));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));
    EXPECT_EQ("speed 115200", SimAnswer("speed"));

    PickBaudRate(app, "19200");
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 8; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 0,
                    ConnectLines(g_options.simPort) + ConnectLines(g_options.simPort));
    EXPECT_EQ("speed 19200", SimAnswer("speed"));
    EXPECT_EQ("19200", app.Config()["BaudRate"]);
    EXPECT_EQ("19200", SelectedText(app.Item(IDC_BAUD_LIST)));
    EXPECT_TRUE(WaitUntil([] { return HostSyncs() == 2; }, kActionMs)) << HostSyncs();

    const std::string log = app.Log();
    const std::string settings = ReadWholeFile(app.Dir() + "\\Config.ini");
    PickBaudRate(app, "19200");
    ::Sleep(500);  // room for a reconnect that should not come
    app.WaitIdle();
    EXPECT_EQ(log, app.Log());
    EXPECT_EQ(settings, ReadWholeFile(app.Dir() + "\\Config.ini"));
    EXPECT_EQ(2, HostSyncs());
    EXPECT_EQ("speed 19200", SimAnswer("speed"));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

namespace {
// Bytes that no erase or program step leaves behind by chance: byte k of the pattern.
std::string Pattern(size_t size) {
    std::string out(size, '\0');
    for (size_t k = 0; k < size; ++k) out[k] = static_cast<char>((k * 7 + k / 256 + 3) % 251);
    return out;
}

const size_t kFlashBytes = 65536;  // the simulator's flash, and the read-out's length
const size_t kPage = 1024;

// The flash of the simulator that the last request ended.
std::string EndedFlash() { return ReadWholeFile(SimFile("flash.bin")); }

// Blinky as the program writes it: one page, padded with 0xFF.
std::string BlinkyPage() {
    std::string page = ReadWholeFile(SimFile("blinky.bin"));
    page.resize(kPage, '\xFF');
    return page;
}

std::vector<std::string> ProgramLines(bool eraseAll) {
    std::vector<std::string> lines = {">>读取下载文件到内存：1024byte ，共1页（每页1024byte）"};
    if (eraseAll) lines.push_back(">>成功擦除芯片所有FLASH区！");
    lines.push_back(">>开始写入FLASH.......");
    lines.push_back(">>FLASH烧录完成，用时#毫秒！");
    return lines;
}

// The first difference of two byte strings, for a readable failure.
std::string FirstDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k] != b[k]) return "first difference at offset " + std::to_string(k);
    }
    return "equal";
}
}  // namespace

TEST(Programming, BlinkyInBothEraseModesWithVerifyAndRunEndsUpInTheFlash) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    const std::string pattern = Pattern(4 * kPage);
    ASSERT_TRUE(WriteWholeFile(SimFile("pattern.bin"), pattern));
    ASSERT_EQ(192u, ReadWholeFile(SimFile("blinky.bin")).size());
    SimFor sim("--load pattern.bin");
    ASSERT_TRUE(sim.Ok());
    AppRun app("blinky");
    app.WriteConfig(Config(g_options.simPort, "FilePath=" + SimFile("blinky.hex") +
                                                  "\r\nEraseFlag=0\r\nVerifyFlag=1\r\n"
                                                  "RunProgramFlag=1\r\n"));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));

    // Page by page: only page 0 is erased, the rest of the old flash stays.
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, ">>程序运行成功！", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 4,
                    ProgramLines(false) + std::vector<std::string>{">>开始校验FLASH......",
                                                                   ">>FLASH校验成功，用时#毫秒！",
                                                                   ">>程序运行成功！"});
    EXPECT_EQ(0, BarMin(app));
    EXPECT_EQ(4, BarMax(app));
    EXPECT_EQ(4, BarPos(app));
    EXPECT_EQ("100%", PercentText(app));

    // The target now runs blinky and no longer answers: both chip commands fail, each after
    // five 200 ms windows, and the flag still says connected.
    const DWORD pressedAt = ::GetTickCount();
    Click(app.Item(IDC_CHIP_INFO));
    ASSERT_TRUE(WaitForLog(app, ">>读取芯片ID版本失败！\r\n")) << app.Log();
    EXPECT_GE(::GetTickCount() - pressedAt, 2000u);
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 10, {">>读取版本及读保护信息失败！", ">>读取芯片ID版本失败！"});

    ASSERT_TRUE(SimRequest("sim --load pattern.bin"));
    std::string expected = BlinkyPage() + pattern.substr(kPage);
    expected.resize(kFlashBytes, '\xFF');
    const std::string afterPages = EndedFlash();
    EXPECT_TRUE(afterPages == expected) << FirstDifference(afterPages, expected);

    // The whole flash erased first, on a fresh target with the pattern again.
    app.Focus();
    Click(app.Item(IDC_ERASE_ALL));
    ASSERT_TRUE(WaitUntil([&] { return app.Config()["EraseFlag"] == "1"; }, kActionMs));
    Click(app.Item(IDC_RECONNECT));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 16; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 12, ConnectLines(g_options.simPort));
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 23; }, kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 16,
                    ProgramLines(true) + std::vector<std::string>{">>开始校验FLASH......",
                                                                  ">>FLASH校验成功，用时#毫秒！",
                                                                  ">>程序运行成功！"});
    EXPECT_EQ(4, BarMax(app));
    EXPECT_EQ(4, BarPos(app));
    EXPECT_EQ("100%", PercentText(app));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
    ASSERT_TRUE(SimRequest("sim"));
    expected = BlinkyPage();
    expected.resize(kFlashBytes, '\xFF');
    const std::string afterAll = EndedFlash();
    EXPECT_TRUE(afterAll == expected) << FirstDifference(afterAll, expected);
}

TEST(Programming, RefusedWriteAndCorruptReadBackEachStopTheRunWithTheBarFull) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    SimFor sim("--fault nack:write@0x08000000");
    ASSERT_TRUE(sim.Ok());
    AppRun app("program-faults");
    app.WriteConfig(Config(g_options.simPort,
                           "FilePath=" + SimFile("blinky.hex") + "\r\nRunProgramFlag=1\r\n"));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));

    // The first block is refused: no verify, no run.
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, ">>FLASH写256byte至0x08000000失败\r\n", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(
        app.Log(), 4,
        {">>读取下载文件到内存：1024byte ，共1页（每页1024byte）", ">>成功擦除芯片所有FLASH区！",
         ">>开始写入FLASH.......", ">>FLASH写256byte至0x08000000失败"});
    EXPECT_EQ(4, BarMax(app));
    EXPECT_EQ(4, BarPos(app));
    EXPECT_EQ("00%", PercentText(app));

    // Another target whose read-back turns byte 5 over: the write completes, the verify
    // stops at that byte, and the run is skipped.
    ASSERT_TRUE(SimRequest("sim --fault corrupt:0x08000005"));
    Click(app.Item(IDC_RECONNECT));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 12; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 8, ConnectLines(g_options.simPort));
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, ">>FLASH地址0x08000005校验出现错误，停止校验操作！\r\n", kJobMs))
        << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 12,
                    ProgramLines(true) + std::vector<std::string>{
                                             ">>开始校验FLASH......",
                                             ">>FLASH地址0x08000005校验出现错误，停止校验操作！"});
    EXPECT_EQ(4, BarMax(app));
    EXPECT_EQ(4, BarPos(app));
    EXPECT_EQ("100%", PercentText(app));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(ReadOut, CancelAndAnUnwritableFileReadNothingAndAFullReadOutEqualsTheFlash) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    const std::string pattern = Pattern(kFlashBytes);
    ASSERT_TRUE(WriteWholeFile(SimFile("pattern.bin"), pattern));
    SimFor sim("--load pattern.bin");
    ASSERT_TRUE(sim.Ok());
    AppRun app("read-out");
    const std::string binPath = app.Dir() + "\\flash.bin";
    ::DeleteFileA(binPath.c_str());
    app.WriteConfig(Config(g_options.simPort, "FilePath=" + SimFile("blinky.hex") +
                                                  "\r\nEraseFlag=0\r\nVerifyFlag=0\r\n"));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));

    // Page 0 takes blinky; the rest keeps the pattern.
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, ">>FLASH烧录完成", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 4, ProgramLines(false));
    std::string expected = BlinkyPage() + pattern.substr(kPage);

    // A cancelled save dialog: one line, no file, not a byte on the wire.
    ASSERT_TRUE(WaitUntil([] { return FileSize(SimFile("wire.log")) > 0; }, kActionMs));
    ::Sleep(200);  // the simulator writes its wire log every 10 ms
    const size_t wireBefore = FileSize(SimFile("wire.log"));
    app.Focus();
    Click(app.Item(IDC_READ_FLASH));
    CancelDialog(app);
    ASSERT_TRUE(WaitForLog(app, ">>取消FLASH读取操作！\r\n"));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 7, {">>取消FLASH读取操作！"});
    EXPECT_FALSE(FileExists(binPath));
    ::Sleep(200);
    EXPECT_EQ(wireBefore, FileSize(SimFile("wire.log")));
    EXPECT_EQ(4, BarMax(app)) << "the cancel touched the bar";

    // A file that another program holds open without sharing cannot be written.
    const std::string lockedPath = app.Dir() + "\\locked.bin";
    HANDLE hLocked = ::CreateFileA(lockedPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hLocked);
    app.Focus();
    Click(app.Item(IDC_READ_FLASH));
    ChooseFileInDialog(app, lockedPath);
    const bool refused = WaitForLog(app, ">>写入文件失败，读取FLASH操作取消！！\r\n");
    ::CloseHandle(hLocked);
    ASSERT_TRUE(refused) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 8, {">>写入文件失败，读取FLASH操作取消！！"});
    ::Sleep(200);
    EXPECT_EQ(wireBefore, FileSize(SimFile("wire.log")));
    EXPECT_EQ(4, BarMax(app));
    EXPECT_EQ(0u, FileSize(lockedPath));

    app.Focus();
    Click(app.Item(IDC_READ_FLASH));
    ChooseFileInDialog(app, binPath);
    ASSERT_TRUE(WaitForLog(app, ">>文件保存位置：", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 9,
                    {">>开始读取FLASH......", ">>读取FLASH操作成功，用时#毫秒！",
                     ">>文件保存位置：" + binPath});
    const std::string file = ReadWholeFile(binPath);
    EXPECT_TRUE(file == expected) << FirstDifference(file, expected);
    EXPECT_EQ(0, BarMin(app));
    EXPECT_EQ(256, BarMax(app));
    EXPECT_EQ(256, BarPos(app));
    EXPECT_EQ("100%", PercentText(app));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
    ASSERT_TRUE(SimRequest("sim"));
    const std::string flash = EndedFlash();
    EXPECT_TRUE(file == flash) << FirstDifference(file, flash);
}

TEST(ReadOut, TargetGoneMidwayFailsAtItsBlockAndReconnectWorksOnceItIsBack) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    const std::string pattern = Pattern(kFlashBytes);
    ASSERT_TRUE(WriteWholeFile(SimFile("pattern.bin"), pattern));
    SimFor sim("--load pattern.bin");
    ASSERT_TRUE(sim.Ok());
    AppRun app("read-out-gone");
    const std::string binPath = app.Dir() + "\\part.bin";
    app.WriteConfig(Config(g_options.simPort));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));

    app.Focus();
    Click(app.Item(IDC_READ_FLASH));
    ChooseFileInDialog(app, binPath);
    // About 5 KB of wire log a block: the device goes once some 20 blocks are through.
    ASSERT_TRUE(WaitUntil([] { return FileSize(SimFile("wire.log")) > 100000; }, kJobMs));
    const DWORD goneAt = ::GetTickCount();
    ASSERT_TRUE(SimRequest("stop"));
    ASSERT_TRUE(WaitForLog(app, "失败！\r\n")) << app.Log();
    EXPECT_LT(::GetTickCount() - goneAt, 30000u) << "the failure took long";
    app.WaitIdle();

    const std::vector<std::string> lines = LogLines(app.Log());
    ASSERT_EQ(6u, lines.size()) << app.Log();
    EXPECT_EQ(">>开始读取FLASH......", lines[4]);
    unsigned address = 0;
    ASSERT_EQ(1, std::sscanf(lines[5].c_str(), ">>读取FLASH 0x%8X", &address)) << lines[5];
    char text[64];
    std::snprintf(text, sizeof(text), ">>读取FLASH 0x%08X失败！", address);
    EXPECT_EQ(text, lines[5]);
    ASSERT_GT(address, 0x08000000u);
    ASSERT_LT(address, 0x08010000u);
    ASSERT_EQ(0u, address % 256);
    // The blocks before the failing one are in the file, as the flash holds them.
    const size_t done = address - 0x08000000u;
    const std::string file = ReadWholeFile(binPath);
    EXPECT_TRUE(file == pattern.substr(0, done)) << FirstDifference(file, pattern.substr(0, done));
    EXPECT_EQ(256, BarMax(app));
    EXPECT_EQ(256, BarPos(app));
    std::snprintf(text, sizeof(text), "%02u%%", static_cast<unsigned>(done / 256 * 100 / 256));
    EXPECT_EQ(text, PercentText(app));

    // The device is back on the same port: a reconnect finds it.
    ASSERT_TRUE(SimRequest("sim --load pattern.bin"));
    Click(app.Item(IDC_RECONNECT));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 10; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 6, ConnectLines(g_options.simPort));
    Click(app.Item(IDC_CHIP_INFO));
    ASSERT_TRUE(WaitForLog(app, ">>芯片ID版本")) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 10,
                    {">>Bootloader版本：V2.2，选项字节：00 00", ">>芯片ID版本：V4.10"});

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

TEST(Programming, DeviceUnpluggedDuringTheWriteFailsThatBlockAndReconnectFindsItReplugged) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    // Host bytes: 5 for the connect (sync, Get, Get ID), 4 for the erase, 265 for a block;
    // the line goes with the second block's address, whose short reply window makes the
    // failure quick (in its data a lost line costs five windows of 40 ms a byte). The
    // simulator serves a new line 300 ms later.
    SimFor sim("--fault unplug:278*1 --replug-ms 300");
    ASSERT_TRUE(sim.Ok());
    AppRun app("program-unplugged");
    app.WriteConfig(Config(g_options.simPort,
                           "FilePath=" + SimFile("blinky.hex") + "\r\nRunProgramFlag=1\r\n"));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));

    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, "失败\r\n", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(
        app.Log(), 4,
        {">>读取下载文件到内存：1024byte ，共1页（每页1024byte）", ">>成功擦除芯片所有FLASH区！",
         ">>开始写入FLASH.......", ">>FLASH写256byte至0x08000100失败"});
    EXPECT_EQ(4, BarMax(app));
    EXPECT_EQ(4, BarPos(app));
    EXPECT_EQ("25%", PercentText(app));

    ::Sleep(1000);  // the replug
    Click(app.Item(IDC_RECONNECT));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 12; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 8, ConnectLines(g_options.simPort));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

namespace {
// The data as Intel HEX at 0x08000000: an extended linear address record, data records of
// 16 bytes, the end-of-file record.
std::string HexFile(const std::string& data) {
    return testhex::IntelHex(std::vector<uint8_t>(data.begin(), data.end()));
}
}  // namespace

TEST(Programming, ThreePageImageStopsAtARefusedPageEraseAndAtARefusedBlock) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    SimFor sim("--fault nack:erase@2");
    ASSERT_TRUE(sim.Ok());
    AppRun app("three-pages");
    const std::string hexPath = app.Dir() + "\\three.hex";
    ASSERT_TRUE(WriteWholeFile(hexPath, HexFile(Pattern(2 * kPage + 600))));
    app.WriteConfig(Config(g_options.simPort,
                           "FilePath=" + hexPath + "\r\nEraseFlag=0\r\nRunProgramFlag=1\r\n"));
    StartAndShow(app);
    ExpectLinesFrom(app.m_logWhenShown, 0, ConnectLines(g_options.simPort));
    const std::string summary = ">>读取下载文件到内存：3072byte ，共3页（每页1024byte）";

    // Pages 0 and 1 are erased and written (8 of 12 blocks), the erase of page 2 is refused.
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, "失败\r\n", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 4, {summary, ">>开始写入FLASH.......", ">>擦除FLASH第2页失败"});
    EXPECT_EQ(0, BarMin(app));
    EXPECT_EQ(12, BarMax(app));
    EXPECT_EQ(12, BarPos(app));
    EXPECT_EQ("66%", PercentText(app));

    // Another target refuses the block at 0x08000500, the second of page 1: 5 blocks done.
    ASSERT_TRUE(SimRequest("sim --fault nack:write@0x08000500"));
    Click(app.Item(IDC_RECONNECT));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 11; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 7, ConnectLines(g_options.simPort));
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, ">>FLASH写256byte至0x08000500失败\r\n", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 11,
                    {summary, ">>开始写入FLASH.......", ">>FLASH写256byte至0x08000500失败"});
    EXPECT_EQ(12, BarMax(app));
    EXPECT_EQ(12, BarPos(app));
    EXPECT_EQ("41%", PercentText(app));

    // A checksum off by one: the load fails, nothing is erased, the bar stays as it was.
    std::string bad = HexFile(Pattern(2 * kPage + 600));
    const size_t lastData = bad.rfind("\r\n:00000001FF");
    bad[lastData - 1] = bad[lastData - 1] == '0' ? '1' : '0';
    ASSERT_TRUE(WriteWholeFile(hexPath, bad));
    ::Sleep(200);
    const size_t wireBefore = FileSize(SimFile("wire.log"));
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 15; }, kActionMs));
    app.WaitIdle();
    ExpectLinesFrom(app.Log(), 14, {">>下载文件打开失败，取消烧录操作！"});
    EXPECT_EQ(12, BarPos(app));
    EXPECT_EQ("41%", PercentText(app));
    ::Sleep(200);
    EXPECT_EQ(wireBefore, FileSize(SimFile("wire.log")));

    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
}

namespace {
// Another chip of the table with a pattern in its flash, and a page-mode image over it.
struct ChipCase {
    const char* key;
    uint32_t flashKiB;
    uint32_t at, length;  // the image, from the flash base
    bool wholeFlash;      // then read out whole, erased whole at the chip's pace, programmed
};

const ChipCase kChipCases[] = {
    {"f407", 1024, 0x4000, 3000, true},      // sector 1 alone, by its own number
    {"h743", 2048, 0xFF800, 0x1000, false},  // bank 1's last sector and bank 2's first
    {"f103hd", 512, 0x1800, 2048, false},    // file pages 6 and 7 are the chip's page 3
};

// Some four minutes on a busy machine, where Wine hands the program one byte at a time.
constexpr DWORD kMegabyteReadOutMs = 1200000;

class ChipProgramming : public ::testing::TestWithParam<ChipCase> {};
}  // namespace

TEST_P(ChipProgramming, NamedAfterConnectAndWorkedByItsOwnUnits) {
    if (!HaveSim()) GTEST_SKIP() << "no simulated bootloader";
    const ChipCase& c = GetParam();
    const chips::Chip& chip = *chips::FindChipByKey(c.key);
    std::string flash = Pattern(c.flashKiB * 1024u);
    ASSERT_TRUE(WriteWholeFile(SimFile("pattern.bin"), flash));
    SimFor sim(std::string("--chip ") + c.key + " --flash-kib " + std::to_string(c.flashKiB) +
               " --load pattern.bin --flash-timing real");
    ASSERT_TRUE(sim.Ok());
    AppRun app(std::string("chip-") + c.key);
    const std::string image = Pattern(c.length), hexPath = app.Dir() + "\\image.hex";
    ASSERT_TRUE(WriteWholeFile(
        hexPath, testhex::IntelHex(std::vector<uint8_t>(image.begin(), image.end()), c.at)));
    app.WriteConfig(Config(g_options.simPort, "FilePath=" + hexPath + "\r\nEraseFlag=0\r\n"));
    StartAndShow(app);
    const std::vector<std::string> lines = LogLines(app.m_logWhenShown);
    ASSERT_EQ(5u, lines.size()) << app.m_logWhenShown;
    EXPECT_EQ(0u, lines[3].find(">>Bootloader操作指令："));
    EXPECT_EQ(std::string(">>芯片型号：") + chip.name + "，FLASH容量：" +
                  std::to_string(c.flashKiB) + "KB",
              lines[4]);

    const std::vector<std::string> programmed = {
        ">>开始写入FLASH.......", ">>FLASH烧录完成，用时#毫秒！", ">>开始校验FLASH......",
        ">>FLASH校验成功，用时#毫秒！"};
    Click(app.Item(IDC_START));
    ASSERT_TRUE(WaitForLog(app, ">>FLASH校验成功", kJobMs)) << app.Log();
    app.WaitIdle();
    ExpectLinesFrom(
        app.Log(), 5,
        std::vector<std::string>{">>读取下载文件到内存：#byte ，共#页（每页1024byte）"} +
            programmed);
    // Every unit under the image erased, the others as they were; the simulator's dump holds
    // the units one after another, as these do.
    size_t offset = 0;
    for (const chips::EraseUnit& unit : chips::FlashUnits(chip, c.flashKiB)) {
        const uint32_t from = unit.address - chip.flashBase;
        if (from < c.at + c.length && c.at < from + unit.size) {
            flash.replace(offset, unit.size, unit.size, '\xFF');
        }
        offset += unit.size;
    }
    flash.replace(c.at, c.length, image);

    if (c.wholeFlash) {
        const std::string binPath = app.Dir() + "\\flash.bin";
        app.Focus();
        Click(app.Item(IDC_READ_FLASH));
        ChooseFileInDialog(app, binPath);
        ASSERT_TRUE(WaitForLog(app, ">>文件保存位置：", kMegabyteReadOutMs)) << app.Log();
        app.WaitIdle();
        const std::string file = ReadWholeFile(binPath);
        EXPECT_TRUE(file == flash) << FirstDifference(file, flash);
        EXPECT_EQ(static_cast<int>(flash.size() / 256), BarMax(app));

        app.Focus();
        Click(app.Item(IDC_ERASE_ALL));
        const DWORD pressedAt = ::GetTickCount();
        Click(app.Item(IDC_START));
        ASSERT_TRUE(WaitUntil([&] { return LogLines(app.Log()).size() >= 19; }, kJobMs))
            << app.Log();
        EXPECT_GE(::GetTickCount() - pressedAt, 15000u) << "the simulator's erase takes 16 s";
        app.WaitIdle();
        ExpectLinesFrom(
            app.Log(), 13,
            std::vector<std::string>{">>读取下载文件到内存：#byte ，共#页（每页1024byte）",
                                     ">>成功擦除芯片所有FLASH区！"} +
                programmed);
        flash.assign(flash.size(), '\xFF');
        flash.replace(c.at, c.length, image);
    }
    PressOnMain(app, VK_ESCAPE);
    EXPECT_EQ(2, app.WaitExit(kExitMs));
    ASSERT_TRUE(SimRequest("sim"));
    const std::string ended = EndedFlash();
    EXPECT_TRUE(ended == flash) << FirstDifference(ended, flash);
}

INSTANTIATE_TEST_SUITE_P(Chips, ChipProgramming, ::testing::ValuesIn(kChipCases),
                         [](const ::testing::TestParamInfo<ChipCase>& info) {
                             return std::string(info.param.key);
                         });
