// Chip information: version with option bytes, and the product ID.
#include "JobFixture.h"

namespace {

TEST_F(JobTest, ChipInfoLogsVersionOptionBytesAndId) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    last = jobs.ReadChipInfo();
    EXPECT_EQ(host.log, ">>Bootloader版本：V2.2，选项字节：00 00\r\n>>芯片ID版本：V4.10\r\n");
    EXPECT_EQ(Succeeded(), 1);
    EXPECT_TRUE(host.bar.empty());
}

TEST_F(JobTest, ChipIdKeepsLeadingZeroOfSecondByte) {
    sim::TargetConfig config;
    config.pid = 0x0405;
    config.blVersion = 0x31;
    SimTarget& target = StartTarget(config);
    ConnectTo(target);
    last = jobs.ReadChipInfo();
    EXPECT_EQ(host.log, ">>Bootloader版本：V3.1，选项字节：00 00\r\n>>芯片ID版本：V4.05\r\n");
}

TEST_F(JobTest, ChipInfoBeforeConnectRefusesAndSendsNothing) {
    SimTarget& target = StartTarget();
    last = jobs.ReadChipInfo();
    EXPECT_EQ(host.log, ">>未连接ISP，本次操作无效！!\r\n");
    EXPECT_TRUE(target.HostBytes().empty());
}

TEST_F(JobTest, ChipInfoAfterGoLogsBothFailures) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    last = jobs.GoTo();
    ASSERT_EQ(Succeeded(), 1);
    host.log.clear();
    last = jobs.ReadChipInfo();
    EXPECT_EQ(host.log, ">>读取版本及读保护信息失败！\r\n>>读取芯片ID版本失败！\r\n");
    EXPECT_TRUE(jobs.IsConnected());
    EXPECT_EQ(Succeeded(), 0);
}

TEST_F(JobTest, VersionFailureDoesNotStopChipId) {
    sim::TargetConfig config;
    config.faults = {"nack:version"};
    SimTarget& target = StartTarget(config);
    ConnectTo(target);
    last = jobs.ReadChipInfo();
    EXPECT_EQ(host.log, ">>读取版本及读保护信息失败！\r\n>>芯片ID版本：V4.10\r\n");
}

}  // namespace
