// Every text the device jobs write to the log, in Chinese (GBK once compiled) and English.
// The dialog always speaks Chinese; the command line chooses by locale or --lang.
#pragma once

#include <string>

enum class Language { Chinese, English };

// The language every message is read in from now on (Chinese until told otherwise).
void SetMessageLanguage(Language language);
Language MessageLanguage();

// One text in both languages. It reads as the current language's text wherever a C string
// or a std::string is wanted; through "..." (a printf argument) it must be read with Text().
struct Message {
    const char* chinese;
    const char* english;

    const char* Text() const;
    operator const char*() const { return Text(); }
    operator std::string() const { return Text(); }
};

// X(name, chinese, english) for each message, in the order they appear in the log.
// clang-format off
#define KESTREL_MESSAGES(X) \
    /* Connect procedure. */ \
    X(kMsgInvalidPort, ">>无效串口号........\r\n", ">>Invalid port........\r\n") \
    X(kMsgPortOpened, ">>串口%s打开成功!\r\n", ">>Port %s opened\r\n") \
    X(kMsgPortOpenFailed, ">>串口%s打开失败!\r\n", ">>Port %s could not be opened\r\n") \
    X(kMsgIspConnected, ">>连接ISP成功!\r\n", ">>Connected to the bootloader\r\n") \
    X(kMsgBootloaderVersion, ">>Bootloader版本：V%d.%d\r\n", ">>Bootloader version: V%d.%d\r\n") \
    X(kMsgBootloaderCommands, ">>Bootloader操作指令：", ">>Bootloader commands: ") \
    X(kMsgIspFailedClosing, ">>连接ISP失败，关闭串口%s!\r\n", ">>No bootloader answered; closing port %s\r\n") \
    X(kMsgTryingLongerStartup, ">>Bootloader无应答，再试一次：复位后等待%u毫秒（最慢芯片的启动时间）\r\n", ">>No bootloader answered; trying once more, waiting %u ms after the reset (the slowest chip's start-up)\r\n") \
    X(kMsgNotConnected, ">>未连接ISP，本次操作无效！!\r\n", ">>Not connected to the bootloader; nothing done\r\n") \
    /* Chip information. */ \
    X(kMsgVersionAndOptions, ">>Bootloader版本：V%d.%d，选项字节：%02X %02X\r\n", ">>Bootloader version: V%d.%d, option bytes: %02X %02X\r\n") \
    X(kMsgVersionFailed, ">>读取版本及读保护信息失败！\r\n", ">>Reading the version and protection status failed\r\n") \
    X(kMsgChipId, ">>芯片ID版本：V%d.%02X\r\n", ">>Chip ID: V%d.%02X\r\n") \
    X(kMsgChipIdFailed, ">>读取芯片ID版本失败！\r\n", ">>Reading the chip ID failed\r\n") \
    /* The identified chip (command line only). */ \
    X(kMsgFlashSizeAssumed, ">>无法读取FLASH容量，按该芯片最大容量%uKB操作\r\n", ">>The flash size could not be read; working as this chip's largest, %u KB\r\n") \
    X(kMsgFlashSizeGiven, ">>无法读取FLASH容量，按--flash-kib指定的%uKB操作\r\n", ">>The flash size could not be read; working as %u KB (--flash-kib)\r\n") \
    /* The chip as the dialog knows it: followed (named after the connect), or not known. */ \
    X(kMsgDialogChip, ">>芯片型号：%s，FLASH容量：%uKB\r\n", ">>Chip: %s, flash: %u KB\r\n") \
    X(kMsgChipUnknown, ">>芯片型号未知（%s），按原方式擦除所有扇区后烧录\r\n", ">>The chip is not known (%s); erasing the whole flash and programming as before\r\n") \
    X(kMsgPagesNeedChip, ">>芯片型号未知（%s），无法确定代码区所在的页，取消烧录操作！请选择擦除所有扇区\r\n", ">>The chip is not known (%s), so the pages the file needs cannot be told; programming cancelled. Choose erasing the whole flash\r\n") \
    X(kMsgReadOutFixedSize, ">>芯片型号未知（%s），只读取FLASH前%uKB\r\n", ">>The chip is not known (%s); reading only the first %u KB of flash\r\n") \
    /* Not sure of the chip: what was seen, and what the user can do. */ \
    X(kMsgLayoutNotKnown, ">>FLASH布局未知（%s）；%s\r\n", ">>The flash layout is not known (%s); %s\r\n") \
    X(kMsgChipContradicted, ">>%s与芯片自身信息不符：%s；请检查--chip和--flash-kib\r\n", ">>%s does not match what the chip says: %s; check --chip and --flash-kib\r\n") \
    X(kSeenNoId, "芯片未应答读取ID命令", "no reply to Get ID") \
    X(kSeenUnknownId, "未知产品ID 0x%03X", "unknown product ID 0x%03X") \
    X(kSeenAnswersId, "芯片产品ID为0x%03X", "the chip answers product ID 0x%03X") \
    X(kSeenEraseListed, "产品ID 0x%03X，但Bootloader列出%s擦除命令（0x%02X）", "product ID 0x%03X, but the bootloader lists %s erase (0x%02X)") \
    X(kEraseExtended, "扩展", "extended") \
    X(kEraseBasic, "标准", "basic") \
    X(kEraseUnusable, "无法使用的", "no usable") \
    X(kSeenSizeNotOfChip, "FLASH容量寄存器为%uKB，%s没有此容量", "the flash-size register says %u KB, a size %s does not come in") \
    X(kSeenSizeRegister, "FLASH容量寄存器为%uKB", "the flash-size register says %u KB") \
    X(kSeenNotASize, "该芯片没有%uKB的容量", "it does not come with %u KB") \
    X(kSeenTwoBanks, "%s有两个BANK且无法读取FLASH容量", "%s has two banks and its flash size cannot be read") \
    X(kRemedyChip, "请用--chip NAME指定芯片（kestrel-isp --list-chips列出型号）", "name the chip with --chip NAME (kestrel-isp --list-chips lists them)") \
    X(kRemedyFlashKib, "请用--flash-kib N指定FLASH容量", "give its flash size with --flash-kib N") \
    X(kRemedyOrLength, "，或用--length指定读取长度", ", or give the length to read with --length") \
    X(kMsgFitUnchecked, ">>芯片未知，未检查下载文件是否超出FLASH\r\n", ">>The chip is not known; whether the file fits its flash was not checked\r\n") \
    X(kMsgRangePastFlash, ">>范围0x%08X起%u字节超出FLASH末尾0x%08X！\r\n", ">>The range from 0x%08X, %u bytes, runs past the end of flash at 0x%08X\r\n") \
    /* Why a command on the line failed (command line): behind the failure line. */ \
    X(kMsgBecause, "%s：%s\r\n", "%s: %s\r\n") \
    X(kWhyRefused, "Bootloader拒绝执行", "the bootloader refused it") \
    X(kWhyNoAnswer, "Bootloader无应答", "no answer from the bootloader") \
    X(kWhyMalformed, "应答有误（线路干扰？）", "the reply was garbled (a noisy line?)") \
    X(kWhyGone, "设备已断开", "the device is gone") \
    X(kMsgChipName, ">>芯片：%s（产品ID 0x%04X）\r\n", ">>Chip: %s (product ID 0x%04X)\r\n") \
    X(kMsgChipFlash, ">>FLASH：%uKB，起始地址0x%08X，%s\r\n", ">>Flash: %u KB from 0x%08X, %s\r\n") \
    X(kMsgReadProtection, ">>读保护：级别%d（选项字节RDP=0x%02X）\r\n", ">>Read-out protection: level %d (option byte RDP=0x%02X)\r\n") \
    X(kMsgReadProtectionUnread, ">>读保护：无法读取选项字节，可能已启用读保护\r\n", ">>Read-out protection: the option bytes cannot be read; protection may be on\r\n") \
    /* Programming. */ \
    X(kMsgLoadFailed, ">>下载文件打开失败，取消烧录操作！\r\n", ">>The firmware file could not be loaded; programming cancelled\r\n") \
    X(kMsgLoaded, ">>读取下载文件到内存：%dbyte ，共%d页（每页%dbyte）\r\n", ">>Firmware file loaded: %d bytes, %d pages (%d bytes a page)\r\n") \
    /* The command line's load line: the file's bytes, and the chip's units they fall in. */ \
    X(kMsgLoadedInto, ">>读取下载文件到内存：%u字节，占%s\r\n", ">>Firmware file loaded: %u bytes, into %s\r\n") \
    X(kIntoPage, "1页（%s）", "1 page of %s") \
    X(kIntoPages, "%u页（每页%s）", "%u pages of %s") \
    X(kIntoPagesMixed, "%u页（%s）", "%u pages (%s)") \
    X(kIntoSector, "1个扇区（%s）", "1 sector of %s") \
    X(kIntoSectors, "%u个扇区（每个%s）", "%u sectors of %s") \
    X(kIntoSectorsMixed, "%u个扇区（%s）", "%u sectors (%s)") \
    X(kListSeparator, "、", ", ") \
    X(kMsgEraseAllFailed, ">>擦除芯片所有FLASH区失败，取消烧录操作！\r\n", ">>Erasing the whole flash failed; programming cancelled\r\n") \
    X(kMsgEraseAllDone, ">>成功擦除芯片所有FLASH区！\r\n", ">>Whole flash erased\r\n") \
    X(kMsgWriteStart, ">>开始写入FLASH.......\r\n", ">>Writing flash.......\r\n") \
    X(kMsgPageEraseFailed, ">>擦除FLASH第%d页失败\r\n", ">>Erasing flash page %d failed\r\n") \
    X(kMsgWriteFailed, ">>FLASH写%dbyte至0x%08X失败\r\n", ">>Writing %d bytes at 0x%08X failed\r\n") \
    X(kMsgWriteDone, ">>FLASH烧录完成，用时%d毫秒！\r\n", ">>Flash written in %d ms\r\n") \
    X(kMsgVerifyStart, ">>开始校验FLASH......\r\n", ">>Verifying flash......\r\n") \
    X(kMsgVerifyReadFailed, ">>读取FLASH 0x%08X ，%dbyte失败\r\n", ">>Reading flash at 0x%08X, %d bytes failed\r\n") \
    X(kMsgVerifyMismatch, ">>FLASH地址0x%08X校验出现错误，停止校验操作！\r\n", ">>Flash differs from the file at 0x%08X; verify stopped\r\n") \
    X(kMsgVerifyUnstable, ">>两次读取FLASH 0x%08X的结果不同，读取不稳定，停止校验操作！\r\n", ">>Two reads of the flash at 0x%08X disagree: the reads are unstable; verify stopped\r\n") \
    X(kMsgVerifyDone, ">>FLASH校验成功，用时%d毫秒！\r\n", ">>Flash verified in %d ms\r\n") \
    X(kMsgImageBeyondFlash, ">>下载文件在0x%08X处超出芯片FLASH（%uKB），取消烧录操作！\r\n", ">>The file has data at 0x%08X, beyond the chip's flash (%u KB); programming cancelled\r\n") \
    X(kMsgRunDone, ">>程序运行成功！\r\n", ">>Program started\r\n") \
    /* Read-out. */ \
    X(kMsgReadOutCancelled, ">>取消FLASH读取操作！\r\n", ">>Flash read-out cancelled\r\n") \
    X(kMsgReadOutOpenFailed, ">>写入文件失败，读取FLASH操作取消！！\r\n", ">>The file could not be written; flash read-out cancelled\r\n") \
    X(kMsgReadOutStart, ">>开始读取FLASH......\r\n", ">>Reading flash......\r\n") \
    X(kMsgReadOutReadFailed, ">>读取FLASH 0x%08X失败！\r\n", ">>Reading flash at 0x%08X failed\r\n") \
    X(kMsgReadOutUnstable, ">>四次读取FLASH 0x%08X均无两次结果相同，读取不稳定！\r\n", ">>No two of four reads of the flash at 0x%08X agree: the reads are unstable\r\n") \
    X(kMsgReadOutWriteFailed, ">>成功读取FLASH 0x%08X，但写入文件时发生异常！\r\n", ">>Flash at 0x%08X was read, but writing the file failed\r\n") \
    X(kMsgReadOutDone, ">>读取FLASH操作成功，用时%d毫秒！\r\n", ">>Flash read in %d ms\r\n") \
    X(kMsgReadOutSavedAt, ">>文件保存位置：", ">>Saved to: ") \
    /* Firmware files judged by content (command line): the refusal, with one of the reasons. */ \
    X(kMsgImageRefused, ">>下载文件无效：%s！\r\n", ">>Firmware file refused: %s\r\n") \
    X(kReasonMissing, "文件不存在", "no such file") \
    X(kReasonFolder, "这是一个文件夹，不是文件", "a folder, not a file") \
    X(kReasonUnreadable, "文件无法读取", "the file cannot be read") \
    X(kReasonEmpty, "文件为空", "the file is empty") \
    X(kReasonUnknownKind, "不是Intel HEX、S-record或ELF文件；如要按原始字节烧录，请将文件命名为.bin或使用--format binary", "not Intel HEX, S-record or ELF; to write it as raw bytes, name it .bin or use --format binary") \
    /* The format asked for (--format) and the file's own kind (Intel HEX, S-record, ELF). */ \
    X(kReasonKindIs, "文件是%s，不是%s", "the file is %s, not %s") \
    X(kReasonKindNot, "文件不是%s", "the file is not %s") \
    /* A load fault, on a line of a file or in the file as a whole. */ \
    X(kReasonHexLine, "HEX文件第%u行%s", "HEX file line %u: %s") \
    X(kReasonHex, "HEX文件%s", "HEX file: %s") \
    X(kReasonSrecLine, "S-record文件第%u行%s", "S-record file line %u: %s") \
    X(kReasonSrec, "S-record文件%s", "S-record file: %s") \
    X(kReasonElf, "ELF文件%s", "ELF file: %s") \
    X(kReasonBinary, "二进制文件%s", "binary file: %s") \
    X(kFaultOpen, "无法打开", "cannot be opened") \
    X(kFaultRead, "读取出错", "read error") \
    X(kFaultPageSize, "页大小无效", "invalid page size") \
    X(kFaultRecord, "不是有效的记录", "not a valid record") \
    X(kFaultChecksum, "校验和错误", "bad checksum") \
    X(kFaultUpperAddress, "扩展线性地址记录不是2字节", "extended linear address record is not 2 bytes") \
    X(kFaultSegmentAddress, "扩展段地址记录不是2字节", "extended segment address record is not 2 bytes") \
    X(kFaultRecordType, "记录类型未知", "unknown record type") \
    X(kFaultConflict, "给0x%08X的数据与第%u行不同", "gives 0x%08X another byte than line %u") \
    X(kFaultRecordCount, "记录数与之前的数据记录数不符", "record count differs from the data records before it") \
    X(kFaultBelowBase, "数据低于FLASH起始地址", "data below the flash base") \
    X(kFaultTooHigh, "数据超出可烧录范围", "data beyond what can be programmed") \
    X(kFaultNoData, "没有数据", "no data") \
    X(kFaultNoEnd, "缺少结束记录", "no end-of-file record") \
    X(kFaultMemory, "内存不足", "out of memory") \
    X(kFaultElfHeader, "文件头或程序头表不完整或已损坏", "header or program header table cut short or malformed") \
    X(kFaultElfSegment, "段超出文件末尾", "a segment runs past the end of the file") \
    X(kFaultElfConflict, "段%u给0x%08X的数据与段%u不同", "segment %u gives 0x%08X another byte than segment %u") \
    X(kFaultElfTooLarge, "可加载段的字节总数超出固件映像所能容纳的大小", "the loadable segments hold more bytes than an image can") \
    /* An ELF file for something else: the whole reason. */ \
    X(kReasonElfClass, "%u位ELF文件", "%u-bit ELF") \
    X(kReasonElfEncoding, "大端ELF文件", "big-endian ELF") \
    X(kReasonElfMachine, "%s的ELF文件，不是ARM", "ELF for %s, not ARM") \
    X(kElfMachineNumber, "机器类型%u", "machine %u") \
    /* What a load took but the user should hear of: the kind's name, the line. */ \
    X(kMsgAfterEnd, ">>%s文件第%u行起位于结束记录之后，未读取\r\n", ">>%s file: the lines from %u on stand behind the end record and were not read\r\n") \
    /* A failed block tried again (command line). */ \
    X(kMsgRetryBlock, ">>重试0x%08X处的数据块（%d/%d）\r\n", ">>Retrying the block at 0x%08X (%d/%d)\r\n") \
    /* Read-out of a range, into a file kept whole (command line). */ \
    X(kMsgReadRangeInvalid, ">>读取范围无效：0x%08X起%u字节！\r\n", ">>Invalid read range: from 0x%08X, %u bytes\r\n") \
    X(kMsgReadOutPartial, ">>已读取的0x%08X至0x%08X保存在：", ">>The bytes read, 0x%08X to 0x%08X, are kept in: ") \
    /* Why a read-out's file cannot be written (command line, before the port opens). */ \
    X(kTargetNoName, "没有文件名", "no file name was given") \
    X(kTargetFolder, "这是一个文件夹", "it is a folder") \
    X(kTargetDevice, "这是一个设备", "it is a device") \
    X(kTargetFifo, "这是一个命名管道", "it is a FIFO") \
    X(kTargetSocket, "这是一个套接字", "it is a socket") \
    X(kTargetNotFile, "这不是普通文件", "it is not a regular file") \
    X(kTargetReadOnly, "文件只读", "the file is read-only") \
    X(kTargetUnreadable, "无法查看该文件", "it cannot be looked at") \
    X(kTargetNoFolder, "所在文件夹不存在", "its folder does not exist") \
    X(kTargetFolderReadOnly, "所在文件夹不可写", "its folder cannot be written") \
    X(kMsgReadOutReplaceFailed, ">>读取FLASH成功，但无法替换目标文件，数据保存在：", ">>Flash read, but the target file could not be replaced; the data is in: ") \
    /* Erase (command line). */ \
    X(kMsgEraseNeedsChip, ">>未识别芯片，无法按地址擦除！\r\n", ">>The chip is not known; cannot erase by address\r\n") \
    X(kMsgRangeOutsideFlash, ">>范围0x%08X起%u字节不在芯片FLASH内！\r\n", ">>The range from 0x%08X, %u bytes, is not in the chip's flash\r\n") \
    X(kMsgEraseRounded, ">>擦除范围按擦除单元扩展为0x%08X至0x%08X\r\n", ">>Erase range rounded out to whole units: 0x%08X to 0x%08X\r\n") \
    X(kMsgEraseUnitFailed, ">>擦除0x%08X处的擦除单元（第%u号）失败！\r\n", ">>Erasing the unit at 0x%08X (number %u) failed\r\n") \
    X(kMsgEraseRangeDone, ">>成功擦除FLASH 0x%08X至0x%08X（%d个擦除单元）！\r\n", ">>Flash 0x%08X to 0x%08X erased (%d units)\r\n") \
    X(kMsgEraseChipFailed, ">>擦除芯片所有FLASH区失败！\r\n", ">>Erasing the whole flash failed\r\n") \
    /* Go (command line; Program's own Go is silent on a refusal). */ \
    X(kMsgGoDone, ">>程序从0x%08X开始运行！\r\n", ">>Program started at 0x%08X\r\n") \
    X(kMsgGoFailed, ">>跳转到0x%08X运行失败！\r\n", ">>Starting the program at 0x%08X failed\r\n") \
    /* Protection (command line). */ \
    X(kMsgReadoutUnprotectDone, ">>已解除读保护，芯片擦除全部FLASH后复位\r\n", ">>Read-out protection lifted; the chip erases all its flash and resets\r\n") \
    X(kMsgNothingToUnprotect, ">>读保护未启用（级别0），无需解除，FLASH未擦除\r\n", ">>Read-out protection is off (level 0): nothing to lift, the flash is not erased\r\n") \
    X(kMsgReadoutUnprotectFailed, ">>解除读保护失败！\r\n", ">>Lifting read-out protection failed\r\n") \
    X(kMsgWriteUnprotectDone, ">>已解除写保护，芯片复位\r\n", ">>Write protection lifted; the chip resets\r\n") \
    X(kMsgWriteUnprotectFailed, ">>解除写保护失败！\r\n", ">>Lifting write protection failed\r\n") \
    X(kMsgReadoutProtectDone, ">>已启用读保护，芯片复位\r\n", ">>Read-out protection set; the chip resets\r\n") \
    X(kMsgReadoutProtectFailed, ">>启用读保护失败！\r\n", ">>Setting read-out protection failed\r\n") \
    X(kMsgWaitingForReset, ">>等待芯片复位%lu毫秒......\r\n", ">>Waiting %lu ms for the chip to reset......\r\n") \
    X(kMsgBackAfterReset, ">>芯片复位后重新连接成功！\r\n", ">>Connected again after the reset\r\n") \
    X(kMsgNotBackAfterReset, ">>芯片复位后未能重新连接！\r\n", ">>The chip did not answer after its reset\r\n")
// clang-format on

#define KESTREL_DECLARE_MESSAGE(name, chinese, english) \
    inline constexpr Message name{chinese, english};
KESTREL_MESSAGES(KESTREL_DECLARE_MESSAGE)
#undef KESTREL_DECLARE_MESSAGE

// Every message, for checking the two languages against each other.
const Message* const* AllMessages(int* count);
