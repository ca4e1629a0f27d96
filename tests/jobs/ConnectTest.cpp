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
    bool ok, erased, readable;
    const char* first;  // the job's first log line
};

const ProtectionCase kProtectionCases[] = {
    {"ReadoutUnprotectErases", 'R', true, true, true, true,
     ">>已解除读保护，芯片擦除全部FLASH后复位"},
    {"WriteUnprotect", 'W', false, true, false, true, ">>已解除写保护，芯片复位"},
    {"ReadoutProtect", 'P', false, true, false, false, ">>已启用读保护，芯片复位"},
    {"ReadoutProtectRefused", 'P', true, false, false, false, ">>启用读保护失败！"},
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
    EXPECT_EQ(lines.back(), c.ok ? ">>芯片复位后重新连接成功！" : c.first) << host.log;
    EXPECT_EQ(Succeeded(), c.ok ? 1 : 0);
    EXPECT_TRUE(jobs.IsConnected());
    EXPECT_EQ(target.Resets() > resets, c.ok);
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

}  // namespace
