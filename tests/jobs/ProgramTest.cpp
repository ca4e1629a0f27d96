// Programming: load, erase, write, verify and run against a simulated target.
#include <fstream>
#include <map>

#include "Chips.h"
#include "ElfFile.h"
#include "ImageFile.h"
#include "JobFixture.h"
#include "SRecord.h"

namespace {

constexpr size_t kPage = 1024;

std::vector<std::string> Percents(int steps) {
    std::vector<std::string> texts{"00%"};
    char text[16];
    for (int pos = 1; pos <= steps; ++pos) {
        std::snprintf(text, sizeof text, "%02d%%", pos * 100 / steps);
        texts.push_back(text);
    }
    return texts;
}

std::vector<uint8_t> FlashStart(const SimTarget& target, size_t size) {
    std::vector<uint8_t> flash = target.Flash();
    flash.resize(size);
    return flash;
}

class ProgramTest : public JobTest {
protected:
    // Connects to a fresh target with the given faults and loads the file setting.
    SimTarget& Prepare(const std::vector<uint8_t>& image, std::vector<std::string> faults = {},
                       uint8_t eraseCmd = 0x43) {
        sim::TargetConfig config;
        config.eraseCmd = eraseCmd;
        config.faults = std::move(faults);
        SimTarget& target = StartTarget(config);
        ConnectTo(target);
        jobs.SetFilePath(WriteHexFile("image.hex", image));
        return target;
    }
};

TEST_F(ProgramTest, OnePageEraseAllVerifyAndRun) {
    std::vector<uint8_t> image = Pattern(10);
    SimTarget& target = Prepare(image);
    jobs.SetRunProgram(true);

    last = jobs.Program();

    EXPECT_EQ(WithoutDurations(host.Lines()),
              (std::vector<std::string>{">>读取下载文件到内存：1024byte ，共1页（每页1024byte）",
                                        ">>成功擦除芯片所有FLASH区！", ">>开始写入FLASH.......",
                                        ">>FLASH烧录完成，用时N毫秒！", ">>开始校验FLASH......",
                                        ">>FLASH校验成功，用时N毫秒！", ">>程序运行成功！"}));
    std::vector<uint8_t> expected = image;
    expected.resize(kPage, 0xFF);
    EXPECT_EQ(FlashStart(target, kPage), expected);
    EXPECT_EQ(host.range, 4);
    std::vector<std::string> twice = Percents(4);
    std::vector<std::string> verify = Percents(4);
    twice.insert(twice.end(), verify.begin(), verify.end());
    EXPECT_EQ(host.percents, twice);  // 00 25 50 75 100, then again from 00
    EXPECT_EQ(host.position, 4);
    EXPECT_EQ(Succeeded(), 1);
}

TEST_F(ProgramTest, ThreePagesInPageModeWithExtendedErase) {
    std::vector<uint8_t> image = Pattern(2 * kPage + 100);
    SimTarget& target = Prepare(image, {}, 0x44);
    jobs.SetEraseAll(false);
    jobs.SetVerify(false);

    last = jobs.Program();

    EXPECT_EQ(WithoutDurations(host.Lines()),
              (std::vector<std::string>{">>读取下载文件到内存：3072byte ，共3页（每页1024byte）",
                                        ">>开始写入FLASH.......", ">>FLASH烧录完成，用时N毫秒！"}));
    std::vector<std::string> expected = {"00%", "08%", "16%", "25%", "33%", "41%", "50%",
                                         "58%", "66%", "75%", "83%", "91%", "100%"};
    EXPECT_EQ(host.percents, expected);
    std::vector<uint8_t> flash = image;
    flash.resize(3 * kPage, 0xFF);
    EXPECT_EQ(FlashStart(target, 3 * kPage), flash);
    // Page i is erased (44 BB, then 00 00 00 0i 0i) before its first block is written.
    std::vector<uint8_t> sent = target.HostBytes();
    const uint8_t erasePage2[] = {0x44, 0xBB, 0x00, 0x00, 0x00, 0x02, 0x02};
    EXPECT_NE(std::search(sent.begin(), sent.end(), std::begin(erasePage2), std::end(erasePage2)),
              sent.end());
}

TEST_F(ProgramTest, PageModeLeavesPagesTheFileDoesNotTouchAlone) {
    // An application linked two pages above the base, over a boot loader in pages 0 and 1.
    sim::TargetConfig config;
    config.initialFlash = std::vector<uint8_t>(4 * kPage, 0x00);
    SimTarget& target = StartTarget(config);
    ConnectTo(target);
    const std::vector<uint8_t> app = Pattern(100);
    jobs.SetFilePath(WriteHexFile("app.hex", app, 2 * kPage));
    jobs.SetEraseAll(false);

    last = jobs.Program();

    EXPECT_EQ(WithoutDurations(host.Lines()),
              (std::vector<std::string>{">>读取下载文件到内存：3072byte ，共3页（每页1024byte）",
                                        ">>开始写入FLASH.......", ">>FLASH烧录完成，用时N毫秒！",
                                        ">>开始校验FLASH......", ">>FLASH校验成功，用时N毫秒！"}));
    std::vector<uint8_t> expected(3 * kPage, 0xFF);
    std::fill(expected.begin(), expected.begin() + 2 * kPage, 0x00);
    std::copy(app.begin(), app.end(), expected.begin() + 2 * kPage);
    EXPECT_EQ(FlashStart(target, 3 * kPage), expected);
    // Only page 2 is erased, written and read back; the bar still runs its 12 steps twice.
    const std::vector<uint8_t> sent = target.HostBytes();
    const uint8_t erasePage0[] = {0x43, 0xBC, 0x00, 0x00, 0x00};
    const uint8_t readPage0[] = {0x08, 0x00, 0x00, 0x00, 0x08};
    EXPECT_EQ(std::search(sent.begin(), sent.end(), std::begin(erasePage0), std::end(erasePage0)),
              sent.end());
    EXPECT_EQ(std::search(sent.begin(), sent.end(), std::begin(readPage0), std::end(readPage0)),
              sent.end());
    std::vector<std::string> twice = Percents(12);
    const std::vector<std::string> verify = Percents(12);
    twice.insert(twice.end(), verify.begin(), verify.end());
    EXPECT_EQ(host.percents, twice);
    EXPECT_EQ(Succeeded(), 1);
}

TEST_F(ProgramTest, PageEraseFailureNamesPageCountedFromZero) {
    SimTarget& target = Prepare(Pattern(3 * kPage), {"nack:erase@2"});
    (void)target;
    jobs.SetEraseAll(false);
    last = jobs.Program();
    std::vector<std::string> lines = host.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), ">>擦除FLASH第2页失败");
    EXPECT_EQ(host.position, 12) << "the bar shows full after the failure";
    EXPECT_EQ(host.percents.back(), "66%") << "the label keeps its last text";
}

TEST_F(ProgramTest, WriteFailureAtSecondBlockStopsBeforeVerifyAndGo) {
    SimTarget& target = Prepare(Pattern(kPage), {"nack:write@0x08000100"});
    (void)target;
    jobs.SetRunProgram(true);
    last = jobs.Program();
    std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), 4u) << host.log;
    EXPECT_EQ(lines[3], ">>FLASH写256byte至0x08000100失败");
    EXPECT_EQ(host.position, 4);
    EXPECT_EQ(Succeeded(), 0);
}

TEST_F(ProgramTest, ReadFailureWhileVerifying) {
    Prepare(Pattern(2 * kPage), {"nack:read@0x08000400"});
    last = jobs.Program();
    std::vector<std::string> lines = host.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), ">>读取FLASH 0x08000400 ，256byte失败");
    EXPECT_EQ(host.position, 8);
}

TEST_F(ProgramTest, VerifyDifferenceReportsExactAddress) {
    Prepare(Pattern(2 * kPage), {"corrupt:0x08000405"});
    jobs.SetRunProgram(true);
    last = jobs.Program();
    std::vector<std::string> lines = host.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), ">>FLASH地址0x08000405校验出现错误，停止校验操作！");
    EXPECT_EQ(host.position, 8);
    EXPECT_EQ(host.percents.back(), "100%") << "page 1 read whole before it is compared";
    EXPECT_EQ(Succeeded(), 0);
}

TEST_F(ProgramTest, GoFailureLeavesNoMessage) {
    Prepare(Pattern(100), {"nack:go"});
    jobs.SetRunProgram(true);
    last = jobs.Program();
    std::vector<std::string> lines = WithoutDurations(host.Lines());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), ">>FLASH校验成功，用时N毫秒！");
    EXPECT_EQ(host.position, 4);
    EXPECT_EQ(Succeeded(), 0);
}

TEST_F(ProgramTest, RunWithoutVerifyFollowsWriteDirectly) {
    Prepare(Pattern(100));
    jobs.SetVerify(false);
    jobs.SetRunProgram(true);
    last = jobs.Program();
    std::vector<std::string> lines = WithoutDurations(host.Lines());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], ">>FLASH烧录完成，用时N毫秒！");
    EXPECT_EQ(lines.back(), ">>程序运行成功！");
}

TEST_F(ProgramTest, BadChecksumFailsLoadWithoutErasing) {
    SimTarget& target = Prepare(Pattern(16));
    std::string path = TempPath("bad.hex");
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fputs(":020000040800F2\r\n:0400000001020304F0\r\n:00000001FF\r\n", file);
    std::fclose(file);
    jobs.SetFilePath(path);
    last = jobs.Program();
    EXPECT_EQ(host.log, ">>下载文件打开失败，取消烧录操作！\r\n");
    EXPECT_TRUE(host.bar.empty());
    EXPECT_TRUE(host.percents.empty());
    EXPECT_TRUE(target.HostBytes().empty());
}

TEST_F(ProgramTest, EraseAllFailureLeavesBarAlone) {
    Prepare(Pattern(16), {"nack:erase"});
    last = jobs.Program();
    std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], ">>擦除芯片所有FLASH区失败，取消烧录操作！");
    EXPECT_TRUE(host.bar.empty());
}

TEST_F(ProgramTest, NotConnectedDoesNotOpenTheFile) {
    jobs.SetFilePath("/dev/kestrel-no-such-file.hex");
    last = jobs.Program();
    EXPECT_EQ(host.log, ">>未连接ISP，本次操作无效！!\r\n");
}

// The stage events each job gives its host, in order, on success and on each failure.
struct StageCase {
    const char* name;
    char job;  // 'C' connect, 'P' program, 'R' read-out, 'I' chip info
    std::vector<std::string> faults;
    bool eraseAll;
    bool run;
    std::vector<std::string> stages;
};

// clang-format off
const StageCase kStageCases[] = {
    {"Connect", 'C', {}, true, false, {"began connect 0", "ended connect ok"}},
    {"ConnectRefused", 'C', {"silent"}, true, false, {"began connect 0", "ended connect failed"}},
    {"ProgramAll", 'P', {}, true, true,
     {"began erase 0", "ended erase ok", "began write 8", "done write 8", "ended write ok",
      "began verify 8", "done verify 8", "ended verify ok", "began run 0", "ended run ok"}},
    {"ProgramPages", 'P', {}, false, false,
     {"began write 8", "done write 8", "ended write ok",
      "began verify 8", "done verify 8", "ended verify ok"}},
    {"EraseFails", 'P', {"nack:erase"}, true, false, {"began erase 0", "ended erase failed"}},
    {"WriteFails", 'P', {"nack:write@0x08000500"}, true, true,
     {"began erase 0", "ended erase ok", "began write 8", "ended write failed"}},
    {"VerifyFails", 'P', {"corrupt:0x08000005"}, true, true,
     {"began erase 0", "ended erase ok", "began write 8", "done write 8", "ended write ok",
      "began verify 8", "ended verify failed"}},
    {"RunFails", 'P', {"nack:go"}, false, true,
     {"began write 8", "done write 8", "ended write ok", "began verify 8", "done verify 8",
      "ended verify ok", "began run 0", "ended run failed"}},
    {"ReadOut", 'R', {}, true, false,
     {"began read-out 256", "done read-out 256", "ended read-out ok"}},
    {"ReadOutFails", 'R', {"nack:read@0x08000100"}, true, false,
     {"began read-out 256", "ended read-out failed"}},
    {"ChipInfo", 'I', {}, true, false, {}},
    {"VerifyFileDiffers", 'V', {}, true, false, {"began verify 8", "ended verify failed"}},
    {"EraseChip", 'E', {}, true, false, {"began erase 0", "ended erase ok"}},
    {"EraseChipFails", 'E', {"nack:erase"}, true, false, {"began erase 0", "ended erase failed"}},
    {"Go", 'G', {}, true, false, {"began run 0", "ended run ok"}},
    {"GoFails", 'G', {"nack:go"}, true, false, {"began run 0", "ended run failed"}},
};
// clang-format on

void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

class StageEventTest : public ProgramTest, public ::testing::WithParamInterface<StageCase> {};

TEST_P(StageEventTest, JobTellsItsStagesInOrder) {
    const StageCase& c = GetParam();
    if (c.job == 'C') {
        sim::TargetConfig config;
        config.faults = c.faults;
        SimTarget& target = StartTarget(config);
        host.ports = {target.Name()};
        jobs.ConnectOnly(target.Name());
    } else {
        Prepare(Pattern(2 * kPage), c.faults, 0x44);
        jobs.SetEraseAll(c.eraseAll);
        jobs.SetRunProgram(c.run);
        host.savePath = TempPath("stages.bin");
        if (c.job == 'P') (last = jobs.Program());
        if (c.job == 'R') (last = jobs.ReadOut());
        if (c.job == 'I') (last = jobs.ReadChipInfo());
        if (c.job == 'V') (last = jobs.VerifyFile());
        if (c.job == 'E') (last = jobs.EraseRange(0, 0));
        if (c.job == 'G') (last = jobs.GoTo());
    }
    EXPECT_EQ(host.stages, c.stages) << host.log;
    const bool failed = !c.stages.empty() && c.stages.back().find("failed") != std::string::npos;
    if (c.job != 'C') {
        EXPECT_EQ(Succeeded(), failed ? 0 : 1);
        // Failed comes once, with the failure's log line; Program's silent Go alone is not logged.
        ASSERT_EQ(host.failures.size(), failed ? 1u : 0u);
        const bool silent = std::string(c.name) == "RunFails";
        if (failed) {
            EXPECT_EQ(host.failures[0].first,
                      silent ? ">>跳转到0x08000000运行失败！" : host.Lines().back());
        }
    }
    const bool saved = c.job == 'R' && !failed;
    EXPECT_EQ(host.savedFiles,
              saved ? std::vector<std::string>{host.savePath} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Jobs, StageEventTest, ::testing::ValuesIn(kStageCases),
                         [](const ::testing::TestParamInfo<StageCase>& info) {
                             return std::string(info.param.name);
                         });

// The bytes behind each stage's steps: the program's blocks the block size, the read-out's
// blocks their own lengths, an erase's units theirs; none for a whole-flash erase.
// clang-format off
const struct BytesCase {
    const char* name;
    char job;          // 'W' write (program, no verify), 'R' read-out, 'E' erase
    const char* chip;  // "": a plain target, not identified
    uint32_t address, length;
    bool eraseInRuns;
    std::vector<std::string> bytes;
} kBytesCases[] = {
    {"WriteBlocks", 'W', "", 0, 0, false, {"write 0/2048", "write 256/2048", "write 512/2048",
     "write 768/2048", "write 1024/2048", "write 1280/2048", "write 1536/2048", "write 1792/2048",
     "write 2048/2048"}},
    {"ReadOutBlocksOfTheirOwnLength", 'R', "", 0x08000080, 0x180, false,
     {"read-out 0/384", "read-out 256/384", "read-out 384/384"}},
    {"EraseUnitsOneByOne", 'E', "f407", 0x0800F000, 0x2000, false,
     {"erase 0/81920", "erase 16384/81920", "erase 81920/81920"}},
    {"EraseUnitsInOneCommand", 'E', "f407", 0x0800F000, 0x2000, true,
     {"erase 0/81920", "erase 81920/81920"}},
    {"WholeFlashErase", 'E', "", 0, 0, false, {}},
};
// clang-format on

class StageBytesTest : public ProgramTest, public ::testing::WithParamInterface<BytesCase> {};

TEST_P(StageBytesTest, EachStepTellsTheBytesBehindIt) {
    const BytesCase& c = GetParam();
    if (*c.chip) {
        ConnectToChip(c.chip, 512, std::vector<uint8_t>(512 * 1024, 0x00));
    } else {
        Prepare(Pattern(2 * kPage));
    }
    ChangeOptions([&](JobOptions& o) {
        o.verify = false;
        o.eraseInRuns = c.eraseInRuns;
        o.readAddress = c.address;
        o.readLength = c.length;
    });
    host.savePath = TempPath("bytes.bin");
    if (c.job == 'W') last = jobs.Program();
    if (c.job == 'R') last = jobs.ReadOut();
    if (c.job == 'E') last = jobs.EraseRange(c.address, c.length);
    ASSERT_EQ(Succeeded(), 1) << host.log;
    EXPECT_EQ(host.bytes, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Jobs, StageBytesTest, ::testing::ValuesIn(kBytesCases), kCaseName);

// Each kind of flash, identified as the command line does or as the dialog does (which names
// it after the connect, but for the F103 it was made for, kept on its fixed pages): a gapped
// image in page mode lands byte for byte, the rest of each erase unit it touches is erased,
// and every other unit keeps what it held.
struct Piece {
    uint32_t offset;  // from the flash base
    size_t length;
};
struct FamilyCase {
    const char* chip;
    uint32_t flashKiB;
    std::vector<Piece> pieces;
    const char* loaded;  // the command line's load line: the file's bytes, the units they touch
};

// clang-format off
const FamilyCase kFamilyCases[] = {
    // 1 KiB pages, 0x43
    {"f103", 64, {{0x0000, 100}, {0x2400, 600}}, ">>读取下载文件到内存：700字节，占2页（每页1 KiB）"},
    // 2 KiB pages, 0x44
    {"f303", 64, {{0x0810, 100}, {0x3000, 2100}}, ">>读取下载文件到内存：2200字节，占3页（每页2 KiB）"},
    // 128-byte pages past number 255
    {"l073", 64, {{0x0040, 50}, {0x8010, 300}}, ">>读取下载文件到内存：350字节，占4页（每页128 B）"},
    // sectors of 16 and 128 KiB
    {"f407", 512, {{0x0100, 10}, {0x20005, 1000}},
     ">>读取下载文件到内存：1010字节，占2个扇区（16 KiB、128 KiB）"},
    // bank 2 at 0x08100000, past a gap
    {"h743", 512, {{0x20000, 100}, {0x100000, 90}},
     ">>读取下载文件到内存：190字节，占2个扇区（每个128 KiB）"},
};
// clang-format on

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.chip; }

class FamilyProgramTest : public JobTest,
                          public ::testing::WithParamInterface<std::tuple<FamilyCase, bool>> {};

TEST_P(FamilyProgramTest, GappedImageInPageModeTouchesOnlyItsUnits) {
    const auto& [c, dialog] = GetParam();
    const chips::Chip& chip = *chips::FindChipByKey(c.chip);
    sim::TargetConfig config;
    config.SetChip(chip);
    config.flashKiB = c.flashKiB;
    config.initialFlash.assign(c.flashKiB * 1024u, 0x00);
    config.chipTiming = true;
    SimTarget& target = StartTarget(config);
    jobs.SetIdentifyChip(!dialog);
    jobs.SetChipPolicy(ChipPolicy::Dialog);
    ConnectTo(target);
    const bool fixed = dialog && chip.pid == 0x0410;
    ASSERT_EQ(jobs.Geometry().flashKiB, fixed ? 0u : c.flashKiB) << host.log;
    const std::string named = Format(">>芯片型号：%s，FLASH容量：%uKB\r\n", chip.name, c.flashKiB);
    const size_t line = connectLog.find(named);  // the last
    EXPECT_EQ(dialog && !fixed,
              line != std::string::npos && line + named.size() == connectLog.size());

    // The image, and what each flash byte must hold afterwards, by address.
    std::string hex;
    std::vector<std::pair<uint32_t, uint8_t>> written;
    for (const Piece& piece : c.pieces) {
        std::vector<uint8_t> bytes = Pattern(piece.length);
        std::string part = testhex::IntelHex(bytes, piece.offset);
        hex += part.substr(0, part.rfind(":00000001FF"));  // one end record, at the end
        for (size_t i = 0; i < bytes.size(); ++i) {
            written.emplace_back(chip.flashBase + piece.offset + static_cast<uint32_t>(i),
                                 bytes[i]);
        }
    }
    const std::string path = TempPath("family.hex");
    std::ofstream(path, std::ios::binary) << hex << ":00000001FF\r\n";
    jobs.SetFilePath(path);
    jobs.SetEraseAll(false);
    ChangeOptions([](JobOptions& o) { o.loadLineInChipUnits = true; });
    last = jobs.Program();
    ASSERT_EQ(Succeeded(), 1) << host.log;
    EXPECT_EQ(host.Lines().front(), c.loaded);

    // The simulator's flash is the units one after another, gaps left out.
    const std::vector<chips::EraseUnit> units = chips::FlashUnits(chip, c.flashKiB);
    const std::vector<uint8_t> flash = target.Flash();
    std::map<uint32_t, uint8_t> expected(written.begin(), written.end());
    size_t at = 0;
    for (const chips::EraseUnit& unit : units) {
        const bool touched = std::any_of(written.begin(), written.end(), [&](const auto& w) {
            return w.first - unit.address < unit.size;
        });
        for (uint32_t i = 0; i < unit.size; ++i, ++at) {
            const auto it = expected.find(unit.address + i);
            const uint8_t want = it != expected.end() ? it->second : (touched ? 0xFF : 0x00);
            ASSERT_EQ(flash[at], want) << std::hex << "at 0x" << unit.address + i;
        }
    }

    // A byte past the flash: refused before anything is erased (the F103's fixed way has no
    // such check: the bootloader refuses the erase of a page it lacks).
    const uint32_t end = units.back().address + units.back().size - chip.flashBase;
    jobs.SetFilePath(WriteHexFile("past.hex", {0x5A}, end));
    target.ClearLog();
    EXPECT_EQ(jobs.Program(), JobOutcome::Failed);
    EXPECT_EQ(
        Contains(target.HostBytes(), {0x44, 0xBB}) || Contains(target.HostBytes(), {0x43, 0xBC}),
        fixed);

    // A mass erase, however long the chip takes; then the whole flash read out, gaps and all.
    jobs.SetFilePath(path);
    jobs.SetEraseAll(true);
    last = jobs.Program();
    EXPECT_EQ(Succeeded(), 1) << host.log;
    host.savePath = TempPath("family.bin");
    last = jobs.ReadOut();
    EXPECT_EQ(host.range * 256u, end);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FamilyProgramTest,
                         ::testing::Combine(::testing::ValuesIn(kFamilyCases), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<FamilyCase, bool>>& info) {
                             return std::string(std::get<0>(info.param).chip) +
                                    (std::get<1>(info.param) ? "Dialog" : "");
                         });

// An erase is awaited for the unit's worst case and sent once: a 128 KiB sector that takes
// 2.5 s is fine; a 16 KiB one (800 ms at worst) that stays silent for 1.5 s fails the job.
TEST_F(ProgramTest, EraseIsAwaitedForItsWorstCaseAndNoLonger) {
    for (const bool slowSectorIsLarge : {true, false}) {
        sim::TargetConfig config;
        config.SetChip(*chips::FindChipByKey("f407"));
        config.flashKiB = 512;
        config.faults = {slowSectorIsLarge ? "delay:erase:2500" : "delay:erase:1500"};
        SimTarget& target = StartTarget(config);
        jobs.SetIdentifyChip(true);
        ConnectTo(target);
        jobs.SetFilePath(WriteHexFile("slow.hex", Pattern(64), slowSectorIsLarge ? 0x20000 : 0));
        jobs.SetEraseAll(false);
        last = jobs.Program();
        EXPECT_EQ(Succeeded(), slowSectorIsLarge ? 1 : 0) << host.log;
        const std::vector<uint8_t> sent = target.HostBytes();
        int erases = 0;
        for (size_t i = 0; i + 1 < sent.size(); ++i)
            erases += sent[i] == 0x44 && sent[i + 1] == 0xBB;
        EXPECT_EQ(erases, 1) << "one erase command, never resent";
        if (!slowSectorIsLarge) {
            EXPECT_EQ(host.Lines().back(), ">>擦除FLASH第0页失败");
        }
        jobs.Disconnect();
    }
}

// The file judged by content (or as --format says) before any connection; a job that loads
// a refused one sends nothing either, and one that takes it writes its first byte at the base.
constexpr const char* kFolder = "<folder>";
constexpr const char* kSelf = "<this test program>";  // an x86-64 ELF file
constexpr const char* kNoFile = "<no file>";
// Neither ELF (0x7F) nor text.
const std::string kNoKind = std::string(1, '\x11') + "ELF";
const std::string kHex = ":020000040800F2\r\n:0100000011EE\r\n:00000001FF\r\n";

std::string ElfOf(const std::vector<testelf::Segment>& segments, testelf::Header header = {}) {
    const std::vector<uint8_t> file = testelf::File(segments, header);
    return std::string(file.begin(), file.end());
}

std::string ElfText(const std::vector<uint8_t>& firstBytes, testelf::Header header = {}) {
    return ElfOf({{1, 0x08000000, 0x08000000, firstBytes, 0}}, header);
}

struct FileKindCase {
    const char* name;
    const char* fileName;
    std::string contents;  // or kFolder, kSelf, kNoFile
    ImageFormat format;
    bool ok;
    const char* kind;
    std::string reason;  // when refused
};

const FileKindCase kFileKinds[] = {
    {"Hex", "kind", "\r\n\r\n" + kHex, ImageFormat::Auto, true, "hex", ""},
    {"HexAfterAByteOrderMark", "kind", "\xEF\xBB\xBF" + kHex, ImageFormat::Auto, true, "hex", ""},
    {"Srec", "kind", testsrec::Text(testsrec::Lines({0x11}, 0x08000000)), ImageFormat::Auto, true,
     "srec", ""},
    {"Elf", "kind", ElfText({0x11}), ImageFormat::Auto, true, "elf", ""},
    {"BinByName", "kind.BIN", kNoKind, ImageFormat::Auto, true, "bin", ""},
    {"BinaryAsked", "kind", kNoKind, ImageFormat::Binary, true, "bin", ""},
    {"Unknown", "kind", kNoKind, ImageFormat::Auto, false, "",
     "不是Intel HEX、S-record或ELF文件；如要按原始字节烧录，请将文件命名为.bin或使用--format "
     "binary"},
    {"HexAskedForElf", "kind.hex", kHex, ImageFormat::Elf, false, "", "文件是Intel HEX，不是ELF"},
    {"UnknownAskedForSrec", "kind.bin", "\x11", ImageFormat::SRecord, false, "",
     "文件不是S-record"},
    {"ElfForThisMachine", "kind", kSelf, ImageFormat::Auto, false, "elf",
     "x86-64的ELF文件，不是ARM"},
    {"ElfForAArch64", "kind", ElfText({0x11}, {2, 1, 183}), ImageFormat::Elf, false, "elf",
     "AArch64的ELF文件，不是ARM"},
    {"ElfForMachine999", "kind", ElfText({0x11}, {1, 1, 999}), ImageFormat::Auto, false, "elf",
     "机器类型999的ELF文件，不是ARM"},
    {"Elf64BitArm", "kind", ElfText({0x11}, {2, 1, 40}), ImageFormat::Auto, false, "elf",
     "64位ELF文件"},
    {"Empty", "kind.bin", "", ImageFormat::Binary, false, "", "文件为空"},
    {"Missing", "kind", kNoFile, ImageFormat::Auto, false, "", "文件不存在"},
    {"Folder", "kind", kFolder, ImageFormat::Auto, false, "", "这是一个文件夹，不是文件"},
    {"BadChecksum", "kind", ":020000040800F2\n:0100000011EF\n:00000001FF\n", ImageFormat::Auto,
     false, "hex", "HEX文件第2行校验和错误"},
    {"NoEnd", "kind", ":020000040800F2\n:0100000011EE\n", ImageFormat::StrictHex, false, "hex",
     "HEX文件缺少结束记录"},
    {"ConflictingHex", "kind", ":020000040800F2\n:0100000011EE\n:0100000022DD\n:00000001FF\n",
     ImageFormat::Auto, false, "hex", "HEX文件第3行给0x08000000的数据与第2行不同"},
    {"ConflictingElf", "kind",
     ElfOf({{1, 0x08000000, 0x08000000, {0x11, 0x22}, 0}, {1, 0x08000001, 0x08000001, {0x33}, 0}}),
     ImageFormat::Auto, false, "elf", "ELF文件段1给0x08000001的数据与段0不同"},
    {"ElfTooLarge", "kind",
     [] {
         const std::vector<uint8_t> file =
             testelf::EachSegmentTheWholeFile(17, 1 << 20, 0x08000000);
         return std::string(file.begin(), file.end());
     }(),
     ImageFormat::Auto, false, "elf", "ELF文件可加载段的字节总数超出固件映像所能容纳的大小"},
    {"SrecCountDiffers", "kind",
     testsrec::Text({testsrec::Record(3, 0x08000000, {0x11}), testsrec::Record(5, 2, {}),
                     testsrec::Record(7, 0, {})}),
     ImageFormat::SRecord, false, "srec", "S-record文件第2行记录数与之前的数据记录数不符"},
};

class FileKindTest : public JobTest, public ::testing::WithParamInterface<FileKindCase> {};

TEST_P(FileKindTest, JudgedBeforeAnyConnection) {
    const FileKindCase& c = GetParam();
    std::string path = c.contents == kFolder ? ::testing::TempDir()
                       : c.contents == kSelf ? "/proc/self/exe"
                                             : TempPath(c.fileName);
    if (c.contents != kFolder && c.contents != kSelf && c.contents != kNoFile) {
        std::ofstream(path, std::ios::binary) << c.contents;
    }
    std::string kind = "?", reason;
    EXPECT_EQ(CheckImageFile(path, c.format, &kind, &reason), c.ok);
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(reason, c.reason);
    SimTarget& target = StartTarget();
    ConnectTo(target);
    ChangeOptions([&](JobOptions& o) {
        o.filePath = path;
        o.imageFormat = c.format;
    });
    last = jobs.Program();
    if (c.ok) {
        EXPECT_EQ(Succeeded(), 1) << host.log;
        EXPECT_EQ(target.Flash()[0], 0x11);
        return;
    }
    EXPECT_EQ(host.Lines(), std::vector<std::string>{">>下载文件无效：" + c.reason + "！"});
    EXPECT_TRUE(target.HostBytes().empty());
}

INSTANTIATE_TEST_SUITE_P(Files, FileKindTest, ::testing::ValuesIn(kFileKinds), kCaseName);

// The command line's HEX reading stops at the end record and says what it left unread.
TEST_F(JobTest, LinesBehindTheEndRecordAreWarnedOfAndNotWritten) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    const std::string path = TempPath("behind.hex");
    std::ofstream(path) << kHex << "\n:0101000022DC\n";
    ChangeOptions([&](JobOptions& o) {
        o.filePath = path;
        o.imageFormat = ImageFormat::Auto;
    });
    last = jobs.Program();
    ASSERT_EQ(Succeeded(), 1) << host.log;
    EXPECT_EQ(host.Lines()[0], ">>HEX文件第5行起位于结束记录之后，未读取");
    EXPECT_EQ(target.Flash()[0x100], 0xFF);
}

TEST_F(JobTest, BinaryAtAnAddressProgramsAndVerifiesOnlyItsPages) {
    SimTarget& target = ConnectToChip("f103", 64, std::vector<uint8_t>(64 * 1024, 0x00));
    const std::vector<uint8_t> bytes = Pattern(1500);
    const std::string path = TempPath("app.bin");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 1500);
    ChangeOptions([&](JobOptions& o) {
        o.filePath = path;
        o.imageFormat = ImageFormat::Auto;
        o.binaryAddress = 0x08002200;
        o.eraseAll = false;
    });
    last = jobs.Program();
    ASSERT_EQ(Succeeded(), 1) << host.log;
    // Pages 8 and 9 erased and written from 0x2200 on; the rest of the flash kept.
    std::vector<uint8_t> expected(64 * 1024, 0x00);
    std::fill(expected.begin() + 0x2000, expected.begin() + 0x2800, 0xFF);
    std::copy(bytes.begin(), bytes.end(), expected.begin() + 0x2200);
    EXPECT_TRUE(target.Flash() == expected);
}

// A verify difference is read once more where failures are explained: a flash that differs
// reads the same twice, a glitch on the line reads differently.
struct VerifyCase {
    const char* name;
    const char* fault;
    bool explain;
    const char* last;
};

const VerifyCase kVerifyCases[] = {
    {"Same", "", false, ">>FLASH校验成功，用时N毫秒！"},
    {"Differs", "corrupt:0x08000452", false, ">>FLASH地址0x08000452校验出现错误，停止校验操作！"},
    {"DiffersTwice", "corrupt:0x08000452", true,
     ">>FLASH地址0x08000452校验出现错误，停止校验操作！"},
    {"GlitchReadAgain", "corrupt:0x08000452*1", true,
     ">>两次读取FLASH 0x08000400的结果不同，读取不稳定，停止校验操作！"},
};

class VerifyFileTest : public JobTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(VerifyFileTest, ReadsOnlyPagesWithDataAndNamesTheFirstDifference) {
    const VerifyCase& c = GetParam();
    const std::vector<uint8_t> image = Pattern(300);
    sim::TargetConfig config;
    config.initialFlash.assign(0x400, 0xFF);
    config.initialFlash.insert(config.initialFlash.end(), image.begin(), image.end());
    if (*c.fault) config.faults = {c.fault};
    SimTarget& target = StartTarget(config);
    ChangeOptions([&](JobOptions& o) { o.explainFailures = c.explain; });
    ConnectTo(target);
    jobs.SetFilePath(WriteHexFile("verify.hex", image, 0x400));
    last = jobs.VerifyFile();
    EXPECT_EQ(WithoutDurations(host.Lines()).back(), c.last);
    EXPECT_EQ(Succeeded(), *c.fault ? 0 : 1);
    EXPECT_FALSE(Contains(target.HostBytes(), {0x08, 0x00, 0x00, 0x00, 0x08})) << "page 0";
    EXPECT_FALSE(Contains(target.HostBytes(), {0x31, 0xCE})) << "nothing written";
}

INSTANTIATE_TEST_SUITE_P(Reads, VerifyFileTest, ::testing::ValuesIn(kVerifyCases), kCaseName);

// Where failures are explained, every ending of a job is a line that says why; the dialog's
// refused Go stays silent.
struct WhyCase {
    const char* name;
    char job;  // 'P' program, 'I' chip information
    const char* fault;
    bool run;
    bool explain;
    const char* last;  // "": no failure line
};

const WhyCase kWhyCases[] = {
    {"Refused", 'P', "nack:write@0x08000100", false, true,
     ">>FLASH写256byte至0x08000100失败：Bootloader拒绝执行"},
    {"NoAnswer", 'I', "short:id:0", false, true, ">>读取芯片ID版本失败！：Bootloader无应答"},
    {"Gone", 'P', "unplug:40", false, true, ">>FLASH写256byte至0x08000000失败：设备已断开"},
    {"GoRefused", 'P', "nack:go", true, true, ">>跳转到0x08000000运行失败！：Bootloader拒绝执行"},
    {"GoRefusedInTheDialog", 'P', "nack:go", true, false, ""},
};

class WhyTest : public JobTest, public ::testing::WithParamInterface<WhyCase> {};

TEST_P(WhyTest, FailureLinesSayWhy) {
    const WhyCase& c = GetParam();
    sim::TargetConfig config;
    config.faults = {c.fault};
    SimTarget& target = StartTarget(config);
    ChangeOptions([&](JobOptions& o) {
        o.explainFailures = c.explain;
        o.runProgram = c.run;
        o.verify = false;
    });
    ConnectTo(target);
    jobs.SetFilePath(WriteHexFile("why.hex", Pattern(1024)));
    EXPECT_EQ(c.job == 'P' ? jobs.Program() : jobs.ReadChipInfo(), JobOutcome::Failed);
    const std::vector<std::string> lines = WithoutDurations(host.Lines());
    EXPECT_EQ(lines.back(), *c.last ? c.last : ">>FLASH烧录完成，用时N毫秒！") << host.log;
    ASSERT_EQ(host.failures.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Endings, WhyTest, ::testing::ValuesIn(kWhyCases), kCaseName);

// A block refused once goes through with one retry, after a resync, and fails without.
struct RetryCase {
    const char* name;
    char job;  // 'P' program, 'R' read-out
    const char* fault;
    int retries;
};

const RetryCase kRetryCases[] = {
    {"WriteRetried", 'P', "nack:write@0x08000100*1", 1},
    {"WriteNotRetried", 'P', "nack:write@0x08000100*1", 0},
    {"VerifyReadRetried", 'P', "nack:read@0x08000100*1", 1},
    {"ReadOutRetried", 'R', "nack:read@0x08000100*1", 1},
    {"ReadOutNotRetried", 'R', "nack:read@0x08000100*1", 0},
};

class RetryTest : public ProgramTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryTest, FailedBlockIsTriedAgainAfterAResync) {
    const RetryCase& c = GetParam();
    Prepare(Pattern(kPage), {c.fault});
    ChangeOptions([&](JobOptions& o) { o.retries = c.retries; });
    host.savePath = TempPath("retry.bin");
    c.job == 'P' ? (last = jobs.Program()) : (last = jobs.ReadOut());
    EXPECT_EQ(Succeeded(), c.retries) << host.log;
    const std::vector<std::string> lines = host.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ">>重试0x08000100处的数据块（1/1）"),
              c.retries);
}

INSTANTIATE_TEST_SUITE_P(Blocks, RetryTest, ::testing::ValuesIn(kRetryCases), kCaseName);

// An erase of a range takes the whole erase units it touches, one by one, and leaves the rest.
struct EraseCase {
    const char* name;
    const char* chip;  // "": no chip identified
    uint32_t flashKiB, address, length;
    uint32_t from, to, units;  // what is erased; units 0: refused
    const char* line;          // the rounding or the refusal, or ""
};

const EraseCase kEraseCases[] = {
    {"SectorRoundedOut", "f407", 512, 0x08004100, 0x100, 0x08004000, 0x08007FFF, 1,
     ">>擦除范围按擦除单元扩展为0x08004000至0x08007FFF"},
    {"TwoSectorsExactly", "f407", 512, 0x08000000, 0x8000, 0x08000000, 0x08007FFF, 2, ""},
    {"AcrossSectorSizes", "f407", 512, 0x0800F000, 0x2000, 0x0800C000, 0x0801FFFF, 2,
     ">>擦除范围按擦除单元扩展为0x0800C000至0x0801FFFF"},
    {"OnePage", "f103", 64, 0x08000401, 1, 0x08000400, 0x080007FF, 1,
     ">>擦除范围按擦除单元扩展为0x08000400至0x080007FF"},
    {"PastTheEnd", "f407", 512, 0x0807FFF0, 0x20, 0, 0, 0,
     ">>范围0x0807FFF0起32字节超出FLASH末尾0x08080000！"},
    {"PastTheTopOfMemory", "f407", 512, 0x08004000, 0xFFFFFFFF, 0, 0, 0,
     ">>范围0x08004000起4294967295字节超出FLASH末尾0x08080000！"},
    {"BelowTheFlash", "f407", 512, 0x07FFF000, 0x100, 0, 0, 0,
     ">>范围0x07FFF000起256字节不在芯片FLASH内！"},
};

class EraseRangeTest : public JobTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(EraseRangeTest, ErasesTheUnitsTheRangeTouchesAndNothingElse) {
    const EraseCase& c = GetParam();
    std::vector<uint8_t> expected(c.flashKiB * 1024u, 0x00);
    SimTarget& target = ConnectToChip(c.chip, c.flashKiB, expected);
    last = jobs.EraseRange(c.address, c.length);
    EXPECT_EQ(Succeeded(), c.units != 0) << host.log;
    const std::vector<std::string> lines = host.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), c.line), *c.line ? 1 : 0) << host.log;
    if (c.units != 0) {
        std::fill(expected.begin() + (c.from - 0x08000000),
                  expected.begin() + (c.to - 0x08000000) + 1, 0xFF);
        const std::string n = std::to_string(c.units);
        EXPECT_EQ(host.stages, (std::vector<std::string>{"began erase " + n, "done erase " + n,
                                                         "ended erase ok"}));
    }
    EXPECT_TRUE(target.Flash() == expected);
}

INSTANTIATE_TEST_SUITE_P(Ranges, EraseRangeTest, ::testing::ValuesIn(kEraseCases), kCaseName);

TEST_F(JobTest, RangeEraseNeedsAnIdentifiedChip) {
    SimTarget& target = StartTarget();
    ConnectTo(target);
    last = jobs.EraseRange(0x08000000, 0x400);
    EXPECT_EQ(host.log, ">>未识别芯片，无法按地址擦除！\r\n");
    EXPECT_TRUE(target.HostBytes().empty());
}

// On the command line, page mode erases a run of neighbouring pages or sectors with one erase
// command, and writes right after it; a chip whose bootloader may mishandle that gets one
// command a unit.
struct RunCase {
    const char* name;
    const char* chip;
    uint32_t address, size;
    std::vector<uint8_t> erase;  // the (first) command and its block
    size_t commands;
};

std::vector<uint8_t> BasicErase(uint8_t first, uint8_t count) {
    std::vector<uint8_t> bytes = {0x43, 0xBC, static_cast<uint8_t>(count - 1)};
    uint8_t sum = static_cast<uint8_t>(count - 1);
    for (uint8_t p = first; p < first + count; ++p) {
        bytes.push_back(p);
        sum ^= p;
    }
    bytes.push_back(sum);
    return bytes;
}

std::vector<uint8_t> ExtendedErase(uint16_t first, uint16_t count) {
    std::vector<uint8_t> bytes = {0x44, 0xBB, 0x00, static_cast<uint8_t>(count - 1)};
    uint8_t sum = static_cast<uint8_t>(count - 1);
    for (uint16_t p = first; p < first + count; ++p) {
        bytes.push_back(static_cast<uint8_t>(p >> 8));
        bytes.push_back(static_cast<uint8_t>(p));
        sum ^= static_cast<uint8_t>(p >> 8) ^ static_cast<uint8_t>(p);
    }
    bytes.push_back(sum);
    return bytes;
}

const RunCase kRunCases[] = {
    {"BasicPages", "f103", 0x08004000, 20 * 1024, BasicErase(16, 20), 1},
    {"ExtendedPages", "f303", 0x08004000, 20 * 1024, ExtendedErase(8, 10), 1},
    {"Sectors", "f407", 0x08004000, 60 * 1024, ExtendedErase(1, 4), 1},
    {"OnePageACommandOnAG071", "g071", 0x08004000, 4 * 1024, ExtendedErase(8, 1), 2},
};

class EraseRunTest : public JobTest, public ::testing::WithParamInterface<RunCase> {};

TEST_P(EraseRunTest, OneCommandErasesTheRun) {
    const RunCase& c = GetParam();
    const uint32_t kib = chips::FindChipByKey(c.chip)->defaultKiB;
    SimTarget& target = ConnectToChip(c.chip, kib, std::vector<uint8_t>(kib * 1024, 0x00));
    ChangeOptions([&](JobOptions& o) {
        o.eraseAll = false;
        o.eraseInRuns = true;
        o.quickWaits = true;
        o.filePath = WriteHexFile("run.hex", Pattern(c.size), c.address - 0x08000000);
    });
    ASSERT_EQ(jobs.Program(), JobOutcome::Done) << host.log;
    const std::vector<uint8_t> sent = target.HostBytes();
    EXPECT_TRUE(Contains(sent, c.erase)) << "the run in one command";
    // Its code and complement appear once a command.
    const std::vector<uint8_t> command = {c.erase[0], c.erase[1]};
    size_t commands = 0;
    for (auto it = sent.begin();
         (it = std::search(it, sent.end(), command.begin(), command.end())) != sent.end(); ++it) {
        ++commands;
    }
    EXPECT_EQ(commands, c.commands);
    const std::vector<uint8_t> flash = target.Flash();
    EXPECT_TRUE(std::equal(flash.begin() + (c.address - 0x08000000),
                           flash.begin() + (c.address - 0x08000000) + c.size,
                           Pattern(c.size).begin()));
    EXPECT_EQ(flash[0], 0x00) << "the flash before the run is kept";
}

INSTANTIATE_TEST_SUITE_P(Runs, EraseRunTest, ::testing::ValuesIn(kRunCases), kCaseName);

}  // namespace
