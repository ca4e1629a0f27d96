// Read-out: 64 KiB of flash into a raw binary file.
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "JobFixture.h"

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

class ReadOutTest : public JobTest {
protected:
    sim::PtyTarget& Prepare(std::vector<std::string> faults = {}) {
        sim::TargetConfig config;
        config.initialFlash = Pattern(40000);
        config.faults = std::move(faults);
        sim::PtyTarget& target = StartTarget(config);
        ConnectTo(target);
        return target;
    }
};

TEST_F(ReadOutTest, CompleteReadOutEqualsFlashAndLogsWhereItWent) {
    sim::PtyTarget& target = Prepare();
    host.savePath = TempPath("flash.bin");
    {
        std::ofstream old(host.savePath, std::ios::binary);
        old << std::string(70000, 'x');  // an existing, longer file is replaced
    }

    jobs.ReadOut();

    std::vector<uint8_t> flash = target.Flash();
    flash.resize(65536);
    EXPECT_EQ(ReadFile(host.savePath), flash);
    EXPECT_EQ(WithoutDurations(host.Lines()),
              (std::vector<std::string>{">>开始读取FLASH......", ">>读取FLASH操作成功，用时N毫秒！",
                                        ">>文件保存位置：" + host.savePath}));
    EXPECT_EQ(host.range, 256);
    ASSERT_EQ(host.percents.size(), 257u);
    EXPECT_EQ(host.percents[0], "00%");
    EXPECT_EQ(host.percents[1], "00%");
    EXPECT_EQ(host.percents[2], "00%");
    EXPECT_EQ(host.percents[3], "01%");
    EXPECT_EQ(host.percents[128], "50%");
    EXPECT_EQ(host.percents[256], "100%");
    EXPECT_EQ(jobs.LastJobSucceeded(), 1);
}

TEST_F(ReadOutTest, ReadFailureKeepsBlocksWrittenBefore) {
    sim::PtyTarget& target = Prepare({"nack:read@0x08004000"});
    host.savePath = TempPath("partial.bin");
    jobs.ReadOut();
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(16384);
    EXPECT_EQ(ReadFile(host.savePath), flash);
    std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], ">>读取FLASH 0x08004000失败！");
    EXPECT_EQ(host.position, 256);
    EXPECT_EQ(host.percents.back(), "25%");
    EXPECT_EQ(jobs.LastJobSucceeded(), 0);
}

TEST_F(ReadOutTest, FailureOnFirstBlockLeavesNewFileEmptyAndOldFileUntouched) {
    Prepare({"nack:read@0x08000000"});
    host.savePath = TempPath("empty.bin");
    jobs.ReadOut();
    EXPECT_TRUE(FileExists(host.savePath));
    EXPECT_TRUE(ReadFile(host.savePath).empty());

    host.savePath = TempPath("precious.bin");
    const std::vector<uint8_t> precious(3000, 0x5A);
    {
        std::ofstream old(host.savePath, std::ios::binary);
        old.write(reinterpret_cast<const char*>(precious.data()), 3000);
    }
    jobs.ReadOut();
    EXPECT_EQ(ReadFile(host.savePath), precious);
    EXPECT_EQ(jobs.LastJobSucceeded(), 0);
}

TEST_F(ReadOutTest, CancelledPromptReadsNothing) {
    sim::PtyTarget& target = Prepare();
    jobs.ReadOut();
    EXPECT_EQ(host.prompts, 1);
    EXPECT_EQ(host.log, ">>取消FLASH读取操作！\r\n");
    EXPECT_TRUE(target.HostBytes().empty());
    EXPECT_TRUE(host.bar.empty());
}

TEST_F(ReadOutTest, UnwritablePathIsReportedBeforeReading) {
    sim::PtyTarget& target = Prepare();
    host.savePath = "/nonexistent-kestrel-dir/flash.bin";
    jobs.ReadOut();
    EXPECT_EQ(host.log, ">>写入文件失败，读取FLASH操作取消！！\r\n");
    EXPECT_TRUE(target.HostBytes().empty());
    EXPECT_TRUE(host.bar.empty());
}

TEST_F(ReadOutTest, FullDiskIsReportedAtTheBlockThatFailed) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Prepare();
    host.savePath = "/dev/full";
    jobs.ReadOut();
    std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), 2u) << host.log;
    EXPECT_EQ(lines[1], ">>成功读取FLASH 0x08000000，但写入文件时发生异常！");
    EXPECT_EQ(host.position, 256);
}

TEST_F(ReadOutTest, NotConnectedDoesNotPrompt) {
    jobs.ReadOut();
    EXPECT_EQ(host.log, ">>未连接ISP，本次操作无效！!\r\n");
    EXPECT_EQ(host.prompts, 0);
}

}  // namespace
