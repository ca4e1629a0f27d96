// Connect, reconnect and the port scan against simulated targets.
#include "JobFixture.h"
#include "OpenFailure.h"

namespace {

std::string OpenedLine(const std::string& port) { return ">>串口" + port + "打开成功!"; }
std::string OpenFailedLine(const std::string& port) { return ">>串口" + port + "打开失败!"; }
std::string IspFailedLine(const std::string& port) {
    return ">>连接ISP失败，关闭串口" + port + "!";
}

TEST_F(JobTest, ConnectLogsPortVersionAndCommandTable) {
    SimTarget& target = StartTarget();
    ASSERT_EQ(jobs.Connect(target.Name()), 1);
    EXPECT_EQ(host.log, OpenedLine(target.Name()) +
                            "\r\n>>连接ISP成功!\r\n>>Bootloader版本：V2.2\r\n"
                            ">>Bootloader操作指令：00 01 02 11 21 31 43 63 73 82 92 \r\n");
    EXPECT_TRUE(link.IsOpen());
    EXPECT_FALSE(jobs.IsConnected()) << "Connect leaves the flag to its callers";
}

TEST_F(JobTest, CommandTableOnlyWhenAsked) {
    SimTarget& target = StartTarget();
    ChangeOptions([](JobOptions& o) { o.logBootloaderCommands = false; });
    ASSERT_EQ(jobs.Connect(target.Name()), 1);
    EXPECT_EQ(host.log,
              OpenedLine(target.Name()) + "\r\n>>连接ISP成功!\r\n>>Bootloader版本：V2.2\r\n");
}

TEST_F(JobTest, ConnectShowsExtendedEraseAndVersionDigits) {
    sim::TargetConfig config;
    config.eraseCmd = 0x44;
    config.blVersion = 0x31;
    SimTarget& target = StartTarget(config);
    ASSERT_EQ(jobs.Connect(target.Name()), 1);
    EXPECT_NE(host.log.find(">>Bootloader版本：V3.1\r\n"), std::string::npos) << host.log;
    EXPECT_NE(host.log.find("00 01 02 11 21 31 44 63 73 82 92 \r\n"), std::string::npos);
}

TEST_F(JobTest, ConnectWithEmptyNameLogsInvalidPortAndOpensNothing) {
    EXPECT_EQ(jobs.Connect(""), 0);
    EXPECT_EQ(host.log, ">>无效串口号........\r\n");
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(JobTest, ConnectToMissingDeviceLogsOpenFailure) {
    EXPECT_EQ(jobs.Connect("/dev/kestrel-no-such-port"), 0);
    EXPECT_EQ(host.Lines(), std::vector<std::string>{OpenFailedLine("/dev/kestrel-no-such-port")});
    using Failure = std::pair<std::string, int>;
    EXPECT_EQ(host.openFailures,
              std::vector<Failure>{Failure("/dev/kestrel-no-such-port", OpenFailureNoDevice)});
}

TEST_F(JobTest, ConnectToSilentTargetLogsFailureAndClosesPort) {
    sim::TargetConfig config;
    config.faults = {"silent"};
    SimTarget& target = StartTarget(config);
    EXPECT_EQ(jobs.Connect(target.Name()), 0);
    EXPECT_EQ(host.Lines(),
              (std::vector<std::string>{OpenedLine(target.Name()), IspFailedLine(target.Name())}));
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(JobTest, ReconnectWhileConnectedResetsAndFetchesTableAgain) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    int resetsBefore = target.Resets();
    jobs.Reconnect();
    EXPECT_TRUE(jobs.IsConnected());
    EXPECT_GT(target.Resets(), resetsBefore) << "the port was closed before the new sync";
    std::vector<uint8_t> sent = target.HostBytes();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], 0x7F);
    EXPECT_EQ(sent[1], 0x00);
    EXPECT_EQ(sent[2], 0xFF);
    EXPECT_EQ(host.Lines().size(), 4u) << host.log;
}

TEST_F(JobTest, DisconnectClosesThePortAndClearsTheFlag) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    jobs.Disconnect();
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(jobs.IsConnected());
    EXPECT_EQ(host.log, "");
}

TEST_F(JobTest, DisconnectWithThePortClosedLeavesTheFlag) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    link.Close();  // as when the port goes away under the link
    jobs.Disconnect();
    EXPECT_TRUE(jobs.IsConnected());
}

TEST_F(JobTest, ScanSkipsFailedPortPassesSilentOneAndConnectsOnThird) {
    sim::TargetConfig silent;
    silent.faults = {"silent"};
    SimTarget& quiet = StartTarget(silent);
    SimTarget& good = StartTarget();
    const std::string missing = "/dev/kestrel-missing";
    host.ports = {missing, quiet.Name(), good.Name()};
    jobs.SetPort(missing);

    jobs.Reconnect();

    EXPECT_TRUE(jobs.IsConnected());
    EXPECT_EQ(jobs.Options().port, good.Name());
    EXPECT_EQ(host.stored, std::vector<std::string>{good.Name()});
    EXPECT_EQ(host.selected, 2);
    std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), 7u) << host.log;
    EXPECT_EQ(lines[0], OpenFailedLine(missing));  // the first attempt, not retried by the scan
    EXPECT_EQ(lines[1], OpenedLine(quiet.Name()));
    EXPECT_EQ(lines[2], IspFailedLine(quiet.Name()));
    EXPECT_EQ(lines[3], OpenedLine(good.Name()));
    EXPECT_EQ(lines[4], ">>连接ISP成功!");
}

TEST_F(JobTest, ScanComparesFailedNameCaseSensitively) {
    host.ports = {"/dev/KESTREL-missing", "/dev/kestrel-missing"};
    jobs.SetPort("/dev/kestrel-missing");
    jobs.Reconnect();
    EXPECT_EQ(host.Lines(), (std::vector<std::string>{OpenFailedLine("/dev/kestrel-missing"),
                                                      OpenFailedLine("/dev/KESTREL-missing")}));
}

TEST_F(JobTest, FailedScanKeepsOldNameAndStoresNothing) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    host.ports = {"/dev/kestrel-a", "/dev/kestrel-b"};
    jobs.SetPort("/dev/kestrel-b");
    jobs.Reconnect();
    EXPECT_FALSE(jobs.IsConnected());
    EXPECT_EQ(jobs.Options().port, "/dev/kestrel-b");
    EXPECT_TRUE(host.stored.empty());
    EXPECT_EQ(host.selected, -1);
}

TEST_F(JobTest, EmptyPortListAndNoNameLogsInvalidPortOnly) {
    jobs.Reconnect();
    EXPECT_EQ(host.log, ">>无效串口号........\r\n");
    EXPECT_FALSE(jobs.IsConnected());
}

// The protection jobs: the command, the chip's reset waited out, the link brought back on the
// same port, and the chip as the command left it.
struct ProtectionCase {
    const char* name;
    char job;  // 'R' read-out unprotect, 'W' write unprotect, 'P' read-out protect
    bool protectedBefore;
    bool ok, reconnects, erased, readable;
    const char* first;  // the job's first log line
};

const ProtectionCase kProtectionCases[] = {
    {"ReadoutUnprotectErases", 'R', true, true, true, true, true,
     ">>已解除读保护，芯片擦除全部FLASH后复位"},
    {"ReadoutUnprotectWhenOff", 'R', false, true, false, false, true,
     ">>读保护未启用（级别0），无需解除，FLASH未擦除"},
    {"WriteUnprotect", 'W', false, true, true, false, true, ">>已解除写保护，芯片复位"},
    {"ReadoutProtect", 'P', false, true, true, false, false, ">>已启用读保护，芯片复位"},
    {"ReadoutProtectRefused", 'P', true, false, false, false, false, ">>启用读保护失败！"},
};

class ProtectionJobTest : public JobTest, public ::testing::WithParamInterface<ProtectionCase> {};

TEST_P(ProtectionJobTest, CommandThenResetThenTheSamePortAgain) {
    const ProtectionCase& c = GetParam();
    sim::TargetConfig config;
    config.SetChip(*chips::FindChipByKey("f103"));
    config.initialFlash = Pattern(4096);
    config.readoutProtected = c.protectedBefore;
    SimTarget& target = StartTarget(config);
    jobs.SetIdentifyChip(true);
    ConnectTo(target);
    const int resets = target.Resets();
    c.job == 'P' ? (last = jobs.ProtectReadout()) : (last = jobs.Unprotect(c.job == 'R'));
    const std::vector<std::string> lines = host.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), c.first);
    EXPECT_EQ(lines.back(), c.reconnects ? ">>芯片复位后重新连接成功！" : c.first) << host.log;
    EXPECT_EQ(Succeeded(), c.ok ? 1 : 0);
    EXPECT_TRUE(jobs.IsConnected());
    EXPECT_EQ(target.Resets() > resets, c.reconnects);
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(4096);
    EXPECT_EQ(flash, c.erased ? std::vector<uint8_t>(4096, 0xFF) : config.initialFlash);
    // Readable: a read-out of one word goes through.
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    ChangeOptions([&](JobOptions& o) {
        o.readAddress = 0x08000000;
        o.readLength = 4;
        o.readOutStream = sink;
    });
    last = jobs.ReadOut();
    std::fclose(sink);
    EXPECT_EQ(Succeeded(), c.readable ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Jobs, ProtectionJobTest, ::testing::ValuesIn(kProtectionCases), kCaseName);

// The chip is used only when what it says holds together; otherwise layout-dependent work
// (here an erase of 2 KiB at 0x08004000) stops before it sends anything, saying what was seen.
struct IdentifyCase {
    const char* name;
    const char* chip;  // the simulated chip
    uint16_t pid;      // what it answers instead of its own ID; 0: its own
    std::vector<std::string> faults;
    const char* chipKey;  // --chip; "": none
    uint32_t flashKiB;    // --flash-kib; 0: none
    const char* line;     // the one line logged: the refusal, or the rounding of a done erase
};

const char* const kErased = ">>擦除范围按擦除单元扩展为0x08004000至0x08007FFF";
const IdentifyCase kIdentifyCases[] = {
    {"IdUnreadable",
     "f407",
     0,
     {"nack:id"},
     "",
     0,
     ">>FLASH布局未知（芯片未应答读取ID命令）；请用--chip NAME指定芯片（kestrel-isp "
     "--list-chips列出型号）"},
    {"UnknownId",
     "f407",
     0x0999,
     {},
     "",
     0,
     ">>FLASH布局未知（未知产品ID 0x999）；请用--chip NAME指定芯片（kestrel-isp "
     "--list-chips列出型号）"},
    {"IdAnotherFamilysErase",
     "f407",
     0x0414,
     {},
     "",
     0,
     ">>FLASH布局未知（产品ID 0x414，但Bootloader列出扩展擦除命令（0x44））；请用--chip "
     "NAME指定芯片（kestrel-isp --list-chips列出型号）"},
    {"NoUsableEraseListed",
     "f407",
     0,
     {"erase-code:0x45"},
     "",
     0,
     ">>FLASH布局未知（产品ID 0x413，但Bootloader列出无法使用的擦除命令（0x45））；请用--chip "
     "NAME指定芯片（kestrel-isp --list-chips列出型号）"},
    {"SizeNoneOfTheFamilys",
     "f407",
     0,
     {"reply:read:79,37,00*1"},
     "",
     0,
     ">>FLASH布局未知（FLASH容量寄存器为55KB，STM32F405/407/415/417没有此容量）；请用--chip "
     "NAME指定芯片（kestrel-isp --list-chips列出型号）"},
    {"NamedChipAgrees", "f407", 0, {}, "f407", 0, kErased},
    {"NamedChipWhenIdUnreadable", "f407", 0, {"nack:id"}, "f407", 0, kErased},
    {"NamedChipContradicted",
     "f407",
     0,
     {},
     "f103",
     0,
     ">>f103与芯片自身信息不符：芯片产品ID为0x413；请检查--chip和--flash-kib"},
    {"SizeContradicted",
     "f407",
     0,
     {},
     "",
     512,
     ">>f407与芯片自身信息不符：FLASH容量寄存器为1024KB；请检查--chip和--flash-kib"},
    {"TwoBanksSizeUnreadable",
     "l476",
     0,
     {"nack:read@0x1FFF75E0"},
     "",
     0,
     ">>FLASH布局未知（STM32L47x/48x有两个BANK且无法读取FLASH容量）；请用--flash-kib "
     "N指定FLASH容量"},
    {"TwoBanksSizeGiven",
     "l476",
     0,
     {"nack:read@0x1FFF75E0"},
     "",
     1024,
     ">>成功擦除FLASH 0x08004000至0x080047FF（1个擦除单元）！"},
};

class IdentifyTest : public JobTest, public ::testing::WithParamInterface<IdentifyCase> {};

TEST_P(IdentifyTest, LayoutDependentWorkOnlyWithAChipThatHoldsTogether) {
    const IdentifyCase& c = GetParam();
    sim::TargetConfig config;
    config.SetChip(*chips::FindChipByKey(c.chip));
    config.initialFlash = Pattern(0x10000);
    if (c.pid != 0) config.pid = c.pid;
    config.faults = c.faults;
    SimTarget& target = StartTarget(config);
    ChangeOptions([&](JobOptions& o) {
        o.identifyChip = true;
        o.chipKey = c.chipKey;
        o.flashKiB = c.flashKiB;
    });
    ConnectTo(target);
    last = jobs.EraseRange(0x08004000, 2048);
    const bool refused = std::string(c.line).find("0x08004000至") == std::string::npos;
    EXPECT_EQ(Succeeded(), refused ? 0 : 1) << host.log;
    const std::vector<std::string> lines = host.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), c.line), 1) << host.log;
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(config.initialFlash.size());
    EXPECT_EQ(flash == config.initialFlash, refused);
    if (refused) {
        EXPECT_TRUE(target.HostBytes().empty()) << "nothing sent after identifying";
    }
}

INSTANTIATE_TEST_SUITE_P(Chips, IdentifyTest, ::testing::ValuesIn(kIdentifyCases), kCaseName);

// Without a layout only whole-flash programming goes on, and says the file's fit was not
// checked; page mode and a whole-flash read-out stop first. Every ending of the command line
// is a line that says why.
TEST_F(JobTest, UnknownChipProgramsOnlyByErasingAllAndSaysTheFitWasNotChecked) {
    sim::TargetConfig config;
    config.faults = {"nack:id"};
    SimTarget& target = StartTarget(config);
    ChangeOptions([](JobOptions& o) {
        o.identifyChip = true;
        o.explainFailures = true;
        o.filePath = "";
    });
    ConnectTo(target);
    jobs.SetFilePath(WriteHexFile("fit.hex", Pattern(1024)));
    jobs.SetEraseAll(false);
    EXPECT_EQ(jobs.Program(), JobOutcome::Failed);
    EXPECT_TRUE(target.HostBytes().empty());
    host.savePath = TempPath("whole.bin");
    EXPECT_EQ(jobs.ReadOut(), JobOutcome::Failed);
    EXPECT_NE(host.Lines().back().find("或用--length指定读取长度"), std::string::npos) << host.log;
    EXPECT_TRUE(target.HostBytes().empty());
    host.log.clear();
    jobs.SetEraseAll(true);
    EXPECT_EQ(jobs.Program(), JobOutcome::Done) << host.log;
    EXPECT_EQ(host.Lines()[1], ">>芯片未知，未检查下载文件是否超出FLASH");
    // The load line counts in the image's own pages when the chip's are not known.
    host.log.clear();
    jobs.SetFilePath(WriteHexFile("fit.hex", Pattern(1500)));
    ChangeOptions([](JobOptions& o) { o.loadLineInChipUnits = true; });
    EXPECT_EQ(jobs.Program(), JobOutcome::Done) << host.log;
    EXPECT_EQ(host.Lines()[0], ">>读取下载文件到内存：1500字节，占2页（每页1 KiB）");
}

// The command line waits only for what the line needs: no pulse without a reset line, the
// named chip's own start-up after the reset (else the usual 50 ms), and on a named port where
// nothing answered, one more try after the slowest chip's start-up.
struct StartupCase {
    const char* name;
    ResetWiring::Line reset;
    const char* chipKey;
    std::vector<std::string> faults;
    uint64_t pulseUs, afterUs;  // the reset line's time asserted; from its release to the sync
    bool retried;
};

const StartupCase kStartupCases[] = {
    {"UsualBoard", ResetWiring::Dtr, "", {}, 100000, 50000, false},
    {"NamedChip", ResetWiring::Dtr, "f407", {}, 100000, 105738, false},
    {"NoResetLine", ResetWiring::None, "", {}, 0, 0, false},
    {"SlowChipGetsASecondTry", ResetWiring::Dtr, "", {"nack:sync*1"}, 100000, 3200000, true},
};

class StartupTest : public JobTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupTest, WaitsOnlyWhatTheLineNeeds) {
    const StartupCase& c = GetParam();
    sim::TargetConfig config;
    config.SetChip(*chips::FindChipByKey("f407"));
    config.faults = c.faults;
    SimTarget& target = StartTarget(config);
    ResetWiring wiring;
    wiring.reset = c.reset;
    wiring.boot = c.reset == ResetWiring::None ? ResetWiring::None : ResetWiring::Rts;
    ASSERT_TRUE(jobs.SetResetWiring(wiring));
    target.SetResetWiring(wiring);
    ChangeOptions([&](JobOptions& o) {
        o.quickWaits = true;
        o.chipKey = c.chipKey;
    });
    const uint64_t opened = link.NowUs();
    jobs.ConnectOnly(target.Name());
    ASSERT_TRUE(jobs.IsConnected()) << host.log;
    const std::vector<std::string> lines = host.Lines();
    const std::string retry =
        ">>Bootloader无应答，再试一次：复位后等待3200毫秒（最慢芯片的启动时间）";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), retry), c.retried ? 1 : 0) << host.log;
    // The last sync byte, against the last release of the reset line (or the open).
    uint64_t sync = 0;
    for (const sim::WireByte& w : target.WireLog()) {
        if (w.fromHost && w.value == 0x7F) sync = w.usec;
    }
    uint64_t released = opened, asserted = opened;
    for (const SimLineChange& change : link.LineLog()) {
        if (change.line != LinkLine::Dtr) continue;
        (change.on ? asserted : released) = change.us;
    }
    if (c.reset != ResetWiring::None) {
        EXPECT_EQ(asserted, c.retried ? asserted : opened) << "the pulse starts at the open";
        EXPECT_EQ(released - asserted, c.pulseUs);
    }
    const uint64_t waited = sync - released;
    EXPECT_GE(waited, c.afterUs);
    EXPECT_LT(waited, c.afterUs + 2 * link.ByteUs()) << "the sync goes out at once after the wait";
}

INSTANTIATE_TEST_SUITE_P(Waits, StartupTest, ::testing::ValuesIn(kStartupCases), kCaseName);

}  // namespace
