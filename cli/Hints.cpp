#include "Hints.h"

#include <cstring>

#include "Format.h"
#include "Messages.h"
#include "OpenFailure.h"

namespace {

// clang-format off
constexpr Message kHintWord{"提示：", "hint: "};
constexpr Message kHintNoBootloader{
    "请检查：芯片复位时BOOT0为高电平（或选项字节选择从Bootloader启动）；适配器TX接芯片RX、RX接TX；两者共地；波特率为Bootloader所能接受的（可试--baud 57600）；没有其他程序占用串口",
    "check that BOOT0 is high (or the boot option bytes select the bootloader) when the chip leaves reset, that the adapter's TX goes to the chip's RX and RX to TX, that the grounds are joined, that the bootloader takes the rate (try --baud 57600), and that nothing else holds the port"};
constexpr Message kHintNoPorts{
    "请插入USB串口适配器，或用--port指定其设备（kestrel-isp ports列出找到的串口）",
    "plug the USB-serial adapter in, or name its device with --port (kestrel-isp ports lists the ports found)"};
constexpr Message kHintNoDevice{
    "请检查名称；kestrel-isp ports列出找到的串口",
    "check the name; kestrel-isp ports lists the ports found"};
constexpr Message kHintJoinGroup{
    "请将用户加入%s组：sudo usermod -aG %s $USER，然后重新登录",
    "add your user to the group %s: sudo usermod -aG %s $USER, then log in again"};
constexpr Message kHintOwnedByRoot{
    "该设备属于root：请用sudo运行，或安装udev规则（见README的“Using a real board on Linux”）",
    "the device belongs to root: run with sudo, or install the udev rule (README, \"Using a real board on Linux\")"};
constexpr Message kHintUnknownGroup{
    "请将用户加入拥有该设备的组（通常为dialout），然后重新登录",
    "add your user to the group that owns the device (usually dialout), then log in again"};
constexpr Message kHintInUse{
    "请关闭占用该串口的程序（串口终端、ModemManager等）",
    "close the program that holds it (a serial terminal, ModemManager)"};
constexpr Message kHintRefused{
    "Bootloader拒绝写入或擦除受写保护的FLASH，读保护时拒绝读取：kestrel-isp info显示保护状态，unprotect write或unprotect read --yes解除保护",
    "the bootloader refuses to write or erase write-protected flash, and to read while read-out protection is on: kestrel-isp info shows the protection, unprotect write or unprotect read --yes lifts it"};
constexpr Message kHintNoAnswer{
    "线路较长或有干扰时，可降低波特率（--baud 57600）或增加重试次数（--retries 5）",
    "on a long or noisy line a lower rate (--baud 57600) or more tries (--retries 5) may help"};
constexpr Message kHintTargetFolder{
    "请指定该文件夹中的一个文件，如%s",
    "name a file inside it, such as %s"};
constexpr Message kHintTargetStream{
    "如要将数据写到标准输出，文件请用 -",
    "to write the bytes to standard output, give - as the file"};
constexpr Message kHintTargetReadOnly{
    "请使其可写（chmod u+w %s）或换一个文件名",
    "make it writable (chmod u+w %s) or choose another name"};
constexpr Message kHintTargetNoFolder{
    "请先创建该文件夹：%s",
    "create the folder first: %s"};
constexpr Message kHintTargetFolderReadOnly{
    "请选择一个可写的文件夹",
    "choose a folder you can write to"};
constexpr Message kHintInputMissing{
    "请检查路径；相对路径从当前文件夹算起",
    "check the path; a relative one starts in the current folder"};
constexpr Message kHintInputFolder{
    "请指定固件文件本身，而不是它所在的文件夹",
    "name the firmware file itself, not its folder"};
constexpr Message kHintFormatMismatch{
    "去掉--format，按文件内容判断其类型",
    "leave out --format to have the file judged by its content"};
// clang-format on

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

#ifdef _WIN32
constexpr char kSeparators[] = "\\/";
// As the user gave it; the folder command quotes it for cmd.
std::string ShellWord(const std::string& path) { return path; }
std::string MakeFolderCommand(const std::string& folder) { return "md \"" + folder + "\""; }
#else
constexpr char kSeparators[] = "/";
// path as one word for a POSIX shell, so that a command copied from a hint does what it says:
// as it is when it holds nothing the shell would read otherwise, else in single quotes (an
// embedded ' as '\''). A leading '-' would be an option either way, so ./ goes before it.
std::string ShellWord(const std::string& path) {
    const std::string word = !path.empty() && path[0] == '-' ? "./" + path : path;
    const char kPlain[] = "@%+=:,./-_";
    bool plain = !word.empty();
    for (const char c : word) {
        const bool alphanumeric =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alphanumeric && std::strchr(kPlain, c) == nullptr) plain = false;
    }
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}
std::string MakeFolderCommand(const std::string& folder) { return "mkdir -p " + ShellWord(folder); }
#endif

// The folder part of path; "." when it has none.
std::string FolderOf(const std::string& path) {
    const size_t at = path.find_last_of(kSeparators);
    if (at == std::string::npos) return ".";
    return at == 0 ? path.substr(0, 1) : path.substr(0, at);
}

// The hint with path put in where "%s" (the text's only conversion) stands: the GBK text
// converted around it, the path as it is.
std::string WithPath(const Message& hint, const std::string& path, ToOutput convert) {
    const std::string text = hint.Text();
    const size_t at = text.find("%s");
    if (at == std::string::npos) return convert(text);
    return convert(text.substr(0, at)) + path + convert(text.substr(at + 2));
}

}  // namespace

std::string HintWord(ToOutput convert) { return convert(kHintWord.Text()); }

std::string NoBootloaderHint(ToOutput convert) { return convert(kHintNoBootloader.Text()); }

std::string NoPortsHint(ToOutput convert) { return convert(kHintNoPorts.Text()); }

std::string OpenFailureHint(int reason, const std::string& group, ToOutput convert) {
    switch (reason) {
        case OpenFailureNoDevice:
            return convert(kHintNoDevice.Text());
        case OpenFailurePermission:
            if (group.empty()) return convert(kHintUnknownGroup.Text());
            if (group == "root") return convert(kHintOwnedByRoot.Text());
            return convert(Format(kHintJoinGroup, group.c_str(), group.c_str()));
        case OpenFailureInUse:
            return convert(kHintInUse.Text());
        default:
            // Not a port at all, or one the system will not say why of.
            return convert(kHintNoDevice.Text());
    }
}

std::string FailureHint(const std::string& failureLine, ToOutput convert) {
    if (EndsWith(failureLine, kWhyRefused.Text())) return convert(kHintRefused.Text());
    if (EndsWith(failureLine, kWhyNoAnswer.Text()) || EndsWith(failureLine, kWhyMalformed.Text())) {
        return convert(kHintNoAnswer.Text());
    }
    return std::string();
}

std::string OutputTargetHint(const std::string& reason, const std::string& path, ToOutput convert) {
    if (reason == kTargetFolder.Text()) {
        const bool ends =
            !path.empty() && std::string(kSeparators).find(path.back()) != std::string::npos;
        return WithPath(kHintTargetFolder, path + (ends ? "" : "/") + "flash.bin", convert);
    }
    for (const Message* stream : {&kTargetDevice, &kTargetFifo, &kTargetSocket, &kTargetNotFile}) {
        if (reason == stream->Text()) return convert(kHintTargetStream.Text());
    }
    if (reason == kTargetReadOnly.Text()) {
        return WithPath(kHintTargetReadOnly, ShellWord(path), convert);
    }
    if (reason == kTargetNoFolder.Text()) {
        return WithPath(kHintTargetNoFolder, MakeFolderCommand(FolderOf(path)), convert);
    }
    if (reason == kTargetFolderReadOnly.Text()) return convert(kHintTargetFolderReadOnly.Text());
    return std::string();
}

std::string InputFileHint(const std::string& reason, bool formatMismatch, ToOutput convert) {
    if (reason == kReasonMissing.Text()) return convert(kHintInputMissing.Text());
    if (reason == kReasonFolder.Text()) return convert(kHintInputFolder.Text());
    if (reason == kReasonUnreadable.Text() || reason == kReasonEmpty.Text()) return std::string();
    if (formatMismatch) return convert(kHintFormatMismatch.Text());
    return std::string();
}
