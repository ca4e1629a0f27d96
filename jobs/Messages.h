// Every text the device jobs write to the log (GBK once compiled).
#pragma once

// Connect procedure.
inline constexpr const char* kMsgInvalidPort = ">>无效串口号........\r\n";
inline constexpr const char* kMsgPortOpened = ">>串口%s打开成功!\r\n";
inline constexpr const char* kMsgPortOpenFailed = ">>串口%s打开失败!\r\n";
inline constexpr const char* kMsgIspConnected = ">>连接ISP成功!\r\n";
inline constexpr const char* kMsgBootloaderVersion = ">>Bootloader版本：V%d.%d\r\n";
inline constexpr const char* kMsgBootloaderCommands = ">>Bootloader操作指令：";
inline constexpr const char* kMsgIspFailedClosing = ">>连接ISP失败，关闭串口%s!\r\n";
inline constexpr const char* kMsgNotConnected = ">>未连接ISP，本次操作无效！!\r\n";

// Chip information.
inline constexpr const char* kMsgVersionAndOptions =
    ">>Bootloader版本：V%d.%d，选项字节：%02X %02X\r\n";
inline constexpr const char* kMsgVersionFailed = ">>读取版本及读保护信息失败！\r\n";
inline constexpr const char* kMsgChipId = ">>芯片ID版本：V%d.%02X\r\n";
inline constexpr const char* kMsgChipIdFailed = ">>读取芯片ID版本失败！\r\n";

// The identified chip (command line only).
inline constexpr const char* kMsgChipUnknown =
    ">>未知芯片（产品ID 0x%04X），按每页1024byte、64KB FLASH操作\r\n";
inline constexpr const char* kMsgChipIdUnread =
    ">>读取芯片ID失败，按每页1024byte、64KB FLASH操作\r\n";
inline constexpr const char* kMsgFlashSizeAssumed =
    ">>无法读取FLASH容量，按该芯片最大容量%uKB操作\r\n";
inline constexpr const char* kMsgChipName = ">>芯片：%s（产品ID 0x%04X）\r\n";
inline constexpr const char* kMsgChipFlash = ">>FLASH：%uKB，起始地址0x%08X，%s\r\n";
inline constexpr const char* kMsgReadProtection = ">>读保护：级别%d（选项字节RDP=0x%02X）\r\n";
inline constexpr const char* kMsgReadProtectionUnread =
    ">>读保护：无法读取选项字节，可能已启用读保护\r\n";

// Programming.
inline constexpr const char* kMsgLoadFailed = ">>下载文件打开失败，取消烧录操作！\r\n";
inline constexpr const char* kMsgLoaded = ">>读取下载文件到内存：%dbyte ，共%d页（每页%dbyte）\r\n";
inline constexpr const char* kMsgEraseAllFailed = ">>擦除芯片所有FLASH区失败，取消烧录操作！\r\n";
inline constexpr const char* kMsgEraseAllDone = ">>成功擦除芯片所有FLASH区！\r\n";
inline constexpr const char* kMsgWriteStart = ">>开始写入FLASH.......\r\n";
inline constexpr const char* kMsgPageEraseFailed = ">>擦除FLASH第%d页失败\r\n";
inline constexpr const char* kMsgWriteFailed = ">>FLASH写%dbyte至0x%08X失败\r\n";
inline constexpr const char* kMsgWriteDone = ">>FLASH烧录完成，用时%d毫秒！\r\n";
inline constexpr const char* kMsgVerifyStart = ">>开始校验FLASH......\r\n";
inline constexpr const char* kMsgVerifyReadFailed = ">>读取FLASH 0x%08X ，%dbyte失败\r\n";
inline constexpr const char* kMsgVerifyMismatch =
    ">>FLASH地址0x%08X校验出现错误，停止校验操作！\r\n";
inline constexpr const char* kMsgVerifyDone = ">>FLASH校验成功，用时%d毫秒！\r\n";
inline constexpr const char* kMsgImageBeyondFlash =
    ">>下载文件在0x%08X处超出芯片FLASH（%uKB），取消烧录操作！\r\n";
inline constexpr const char* kMsgRunDone = ">>程序运行成功！\r\n";

// Read-out.
inline constexpr const char* kMsgReadOutCancelled = ">>取消FLASH读取操作！\r\n";
inline constexpr const char* kMsgReadOutOpenFailed = ">>写入文件失败，读取FLASH操作取消！！\r\n";
inline constexpr const char* kMsgReadOutStart = ">>开始读取FLASH......\r\n";
inline constexpr const char* kMsgReadOutReadFailed = ">>读取FLASH 0x%08X失败！\r\n";
inline constexpr const char* kMsgReadOutWriteFailed =
    ">>成功读取FLASH 0x%08X，但写入文件时发生异常！\r\n";
inline constexpr const char* kMsgReadOutDone = ">>读取FLASH操作成功，用时%d毫秒！\r\n";
inline constexpr const char* kMsgReadOutSavedAt = ">>文件保存位置：";

// Firmware files judged by content (command line): the refusal, with one of the reasons.
inline constexpr const char* kMsgImageRefused = ">>下载文件无效：%s！\r\n";
inline constexpr const char* kReasonMissing = "文件不存在";
inline constexpr const char* kReasonFolder = "这是一个文件夹，不是文件";
inline constexpr const char* kReasonUnreadable = "文件无法读取";
inline constexpr const char* kReasonEmpty = "文件为空";
// A load fault, on a line of a HEX file or in the file as a whole.
inline constexpr const char* kReasonHexLine = "HEX文件第%u行%s";
inline constexpr const char* kReasonHex = "HEX文件%s";
inline constexpr const char* kReasonBinary = "二进制文件%s";
inline constexpr const char* kFaultOpen = "无法打开";
inline constexpr const char* kFaultRead = "读取出错";
inline constexpr const char* kFaultPageSize = "页大小无效";
inline constexpr const char* kFaultRecord = "不是有效的记录";
inline constexpr const char* kFaultChecksum = "校验和错误";
inline constexpr const char* kFaultUpperAddress = "扩展线性地址记录不是2字节";
inline constexpr const char* kFaultBelowBase = "数据低于FLASH起始地址";
inline constexpr const char* kFaultTooHigh = "数据超出可烧录范围";
inline constexpr const char* kFaultNoData = "没有数据";
inline constexpr const char* kFaultNoEnd = "缺少结束记录";
inline constexpr const char* kFaultMemory = "内存不足";

// A failed block tried again (command line).
inline constexpr const char* kMsgRetryBlock = ">>重试0x%08X处的数据块（%d/%d）\r\n";

// Read-out of a range, into a file kept whole (command line).
inline constexpr const char* kMsgReadRangeInvalid = ">>读取范围无效：0x%08X起%u字节！\r\n";
inline constexpr const char* kMsgReadOutPartial = ">>已读取的0x%08X至0x%08X保存在：";
inline constexpr const char* kMsgReadOutReplaceFailed =
    ">>读取FLASH成功，但无法替换目标文件，数据保存在：";

// Erase (command line).
inline constexpr const char* kMsgEraseNeedsChip = ">>未识别芯片，无法按地址擦除！\r\n";
inline constexpr const char* kMsgEraseOutsideFlash = ">>擦除范围0x%08X至0x%08X超出芯片FLASH！\r\n";
inline constexpr const char* kMsgEraseRounded = ">>擦除范围按擦除单元扩展为0x%08X至0x%08X\r\n";
inline constexpr const char* kMsgEraseUnitFailed = ">>擦除0x%08X处的擦除单元（第%u号）失败！\r\n";
inline constexpr const char* kMsgEraseRangeDone =
    ">>成功擦除FLASH 0x%08X至0x%08X（%d个擦除单元）！\r\n";
inline constexpr const char* kMsgEraseChipFailed = ">>擦除芯片所有FLASH区失败！\r\n";

// Go (command line; Program's own Go is silent on a refusal).
inline constexpr const char* kMsgGoDone = ">>程序从0x%08X开始运行！\r\n";
inline constexpr const char* kMsgGoFailed = ">>跳转到0x%08X运行失败！\r\n";

// Protection (command line).
inline constexpr const char* kMsgReadoutUnprotectDone =
    ">>已解除读保护，芯片擦除全部FLASH后复位\r\n";
inline constexpr const char* kMsgReadoutUnprotectFailed = ">>解除读保护失败！\r\n";
inline constexpr const char* kMsgWriteUnprotectDone = ">>已解除写保护，芯片复位\r\n";
inline constexpr const char* kMsgWriteUnprotectFailed = ">>解除写保护失败！\r\n";
inline constexpr const char* kMsgReadoutProtectDone = ">>已启用读保护，芯片复位\r\n";
inline constexpr const char* kMsgReadoutProtectFailed = ">>启用读保护失败！\r\n";
inline constexpr const char* kMsgWaitingForReset = ">>等待芯片复位%lu毫秒......\r\n";
inline constexpr const char* kMsgBackAfterReset = ">>芯片复位后重新连接成功！\r\n";
inline constexpr const char* kMsgNotBackAfterReset = ">>芯片复位后未能重新连接！\r\n";
