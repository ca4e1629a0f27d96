// The dialog's way with chips: on every chip the simulator can be, and on chips it cannot
// identify.
#include <fstream>

#include "JobFixture.h"

namespace chips {
void PrintTo(const Chip& chip, std::ostream* os) { *os << chip.key; }
}  // namespace chips

namespace {

class DialogTest : public JobTest {
protected:
    SimTarget& Connect(const sim::TargetConfig& config) {
        SimTarget& target = StartTarget(config);
        jobs.SetChipPolicy(ChipPolicy::Dialog);
        host.ports = {target.Name()};
        jobs.SetPort(target.Name());
        jobs.Reconnect();
        EXPECT_TRUE(jobs.IsConnected()) << host.log;
        return target;
    }
    // Runs job with fresh logs; the bytes it sent.
    template <class Job>
    std::vector<uint8_t> Run(SimTarget& target, Job job) {
        host.log.clear();
        target.ClearLog();
        last = job();
        return target.HostBytes();
    }
    static int EraseCommands(const std::vector<uint8_t>& sent) {
        int n = 0;
        for (size_t i = 0; i + 1 < sent.size(); ++i) {
            n += (sent[i] == 0x43 && sent[i + 1] == 0xBC) ||
                 (sent[i] == 0x44 && sent[i + 1] == 0xBB);
        }
        return n;
    }
};

// Each chip of the command line's table, with its own flash times: the one the dialog was
// made for keeps the fixed way, unnamed, with 64 KiB read out of its 128; every other is
// named after the connect, erased unit by unit, mass erased however long it takes, and read
// out whole.
class DialogChipTest : public DialogTest, public ::testing::WithParamInterface<chips::Chip> {};

TEST_P(DialogChipTest, NamedErasedByItsUnitsAndReadWhole) {
    const chips::Chip& chip = GetParam();
    const bool madeFor = chip.pid == 0x0410;
    sim::TargetConfig config;
    config.SetChip(chip);
    config.chipTiming = true;
    for (uint32_t kib = 64; kib < config.flashKiB; kib *= 2) {
        if (!chips::FlashUnits(chip, kib).empty()) {
            config.flashKiB = kib;
            break;
        }
    }
    if (madeFor) config.flashKiB = 128;
    config.initialFlash.assign(config.flashKiB * 1024u, 0x00);
    SimTarget& target = Connect(config);
    const std::vector<chips::EraseUnit> units = chips::FlashUnits(chip, config.flashKiB);
    const std::vector<uint8_t> sent = target.HostBytes();
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 5),
              (std::vector<uint8_t>{0x7F, 0x00, 0xFF, 0x02, 0xFD}));
    EXPECT_EQ(sent.size() == 5, madeFor) << "the flash-size register is read on other chips";
    const std::vector<std::string> lines = host.Lines();
    ASSERT_EQ(lines.size(), madeFor ? 4u : 5u) << host.log;
    if (!madeFor) {
        EXPECT_EQ(lines.back(), std::string(">>芯片型号：") + chip.name + "，FLASH容量：" +
                                    std::to_string(config.flashKiB) + "KB");
    }

    const uint32_t end = units.back().address + units.back().size - chip.flashBase;
    const std::vector<uint8_t> data = Pattern(100);
    jobs.SetEraseAll(false);
    if (!madeFor) {
        jobs.SetFilePath(WriteHexFile("beyond.hex", data, end));
        EXPECT_EQ(EraseCommands(Run(target, [&] { return jobs.Program(); })), 0);
        EXPECT_EQ(host.Lines().back(),
                  Format(">>下载文件在0x%08X处超出芯片FLASH（%uKB），取消烧录操作！",
                         chip.flashBase + end, config.flashKiB));
    }
    // In the second unit: that unit alone is erased.
    const uint32_t at = units[1].address - chip.flashBase + 8;
    jobs.SetFilePath(WriteHexFile("unit.hex", data, at));
    EXPECT_EQ(EraseCommands(Run(target, [&] { return jobs.Program(); })), 1);
    ASSERT_EQ(Succeeded(), 1) << host.log;
    // The simulator's flash holds the units one after another, gaps left out.
    std::vector<uint8_t> expected(config.initialFlash.size(), 0x00);
    std::fill_n(expected.begin() + units[0].size, units[1].size, 0xFF);
    std::copy(data.begin(), data.end(), expected.begin() + units[0].size + 8);
    EXPECT_TRUE(target.Flash() == expected);

    jobs.SetEraseAll(true);
    EXPECT_EQ(EraseCommands(Run(target, [&] { return jobs.Program(); })), 1) << "never resent";
    ASSERT_EQ(Succeeded(), 1) << host.log;

    host.savePath = TempPath("dialog.bin");
    Run(target, [&] { return jobs.ReadOut(); });
    ASSERT_EQ(Succeeded(), 1) << host.log;
    const size_t length = madeFor ? 65536 : end;
    std::vector<uint8_t> image(length, 0xFF);
    std::copy(data.begin(), data.end(), image.begin() + at);
    std::ifstream in(host.savePath, std::ios::binary);
    EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}) == image);
    EXPECT_EQ(host.range, static_cast<int>(length / 256));
}

INSTANTIATE_TEST_SUITE_P(Chips, DialogChipTest, ::testing::ValuesIn(chips::AllChips()),
                         [](const auto& info) { return std::string(info.param.key); });

// Chips the dialog cannot identify: no chip line; page mode refused before anything goes out;
// the whole flash erased and programmed as ever; the fixed 64 KiB read out.
struct UnknownCase {
    const char* name;
    const char* chip;  // "": a target of the pid and erase command given
    uint16_t pid;
    uint8_t eraseCmd;
    const char* fault;
    const char* seen;
};

const UnknownCase kUnknownCases[] = {
    {"UnknownId", "", 0x0999, 0x43, "", "未知产品ID 0x999"},
    {"NoIdReply", "", 0x0410, 0x43, "nack:id", "芯片未应答读取ID命令"},
    {"F103WithExtendedErase", "", 0x0410, 0x44, "",
     "产品ID 0x410，但Bootloader列出扩展擦除命令（0x44）"},
    {"TwoBanksOfUnreadSize", "l476", 0, 0, "nack:read@0x1FFF75E0",
     "STM32L47x/48x有两个BANK且无法读取FLASH容量"},
};

class DialogUnknownTest : public DialogTest, public ::testing::WithParamInterface<UnknownCase> {};

TEST_P(DialogUnknownTest, WholeFlashOnlyAndTheFixedReadOut) {
    const UnknownCase& c = GetParam();
    sim::TargetConfig config;
    if (*c.chip) {
        config.SetChip(*chips::FindChipByKey(c.chip));
    } else {
        config.pid = c.pid;
        config.eraseCmd = c.eraseCmd;
    }
    if (*c.fault) config.faults = {c.fault};
    SimTarget& target = Connect(config);
    EXPECT_EQ(host.Lines().size(), 4u) << host.log;
    const std::string seen = std::string("（") + c.seen + "）";

    jobs.SetFilePath(WriteHexFile("image.hex", Pattern(1500)));
    jobs.SetEraseAll(false);
    EXPECT_TRUE(Run(target, [&] { return jobs.Program(); }).empty());
    EXPECT_EQ(host.Lines(), std::vector<std::string>{">>芯片型号未知" + seen +
                                                     "，无法确定代码区所在的页，取消烧录操作！"
                                                     "请选择擦除所有扇区"});
    jobs.SetEraseAll(true);
    Run(target, [&] { return jobs.Program(); });
    EXPECT_EQ(Succeeded(), 1) << host.log;
    EXPECT_EQ(host.Lines().front(), ">>芯片型号未知" + seen + "，按原方式擦除所有扇区后烧录");

    host.savePath = TempPath("unknown.bin");
    Run(target, [&] { return jobs.ReadOut(); });
    EXPECT_EQ(Succeeded(), 1) << host.log;
    EXPECT_EQ(host.Lines().front(), ">>芯片型号未知" + seen + "，只读取FLASH前64KB");
    EXPECT_EQ(host.range, 256);
}

INSTANTIATE_TEST_SUITE_P(Chips, DialogUnknownTest, ::testing::ValuesIn(kUnknownCases), kCaseName);

}  // namespace
