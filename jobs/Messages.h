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
