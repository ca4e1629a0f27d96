// Read-out: 64 KiB of flash (or a range) into a raw binary file, kept whole, or a stream.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "FileReplace.h"
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
    SimTarget& Prepare(std::vector<std::string> faults = {}) {
        sim::TargetConfig config;
        config.initialFlash = Pattern(40000);
        config.faults = std::move(faults);
        SimTarget& target = StartTarget(config);
        ConnectTo(target);
        return target;
    }
};

TEST_F(ReadOutTest, CompleteReadOutEqualsFlashAndLogsWhereItWent) {
    SimTarget& target = Prepare();
    host.savePath = TempPath("flash.bin");
    {
        std::ofstream old(host.savePath, std::ios::binary);
        old << std::string(70000, 'x');  // an existing, longer file is replaced
    }

    last = jobs.ReadOut();

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
    EXPECT_EQ(Succeeded(), 1);
}

TEST_F(ReadOutTest, ReadFailureKeepsBlocksWrittenBefore) {
    SimTarget& target = Prepare({"nack:read@0x08004000"});
    host.savePath = TempPath("partial.bin");
    last = jobs.ReadOut();
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(16384);
    EXPECT_EQ(ReadFile(host.savePath), flash);
    std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], ">>读取FLASH 0x08004000失败！");
    EXPECT_EQ(host.position, 256);
    EXPECT_EQ(host.percents.back(), "25%");
    EXPECT_EQ(Succeeded(), 0);
}

TEST_F(ReadOutTest, FailureOnFirstBlockLeavesNewFileEmptyAndOldFileUntouched) {
    Prepare({"nack:read@0x08000000"});
    host.savePath = TempPath("empty.bin");
    last = jobs.ReadOut();
    EXPECT_TRUE(FileExists(host.savePath));
    EXPECT_TRUE(ReadFile(host.savePath).empty());

    host.savePath = TempPath("precious.bin");
    const std::vector<uint8_t> precious(3000, 0x5A);
    {
        std::ofstream old(host.savePath, std::ios::binary);
        old.write(reinterpret_cast<const char*>(precious.data()), 3000);
    }
    last = jobs.ReadOut();
    EXPECT_EQ(ReadFile(host.savePath), precious);
    EXPECT_EQ(Succeeded(), 0);
}

TEST_F(ReadOutTest, CancelledPromptReadsNothing) {
    SimTarget& target = Prepare();
    last = jobs.ReadOut();
    EXPECT_EQ(host.prompts, 1);
    EXPECT_EQ(host.log, ">>取消FLASH读取操作！\r\n");
    EXPECT_TRUE(target.HostBytes().empty());
    EXPECT_TRUE(host.bar.empty());
}

TEST_F(ReadOutTest, UnwritablePathIsReportedBeforeReading) {
    SimTarget& target = Prepare();
    host.savePath = "/nonexistent-kestrel-dir/flash.bin";
    last = jobs.ReadOut();
    EXPECT_EQ(host.log, ">>写入文件失败，读取FLASH操作取消！！\r\n");
    EXPECT_TRUE(target.HostBytes().empty());
    EXPECT_TRUE(host.bar.empty());
}

TEST_F(ReadOutTest, FullDiskIsReportedAtTheBlockThatFailed) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    Prepare();
    host.savePath = "/dev/full";
    last = jobs.ReadOut();
    std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), 2u) << host.log;
    EXPECT_EQ(lines[1], ">>成功读取FLASH 0x08000000，但写入文件时发生异常！");
    EXPECT_EQ(host.position, 256);
}

TEST_F(ReadOutTest, NotConnectedDoesNotPrompt) {
    last = jobs.ReadOut();
    EXPECT_EQ(host.log, ">>未连接ISP，本次操作无效！!\r\n");
    EXPECT_EQ(host.prompts, 0);
}

// A range of the flash, into a file or a stream: exactly its bytes, in blocks of at most 256
// that never run into the gap between two banks, which reads as erased.
struct RangeCase {
    const char* name;
    const char* chip;  // "": none identified
    uint32_t flashKiB, address, length;
    size_t offset, flashBytes, gapBytes;  // the output: flash from offset, then 0xFF
    int blocks;
    bool stream;
};

const RangeCase kRanges[] = {
    {"Unaligned", "", 64, 0x08000101, 1000, 0x101, 1000, 0, 4, false},
    {"ToTheEnd", "", 64, 0x0800FF80, 0, 0xFF80, 0x80, 0, 1, false},
    {"IntoTheGapBetweenBanks", "h743", 512, 0x0803FF80, 0x100, 0x3FF80, 0x80, 0x80, 2, false},
    {"IntoAStream", "", 64, 0, 1000, 0, 1000, 0, 4, true},
};

class ReadOutRangeTest : public JobTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(ReadOutRangeTest, OutputHoldsExactlyTheRange) {
    const RangeCase& c = GetParam();
    sim::TargetConfig config;
    if (*c.chip) config.SetChip(*chips::FindChipByKey(c.chip));
    config.flashKiB = c.flashKiB;
    config.initialFlash = Pattern(c.flashKiB * 1024u);
    SimTarget& target = StartTarget(config);
    jobs.SetIdentifyChip(*c.chip != 0);
    ConnectTo(target);
    FILE* stream = c.stream ? std::tmpfile() : nullptr;
    ChangeOptions([&](JobOptions& o) {
        o.readAddress = c.address;
        o.readLength = c.length;
        o.readOutStream = stream;
    });
    host.savePath = TempPath("range.bin");
    last = jobs.ReadOut();
    ASSERT_EQ(Succeeded(), 1) << host.log;
    std::vector<uint8_t> got = ReadFile(host.savePath);
    if (stream) {
        std::rewind(stream);
        got.resize(2000);
        got.resize(std::fread(got.data(), 1, got.size(), stream));
        std::fclose(stream);
        EXPECT_EQ(host.prompts, 0);
    }
    const std::vector<uint8_t> flash = target.Flash();
    std::vector<uint8_t> expected(flash.begin() + c.offset,
                                  flash.begin() + c.offset + c.flashBytes);
    expected.resize(c.flashBytes + c.gapBytes, 0xFF);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(host.range, c.blocks);
}

INSTANTIATE_TEST_SUITE_P(Ranges, ReadOutRangeTest, ::testing::ValuesIn(kRanges), kCaseName);

// A safe read-out replaces the old file only when complete; one that fails part-way keeps the
// bytes read beside it; neither leaves a temporary file behind.
struct SafeCase {
    const char* name;
    std::vector<std::string> faults;
    size_t kept;
};

const SafeCase kSafeCases[] = {
    {"Complete", {}, 65536},
    {"FailsPartWay", {"nack:read@0x08004000"}, 0x4000},
    {"FailsAtTheFirstBlock", {"nack:read@0x08000000"}, 0},
};

class SafeReadOutTest : public ReadOutTest, public ::testing::WithParamInterface<SafeCase> {};

TEST_P(SafeReadOutTest, OldFileStaysUntilTheReadOutIsComplete) {
    const SafeCase& c = GetParam();
    SimTarget& target = Prepare(c.faults);
    ChangeOptions([](JobOptions& o) { o.readOutSafely = true; });
    host.savePath = TempPath("safe.bin");
    const std::string partial = TempPath("safe.bin.partial");
    std::ofstream(host.savePath) << std::string(3000, 'Z');
    last = jobs.ReadOut();
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(c.kept);
    const bool complete = c.kept == 65536, kept = !complete && c.kept != 0;
    EXPECT_EQ(Succeeded(), complete ? 1 : 0);
    EXPECT_EQ(ReadFile(host.savePath), complete ? flash : std::vector<uint8_t>(3000, 'Z'));
    EXPECT_EQ(FileExists(partial), kept);
    if (kept) {
        EXPECT_EQ(ReadFile(partial), flash);
        EXPECT_EQ(host.Lines().back(), ">>已读取的0x08000000至0x08003FFF保存在：" + partial);
    }
    EXPECT_FALSE(FileExists(host.savePath + ".kestrel-tmp"));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SafeReadOutTest, ::testing::ValuesIn(kSafeCases), kCaseName);

// Read Memory has no checksum: with every block read twice, a byte corrupted on the line once
// is read again until two reads agree, and the file holds the flash.
TEST_F(ReadOutTest, ReadingTwiceKeepsAGlitchOutOfTheFile) {
    for (const bool twice : {false, true}) {
        SimTarget& target = Prepare({"corrupt:0x08000123*1"});
        ChangeOptions([&](JobOptions& o) {
            o.readOutTwice = twice;
            o.readOutSafely = true;
        });
        host.savePath = TempPath("twice.bin");
        ASSERT_EQ(jobs.ReadOut(), JobOutcome::Done) << host.log;
        std::vector<uint8_t> flash = target.Flash();
        flash.resize(65536);
        EXPECT_EQ(ReadFile(host.savePath) == flash, twice);
        jobs.Disconnect();
    }
}

// The target of a safe read-out is judged before the port opens: a new name or a regular file
// that can be written; a link is followed and what it names is replaced, the link kept.
struct TargetCase {
    const char* name;
    const char* kind;  // "new", "file", "read-only", "folder", "fifo", "device", "no-folder"
    bool ok;
    const char* reason;
};

const TargetCase kTargets[] = {
    {"NewName", "new", true, ""},
    {"RegularFile", "file", true, ""},
    {"LinkToAFile", "link", true, ""},
    {"LinkToAFileNotMadeYet", "dangling", true, ""},
    {"PrivateFileStaysPrivate", "private", true, ""},
    {"LinkPlantedAtTheTemporaryName", "planted", true, ""},
    {"NoName", "empty", false, "没有文件名"},
    {"ReadOnlyFile", "read-only", false, "文件只读"},
    {"Folder", "folder", false, "这是一个文件夹"},
    {"Fifo", "fifo", false, "这是一个命名管道"},
    {"Device", "device", false, "这是一个设备"},
    {"MissingFolder", "no-folder", false, "所在文件夹不存在"},
};

class OutputTargetTest : public ReadOutTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(OutputTargetTest, CheckedBeforeAnythingIsRead) {
    const TargetCase& c = GetParam();
    const std::string kind = c.kind;
    std::string path = TempPath(std::string("target-") + c.name);
    const std::string real = TempPath(std::string("real-") + c.name);
    if (kind == "file" || kind == "read-only" || kind == "private" || kind == "planted") {
        std::ofstream(path) << "old";
    }
    if (kind == "read-only") ::chmod(path.c_str(), 0444);
    if (kind == "private") ::chmod(path.c_str(), 0600);
    if (kind == "empty") path.clear();
    if (kind == "dangling") {
        ASSERT_EQ(::symlink(real.c_str(), path.c_str()), 0);
    }
    if (kind == "planted") {
        std::ofstream(real) << "victim";
        ASSERT_EQ(::symlink(real.c_str(), (path + ".kestrel-tmp").c_str()), 0);
    }
    if (kind == "folder") path = ::testing::TempDir();
    if (kind == "fifo") {
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    if (kind == "device") path = "/dev/null";
    if (kind == "no-folder") path = "/nonexistent-kestrel-dir/flash.bin";
    if (kind == "link") {
        std::ofstream(real) << "old";
        ASSERT_EQ(::symlink(real.c_str(), path.c_str()), 0);
    }
    std::string reason;
    EXPECT_EQ(CheckOutputFile(path, &reason), c.ok);
    EXPECT_EQ(reason, c.reason);
    if (!c.ok) return;

    SimTarget& target = Prepare();
    ChangeOptions([](JobOptions& o) { o.readOutSafely = true; });
    host.savePath = path;
    ASSERT_EQ(jobs.ReadOut(), JobOutcome::Done) << host.log;
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(65536);
    EXPECT_EQ(ReadFile(path), flash);
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    if (kind == "link" || kind == "dangling") {
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays";
        EXPECT_EQ(ReadFile(real), flash);
    }
    if (kind == "private") {
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    if (kind == "planted") {
        EXPECT_TRUE(S_ISREG(st.st_mode));
        const std::vector<uint8_t> victim = ReadFile(real);
        EXPECT_EQ(std::string(victim.begin(), victim.end()), "victim");
    }
}

INSTANTIATE_TEST_SUITE_P(Files, OutputTargetTest, ::testing::ValuesIn(kTargets), kCaseName);

// A stop asked for mid-job ends the job at its next wait: it closes the port, and a read-out
// leaves the target as it was, with what was read kept apart.
TEST_F(ReadOutTest, StopMidReadOutLeavesTheTargetAndKeepsWhatWasRead) {
    Prepare();
    ChangeOptions([](JobOptions& o) { o.readOutSafely = true; });
    host.savePath = TempPath("stopped.bin");
    std::ofstream(host.savePath) << "precious";
    link.At(link.NowUs() + 500000, [&] { jobs.RequestStop(); });
    EXPECT_EQ(jobs.ReadOut(), JobOutcome::Stopped);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(jobs.IsConnected());
    EXPECT_EQ(ReadFile(host.savePath),
              std::vector<uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_TRUE(FileExists(host.savePath + ".partial"));
    EXPECT_FALSE(FileExists(host.savePath + ".kestrel-tmp"));
    created.push_back(host.savePath + ".partial");
    EXPECT_EQ(host.stages.back(), "ended read-out failed");
    EXPECT_TRUE(host.failures.empty()) << "a stop is not a failure";
    EXPECT_EQ(jobs.ReadChipInfo(), JobOutcome::Stopped) << "and every later job";
}

}  // namespace
