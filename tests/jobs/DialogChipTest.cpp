// The dialog's way on the chip it was made for (the fixed way, Get ID the one addition on the
// wire) and on chips it cannot identify: page mode refused before anything goes out, the
// whole flash programmed as ever, the fixed 64 KiB read out, each said in a line. Other chips
// are in the family table of the programming tests.
#include "JobFixture.h"

namespace {

struct DialogCase {
    const char* name;
    const char* chip;  // "": a target of this product ID and erase command
    uint16_t pid;
    uint8_t eraseCmd;
    const char* fault;
    const char* seen;  // "": identified
};

const DialogCase kDialogCases[] = {
    {"MadeFor", "", 0x0410, 0x43, "", ""},
    {"UnknownId", "", 0x0999, 0x43, "", "未知产品ID 0x999"},
    {"NoIdReply", "", 0x0410, 0x43, "nack:id", "芯片未应答读取ID命令"},
    {"F103WithExtendedErase", "", 0x0410, 0x44, "",
     "产品ID 0x410，但Bootloader列出扩展擦除命令（0x44）"},
    {"TwoBanksOfUnreadSize", "l476", 0, 0, "nack:read@0x1FFF75E0",
     "STM32L47x/48x有两个BANK且无法读取FLASH容量"},
};

void PrintTo(const DialogCase& c, std::ostream* os) { *os << c.name; }

class DialogWayTest : public JobTest, public ::testing::WithParamInterface<DialogCase> {};

TEST_P(DialogWayTest, FixedWayOrTheWholeFlashOnly) {
    const DialogCase& c = GetParam();
    sim::TargetConfig config;
    config.pid = c.pid;
    config.eraseCmd = c.eraseCmd;
    if (*c.chip) config.SetChip(*chips::FindChipByKey(c.chip));
    if (*c.fault) config.faults = {c.fault};
    SimTarget& target = StartTarget(config);
    jobs.SetChipPolicy(ChipPolicy::Dialog);
    host.ports = {target.Name()};
    jobs.SetPort(target.Name());
    jobs.Reconnect();
    EXPECT_EQ(host.Lines().size(), 4u) << host.log;
    if (!*c.seen) {
        EXPECT_EQ(target.HostBytes(), (std::vector<uint8_t>{0x7F, 0, 0xFF, 0x02, 0xFD}));
    }
    const std::string unknown = std::string(">>芯片型号未知（") + c.seen + "）";

    jobs.SetFilePath(WriteHexFile("image.hex", Pattern(1500)));
    jobs.SetEraseAll(false);
    host.log.clear();
    target.ClearLog();
    last = jobs.Program();
    EXPECT_EQ(Succeeded(), *c.seen ? 0 : 1) << host.log;
    if (*c.seen) {
        EXPECT_EQ(host.log,
                  unknown + "，无法确定代码区所在的页，取消烧录操作！请选择擦除所有扇区\r\n");
        EXPECT_TRUE(target.HostBytes().empty());
    }
    jobs.SetEraseAll(true);
    host.log.clear();
    last = jobs.Program();
    EXPECT_EQ(Succeeded(), 1) << host.log;
    EXPECT_EQ(host.Lines().front(), *c.seen
                                        ? unknown + "，按原方式擦除所有扇区后烧录"
                                        : ">>读取下载文件到内存：2048byte ，共2页（每页1024byte）");
    host.log.clear();
    host.savePath = TempPath("dialog.bin");
    last = jobs.ReadOut();
    EXPECT_EQ(Succeeded(), 1) << host.log;
    EXPECT_EQ(host.Lines().front(),
              *c.seen ? unknown + "，只读取FLASH前64KB" : ">>开始读取FLASH......");
    EXPECT_EQ(host.range, 256);
}

INSTANTIATE_TEST_SUITE_P(Chips, DialogWayTest, ::testing::ValuesIn(kDialogCases), kCaseName);

}  // namespace
