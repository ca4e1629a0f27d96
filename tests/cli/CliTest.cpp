// kestrel-isp end to end: output, exit codes and the remembered port.
// Expected output is UTF-8 (u8 literals): the terminal's encoding, not the GBK of the log.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Arguments.h"
#include "Chips.h"
#include "ElfFile.h"
#include "IniFile.h"
#include "IntelHex.h"
#include "Messages.h"
#include "MultiBoard.h"
#include "OpenFailure.h"
#include "Platform.h"
#include "PtyTarget.h"
#include "SerialPort.h"
#include "TerminalHost.h"

namespace {

// Names a parameterised case after its name field.
const auto kCaseName = [](const auto& info) { return std::string(info.param.name); };

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Slurp(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// A kestrel-isp started with its standard output and error in temporary files.
struct Running {
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    std::string outName = "/tmp/kestrel-cli-out-XXXXXX";
    std::string errName = "/tmp/kestrel-cli-err-XXXXXX";
};

// Starts kestrel-isp with the arguments; env holds NAME=VALUE pairs added to its environment,
// input (when given) the file its standard input reads.
Running StartIsp(std::vector<std::string> args, std::vector<std::string> env = {},
                 const std::string& input = "") {
    Running run;
    run.outFd = ::mkstemp(&run.outName[0]);
    run.errFd = ::mkstemp(&run.errName[0]);
    run.pid = ::fork();
    if (run.pid == 0) {
        ::dup2(run.outFd, 1);
        ::dup2(run.errFd, 2);
        if (!input.empty()) ::dup2(::open(input.c_str(), O_RDONLY), 0);
        // The expectations are the Chinese log; a test may ask for another locale.
        ::setenv("LC_ALL", "zh_CN.UTF-8", 1);
        for (const std::string& pair : env) ::putenv(const_cast<char*>(pair.c_str()));
        std::vector<char*> argv{const_cast<char*>(KESTREL_ISP_PATH)};
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return run;
}

// Standard output so far, read without disturbing the process.
std::string OutputSoFar(const Running& run) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(run.outFd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Waits for the process; the status is -1 when a signal ended it.
Result Finish(Running& run) {
    Result result;
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::lseek(run.outFd, 0, SEEK_SET);
    ::lseek(run.errFd, 0, SEEK_SET);
    result.out = Slurp(run.outFd);
    result.err = Slurp(run.errFd);
    ::close(run.outFd);
    ::close(run.errFd);
    ::unlink(run.outName.c_str());
    ::unlink(run.errName.c_str());
    return result;
}

Result RunIsp(std::vector<std::string> args, std::vector<std::string> env = {},
              const std::string& input = "") {
    Running run = StartIsp(std::move(args), std::move(env), input);
    return Finish(run);
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ::testing::TempDir() + "/kestrel-cli-" + std::to_string(::getpid());
        ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
        configEnv = "XDG_CONFIG_HOME=" + dir + "/config";
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0); }

    // The F103 that kestrel-sim is by default.
    sim::PtyTarget& StartTarget(std::vector<std::string> faults = {}) {
        sim::TargetConfig config;
        config.SetChip(*chips::FindChipByKey("f103"));
        config.faults = std::move(faults);
        return StartTarget(config);
    }

    sim::PtyTarget& StartTarget(const sim::TargetConfig& config) {
        targets.push_back(std::make_unique<sim::PtyTarget>(config));
        std::string error;
        EXPECT_TRUE(targets.back()->Start(&error)) << error;
        return *targets.back();
    }

    std::string WriteHex(const std::string& text) {
        std::string path = dir + "/image.hex";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // An image of size bytes at the start of flash, as Intel HEX.
    std::string WriteLargeHex(size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i % 16);
        return WriteHex(testhex::IntelHex(bytes, 0, "\n"));
    }

    // Runs Python assertions over a JSON stream, one object a line, given as events; args
    // come as sys.argv[2:]. Returns the status: 0 when every assertion held.
    int CheckJsonStream(const std::string& stream, const std::string& assertions,
                        const std::vector<std::string>& args = {}) {
        const std::string json = dir + "/out.json";
        std::ofstream(json, std::ios::binary) << stream;
        std::string command =
            "python3 -c 'import json,sys\n"
            "events=[json.loads(l) for l in open(sys.argv[1])]\n" +
            assertions + "' " + json;
        for (const std::string& arg : args) command += " " + arg;
        return std::system(command.c_str());
    }

    // Sends the signal once a paced program job has begun writing (calling writing then),
    // and waits for its end.
    Result InterruptWrite(
        int signal, sim::PtyTarget& target, std::vector<std::string> env = {},
        const std::function<void()>& writing = [] {}) {
        return Interrupt(signal, {"program", WriteLargeHex(16 * 1024)}, u8">>开始写入FLASH", target,
                         std::move(env), writing);
    }

    // Runs the command on the target and sends the signal once the log holds the line.
    Result Interrupt(
        int signal, std::vector<std::string> command, const std::string& line,
        sim::PtyTarget& target, std::vector<std::string> env = {},
        const std::function<void()>& then = [] {}, const std::string& input = "") {
        env.push_back(configEnv);
        command.insert(command.begin(), {"--port", target.SlavePath()});
        Running run = StartIsp(command, env, input);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (OutputSoFar(run).find(line) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        then();
        ::kill(run.pid, signal);
        return Finish(run);
    }

    // A sysfs tree under the test's folder in which the target's tty has an FTDI-like latency
    // timer of 16 ms; the file's path. sysfsEnv names the tree.
    std::string FakeLatencyTimer(const sim::PtyTarget& target) {
        char resolved[PATH_MAX];
        const std::string tty = ::realpath(target.SlavePath().c_str(), resolved);
        const std::string device =
            dir + "/sys/bus/usb-serial/devices/" + tty.substr(tty.rfind('/') + 1);
        EXPECT_EQ(std::system(("mkdir -p " + device).c_str()), 0);
        std::ofstream(device + "/latency_timer") << "16\n";
        sysfsEnv = "KESTREL_SYSFS=" + dir + "/sys";
        return device + "/latency_timer";
    }

    sim::PtyTarget& StartPacedTarget() {
        sim::TargetConfig config;
        config.f1Timing = true;
        config.paceBaud = 115200;
        return StartTarget(config);
    }

    std::string dir;
    std::string configEnv;
    std::string sysfsEnv;
    std::vector<std::unique_ptr<sim::PtyTarget>> targets;
};

TEST_F(CliTest, InfoPrintsConnectAndChipLinesInUtf8) {
    sim::PtyTarget& target = StartTarget();
    Result r = RunIsp({"--port", target.SlavePath(), "info"}, {configEnv});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, u8">>串口" + target.SlavePath() +
                         u8"打开成功!\n>>连接ISP成功!\n>>Bootloader版本：V2.2\n"
                         u8">>Bootloader版本：V2.2，选项字节：00 00\n>>芯片ID版本：V4.10\n"
                         u8">>芯片：STM32F10x medium density（产品ID 0x0410）\n"
                         u8">>FLASH：64KB，起始地址0x08000000，64 pages of 1 KiB\n"
                         u8">>读保护：级别0（选项字节RDP=0xA5）\n");
    EXPECT_EQ(r.err, "") << "no bar when standard error is not a terminal";
}

TEST_F(CliTest, ProgramVerifyRunSucceedsAndFlashHoldsTheImage) {
    sim::PtyTarget& target = StartTarget();
    std::string hex = WriteHex(":020000040800F2\n:0400000001020304F2\n:00000001FF\n");
    Result r = RunIsp({"--port", target.SlavePath(), "program", hex, "--run"}, {configEnv});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(u8">>程序运行成功！\n"), std::string::npos) << r.out;
    std::vector<uint8_t> flash = target.Flash();
    EXPECT_EQ(flash[0], 1);
    EXPECT_EQ(flash[3], 4);
    EXPECT_EQ(flash[4], 0xFF);
}

TEST_F(CliTest, ProgramFinishesWhenStandardOutputIsClosedEarly) {
    // Slow flash timing: the reader is gone long before the erase and the write.
    sim::TargetConfig config;
    config.f1Timing = true;
    sim::PtyTarget& target = StartTarget(config);
    std::string hex = WriteHex(":020000040800F2\n:0400000001020304F2\n:00000001FF\n");
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::putenv(const_cast<char*>(configEnv.c_str()));
        std::string port = target.SlavePath();
        ::execl(KESTREL_ISP_PATH, KESTREL_ISP_PATH, "--port", port.c_str(), "program", hex.c_str(),
                nullptr);
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char c = 0;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(target.Flash()[3], 4);
}

std::string FirstWord(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    in >> word;
    return word;
}

TEST_F(CliTest, SigtermDuringWriteExits143WithOneLineAndLetsThePortGo) {
    sim::PtyTarget& target = StartPacedTarget();
    const std::string timer = FakeLatencyTimer(target);
    Result r = InterruptWrite(SIGTERM, target, {sysfsEnv},
                              [&] { EXPECT_EQ(FirstWord(timer), "1") << "lowered while open"; });
    EXPECT_EQ(r.status, 143) << r.out << r.err;
    EXPECT_EQ(r.err, "kestrel-isp: interrupted; the flash may be partly written\n");
    EXPECT_NE(target.Flash()[0x3FFF], 0x0F) << "the job was cut short, not finished";
    EXPECT_EQ(FirstWord(timer), "16") << "the adapter's latency timer was put back";
    EXPECT_EQ(RunIsp({"--port", target.SlavePath(), "info"}, {configEnv}).status, 0)
        << "the port was let go";
}

TEST_F(CliTest, SigintDuringWriteExits130) {
    sim::PtyTarget& target = StartPacedTarget();
    Result r = InterruptWrite(SIGINT, target);
    EXPECT_EQ(r.status, 130) << r.out << r.err;
}

// The names in folder but . and ..
std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* listing = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(listing)) {
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        }
        ::closedir(listing);
    }
    return names;
}

// An interrupted program from standard input leaves no copy of it behind.
TEST_F(CliTest, SigintDuringProgramFromStandardInputRemovesItsCopy) {
    sim::PtyTarget& target = StartPacedTarget();
    const std::string temporary = dir + "/tmp";
    ASSERT_EQ(::mkdir(temporary.c_str(), 0700), 0);
    const std::string tmpdirEnv = "TMPDIR=" + temporary;
    Result r = Interrupt(
        SIGINT, {"program", "-"}, u8">>开始写入FLASH", target, {tmpdirEnv}, [] {},
        WriteLargeHex(16 * 1024));
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    const std::vector<std::string> left = FilesIn(temporary);
    EXPECT_TRUE(left.empty()) << left.front();
}

// An interrupted read-out leaves the file it was to replace as it was, keeps what it had read
// apart, and leaves no temporary file behind.
TEST_F(CliTest, SigintDuringReadOutLeavesTheTargetFileAndNoTemporaryOne) {
    sim::PtyTarget& target = StartPacedTarget();
    const std::string out = dir + "/kept.bin";
    std::ofstream(out) << "precious";
    Result r = Interrupt(SIGINT, {"read-out", out}, u8">>开始读取FLASH", target);
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_EQ(r.err, "kestrel-isp: interrupted; the target file is unchanged\n");
    std::ifstream in(out);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
    std::ifstream partial(out + ".partial");
    EXPECT_TRUE(partial.good() || r.out.find(".partial") == std::string::npos) << r.out;
    for (const char* leftover : {".kestrel-tmp", ".kestrel-tmp1"}) {
        EXPECT_FALSE(std::ifstream(out + leftover).good()) << leftover;
    }
}

// With --json an interrupt, too, ends with an error and the result, and nothing is written
// besides the objects.
TEST_F(CliTest, SigintDuringWriteInJsonEndsWithErrorAndResult) {
    sim::PtyTarget& target = StartPacedTarget();
    Result r = Interrupt(SIGINT, {"--json", "program", WriteLargeHex(16 * 1024)}, u8"开始写入FLASH",
                         target);
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const std::string file = dir + "/stream.json";
    std::ofstream(file, std::ios::binary) << r.out;
    const std::string check = "python3 " KESTREL_SOURCE_DIR
                              "/tests/cli/check-json.py " KESTREL_SOURCE_DIR
                              "/docs/kestrel-isp.schema.json " +
                              file + " --command program --exit 130";
    EXPECT_EQ(std::system(check.c_str()), 0) << r.out;
    EXPECT_NE(r.out.find("{\"event\":\"error\",\"message\":\"interrupted; the flash may be partly "
                         "written\",\"address\":null}\n{\"event\":\"result\""),
              std::string::npos)
        << r.out;
}

TEST_F(CliTest, ProgramWithFailedGoExitsOne) {
    sim::PtyTarget& target = StartTarget({"nack:go"});
    std::string hex = WriteHex(":020000040800F2\n:0400000001020304F2\n:00000001FF\n");
    Result r =
        RunIsp({"--port", target.SlavePath(), "program", hex, "--no-verify", "--run"}, {configEnv});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find(u8"程序运行成功"), std::string::npos);
}

TEST_F(CliTest, ReadOutWritesWholeFlash) {
    sim::PtyTarget& target = StartTarget();
    std::string out = dir + "/flash.bin";
    Result r = RunIsp({"--port", target.SlavePath(), "read-out", out}, {configEnv});
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream in(out, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes.size(), 65536u);
    EXPECT_NE(r.out.find(u8">>文件保存位置：" + out + "\n"), std::string::npos) << r.out;
}

TEST_F(CliTest, FailedConnectOnGivenPortExitsOneWithoutScanning) {
    sim::PtyTarget& target = StartTarget();
    Result r = RunIsp({"--port", "/dev/kestrel-none", "info"},
                      {configEnv, "KESTREL_PORTS=" + target.SlavePath()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, u8">>串口/dev/kestrel-none打开失败!\n");
    EXPECT_EQ(r.err,
              u8"kestrel-isp: cannot open /dev/kestrel-none: no such device\n"
              u8"kestrel-isp: 提示：请检查名称；kestrel-isp ports列出找到的串口\n");
    EXPECT_TRUE(target.HostBytes().empty());
}

TEST_F(CliTest, PortHeldByAnotherProgramIsReportedInUse) {
    sim::PtyTarget& target = StartTarget();
    int holder = ::open(target.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    Result r = RunIsp({"--port", target.SlavePath(), "info"}, {configEnv});
    ::close(holder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "kestrel-isp: cannot open " + target.SlavePath() +
                  ": in use by another program\n"
                  u8"kestrel-isp: 提示：请关闭占用该串口的程序（串口终端、ModemManager等）\n");
}

TEST_F(CliTest, VerboseSaysTheLatencyTimerWasLoweredAndItIsPutBackAtTheEnd) {
    sim::PtyTarget& target = StartTarget();
    const std::string timer = FakeLatencyTimer(target);
    Result r = RunIsp({"--port", target.SlavePath(), "--verbose", "info"}, {configEnv, sysfsEnv});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("kestrel-isp: the adapter's latency timer at " + target.SlavePath() +
                         " is 1 ms while the port is open (it was 16 ms)\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(FirstWord(timer), "16");
}

TEST(LatencyTimerLine, SaysWhatBecameOfTheTimer) {
    struct Case {
        LatencyTimerNote::Kind kind;
        int error;
        const char* port;
        bool verbose;
        std::string line;
    };
    const Case kCases[] = {
        {LatencyTimerNote::Untouched, 0, "/dev/ttyUSB0", true, ""},
        {LatencyTimerNote::Lowered, 0, "/dev/ttyUSB0", false, ""},
        {LatencyTimerNote::Lowered, 0, "/dev/ttyUSB0", true,
         "kestrel-isp: the adapter's latency timer at /dev/ttyUSB0 is 1 ms while the port is "
         "open (it was 16 ms)"},
        {LatencyTimerNote::NotLowered, EACCES, "/dev/ttyUSB0", false, ""},
        {LatencyTimerNote::NotLowered, EACCES, "/dev/ttyUSB0", true,
         "kestrel-isp: cannot lower the adapter's latency timer (16 ms) at /dev/ttyUSB0: "
         "permission denied; see the udev rule in the README"},
        // Windows: a hint whether verbose or not.
        {LatencyTimerNote::HighInSettings, 0, "COM3", false,
         u8"kestrel-isp: the adapter's latency timer at COM3 is 16 ms, which delays every "
         u8"reply; lower it in Device Manager → Port Settings → Advanced → Latency Timer"},
    };
    for (const Case& c : kCases) {
        LatencyTimerNote note;
        note.kind = c.kind;
        note.foundMs = c.kind == LatencyTimerNote::Untouched ? 0 : 16;
        note.error = c.error;
        note.port = c.port;
        EXPECT_EQ(LatencyTimerLine(note, c.verbose), c.line) << c.kind << " " << c.verbose;
    }
}

TEST(OpenFailureText, DeviceGroupIsTheOwningOne) {
    char path[] = "/tmp/kestrel-group-XXXXXX";
    ::close(::mkstemp(path));
    std::string group = DeviceGroup(path);
    ::unlink(path);
    const struct group* own = ::getgrgid(::getegid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(group, own->gr_name);
}

std::string Identity(const std::string& text) { return text; }

// A port that does not open: the reason, then what to do about it; a group to join unless
// the device is root's, whose way in is sudo or the udev rule.
TEST(OpenFailureText, ReasonAndHint) {
    const std::string checkName = "check the name; kestrel-isp ports lists the ports found";
    const std::string denied = "permission denied";
    // clang-format off
    const struct {
        int reason;
        const char* group;
        std::string text, hint;
    } cases[] = {
        {OpenFailurePermission, "uucp", denied,
         "add your user to the group uucp: sudo usermod -aG uucp $USER, then log in again"},
        {OpenFailurePermission, "root", denied, "the device belongs to root: run with sudo, or "
         "install the udev rule (README, \"Using a real board on Linux\")"},
        {OpenFailurePermission, "", denied,
         "add your user to the group that owns the device (usually dialout), then log in again"},
        {OpenFailureNoDevice, "", "no such device", checkName},
        {OpenFailureInUse, "", "in use by another program",
         "close the program that holds it (a serial terminal, ModemManager)"},
        {OpenFailureOther, "", "the system refused to open it", checkName},
    };
    // clang-format on
    SetMessageLanguage(Language::English);
    for (const auto& c : cases) {
        EXPECT_EQ(OpenFailureText(c.reason), c.text);
        EXPECT_EQ(OpenFailureHint(c.reason, c.group, Identity), c.hint) << c.group;
    }
    SetMessageLanguage(Language::Chinese);
    EXPECT_EQ(GbkToUtf8(OpenFailureHint(OpenFailurePermission, "root", Identity)),
              u8"该设备属于root：请用sudo运行，或安装udev规则（见README的“Using a real board on "
              u8"Linux”）");
}

// A path in a hint's command is one word for the shell, whatever it holds.
TEST(OutputTargetHintText, PathsAreQuotedForTheShell) {
    const struct {
        const Message& reason;
        std::string path, hint;
    } cases[] = {
        {kTargetReadOnly, "out/flash-1.bin",
         "make it writable (chmod u+w out/flash-1.bin) or choose another name"},
        {kTargetReadOnly, "my flash.bin",
         "make it writable (chmod u+w 'my flash.bin') or choose another name"},
        {kTargetReadOnly, "it's.bin",
         "make it writable (chmod u+w 'it'\\''s.bin') or choose another name"},
        {kTargetReadOnly, "-f.bin", "make it writable (chmod u+w ./-f.bin) or choose another name"},
        {kTargetNoFolder, "x;rm -rf ~/flash.bin", "create the folder first: mkdir -p 'x;rm -rf ~'"},
        {kTargetNoFolder, "/tmp/a/f.bin", "create the folder first: mkdir -p /tmp/a"},
    };
    SetMessageLanguage(Language::English);
    for (const auto& c : cases) {
        EXPECT_EQ(OutputTargetHint(c.reason.Text(), c.path, Identity), c.hint) << c.path;
    }
    SetMessageLanguage(Language::Chinese);
}

TEST_F(CliTest, ScanFindsTargetAndRemembersIt) {
    sim::PtyTarget& target = StartTarget();
    std::string ports = "KESTREL_PORTS=/dev/kestrel-none:" + target.SlavePath();
    Result r = RunIsp({"info"}, {configEnv, ports});
    EXPECT_EQ(r.status, 0) << r.out;
    std::string ini = dir + "/config/kestrel/Config.ini";
    EXPECT_EQ(ReadProfileString(ini, "Config", "COMM", ""), target.SlavePath());

    // The next run starts with the remembered port: no failed open first.
    Result again = RunIsp({"info"}, {configEnv, ports});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out.rfind(u8">>串口" + target.SlavePath() + u8"打开成功!\n", 0), 0u)
        << again.out;
}

TEST_F(CliTest, UsageErrorsExitTwoWithOneLine) {
    const std::vector<std::vector<std::string>> bad = {{},
                                                       {"--bogus", "info"},
                                                       {"program"},
                                                       {"read-out"},
                                                       {"flash"},
                                                       {"--baud", "fast", "info"},
                                                       {"info", "--run"},
                                                       {"program", "a.hex", "--erase", "some"},
                                                       {"--reset", "rts", "--boot", "rts", "info"}};
    for (const auto& args : bad) {
        Result r = RunIsp(args, {configEnv});
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_TRUE(r.out.empty());
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

// What a parse gave beyond the defaults, for the table below.
std::string Parsed(const CliOptions& o) {
    if (o.help) return "help";
    const std::string operand = o.file + o.what;
    std::string text = o.command + (operand.empty() ? "" : " " + operand);
    for (const std::string& port : o.ports) text += " port=" + port;
    if (o.baud != 115200) text += " baud=" + std::to_string(o.baud);
    char address[32];
    std::snprintf(address, sizeof address, " address=%#x", o.address);
    if (o.hasAddress) text += address;
    if (o.hasLength) text += " length=" + std::to_string(o.length);
    if (o.retries != 2) text += " retries=" + std::to_string(o.retries);
    return text + (o.quiet ? " q" : "") + (o.verbose ? " v" : "") + (o.yes ? " y" : "");
}

// The parser alone: each spelling of an option and its value, and refusals that name the
// word at fault.
TEST(CliArgumentsTest, ParsesEachFormAndRefusesWithTheReason) {
    const std::string rates =
        "--baud takes one of 1200, 2400, 4800, 9600, 19200, 38400, 43000, 56000, 57600, 115200, "
        "230400, 460800, 921600";
    struct Case {
        std::vector<const char*> args;
        std::string result;  // refused: how the reason starts; accepted: Parsed()
        bool accepted;
    };
    const Case cases[] = {
        {{"erase", "--address", "0x8000000", "--length=0"},
         "--length needs a positive number",
         false},
        {{"program", "f.hex", "--erase=some"}, "--erase takes all or pages", false},
        {{"verify", "f.hex", "--format", "coff"},
         "--format takes auto, hex, srec, elf or binary",
         false},
        {{"info", "--run"}, "--run does not apply to info", false},
        {{"unprotect", "flash"}, "unprotect takes read or write", false},
        {{"go", "--reset", "gpio"}, "--reset takes dtr, rts or none", false},
        {{"info", "--quiet=yes"}, "--quiet takes no value", false},
        {{"verify"}, "verify needs a file", false},
        {{"info", "-x"}, "unknown option -x", false},
        {{"info", "-qx"}, "unknown option -x in -qx", false},
        {{"info", "-q=1"}, "-q takes no value", false},
        {{"info", "-qp"}, "-p needs a value", false},
        {{"ports", "-qv"}, "-v does not apply to ports", false},
        {{"info", "--baud", "123"}, rates, false},
        {{"info", "-b115201"}, rates, false},
        {{"info", "--chip", "f999"}, "--chip takes a chip's name: f103, f030,", false},
        {{"info", "--flash-kib", "0"}, "--flash-kib needs a size in KiB", false},
        {{"erase", "--verify"}, "--verify does not apply to erase", false},
        {{"-p", "/dev/a", "--port=/dev/b", "-b", "9600", "read-out", "-", "--address=0x08001000"},
         "read-out - port=/dev/a port=/dev/b baud=9600 address=0x8001000",
         true},
        {{"-qvy", "unprotect", "read"}, "unprotect read q v y", true},
        {{"-qp", "/dev/a", "info"}, "info port=/dev/a q", true},
        {{"-qp/dev/a", "info"}, "info port=/dev/a q", true},
        {{"-p/dev/a", "-p", "/dev/b", "info"}, "info port=/dev/a port=/dev/b", true},
        {{"-b1200", "-qb", "43000", "info"}, "info baud=43000 q", true},
        {{"--baud=921600", "info"}, "info baud=921600", true},
        {{"read-out", "-", "-a0x08004000", "-l4096"},
         "read-out - address=0x8004000 length=4096",
         true},
        {{"-v", "program", "--", "-p"}, "program -p v", true},
        // Decimal unless 0x: a leading zero is no octal.
        {{"read-out", "-", "-l", "0100"}, "read-out - length=100", true},
        {{"info", "--retries", "010"}, "info retries=10", true},
        {{"read-out", "-", "-l", "0X1F"}, "read-out - length=31", true},
        {{"read-out", "-", "-l", "0x"}, "--length needs a positive number", false},
        {{"read-out", "-", "-l", " 5"}, "--length needs a positive number", false},
        {{"read-out", "-", "-l", "0x-5"}, "--length needs a positive number", false},
        {{"read-out", "-", "-l", "4294967296"}, "--length needs a positive number", false},
        {{"info", "-qh", "--bogus"}, "help", true},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"kestrel-isp"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CliOptions o;
        std::string error;
        const bool ok = ParseCliArguments(static_cast<int>(argv.size()), argv.data(), &o, &error);
        EXPECT_EQ(ok, c.accepted) << ::testing::PrintToString(c.args) << ": " << error;
        if (!ok) {
            EXPECT_EQ(error.rfind(c.result, 0), 0u) << error;
        } else {
            EXPECT_EQ(Parsed(o), c.result) << ::testing::PrintToString(c.args);
        }
    }
    // A parse that failed still answers in JSON when --json was among the options, and keeps
    // it off the standard output that read-out - would have written to.
    const struct {
        std::vector<const char*> args;
        bool json, toStdout;
    } asked[] = {
        {{"--json", "--bogus"}, true, false},
        {{"info", "-x", "--json"}, true, false},
        {{"--jsonx", "info"}, false, false},
        {{"program", "--", "--json"}, false, false},
        {{"-q", "info"}, false, false},
        {{"--json", "read-out", "-", "--bogus"}, true, true},
        {{"read-out", "--bogus", "--", "-"}, false, true},
        {{"--json", "read-out", "flash.bin", "--bogus"}, true, false},
        {{"--json", "program", "-", "--bogus"}, true, false},
        {{"-", "read-out"}, false, false},
    };
    for (const auto& c : asked) {
        std::vector<const char*> argv{"kestrel-isp"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const int argc = static_cast<int>(argv.size());
        EXPECT_EQ(JsonAsked(argc, argv.data()), c.json) << ::testing::PrintToString(c.args);
        EXPECT_EQ(ReadOutToStandardOutput(argc, argv.data()), c.toStdout)
            << ::testing::PrintToString(c.args);
    }
    // A late reply on a busy host costs a retry, not the job.
    const char* plain[] = {"kestrel-isp", "info"};
    CliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliArguments(2, plain, &o, &error)) << error;
    EXPECT_EQ(o.retries, 2);
}

// A file that cannot be programmed is refused with its reason before the port is opened
// (the reasons themselves are the jobs' file-kind table).
TEST_F(CliTest, BadFilesAreRefusedBeforeThePortIsTouched) {
    sim::PtyTarget& target = StartTarget();
    std::ofstream(dir + "/bad.hex") << ":020000040800F2\n:0400000001020304F0\n:00000001FF\n";
    Result bad = RunIsp({"--port", target.SlavePath(), "program", dir + "/bad.hex"}, {configEnv});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.out.empty()) << bad.out;
    EXPECT_NE(bad.err.find(u8"第2行"), std::string::npos) << bad.err;
    // Files of no known kind, standard input too, and ELF for another machine; in English.
    const std::string unknown = dir + "/app.img";
    std::ofstream(unknown) << "hello";
    const std::string notKnown =
        "not Intel HEX, S-record or ELF; to write it as raw bytes, name it .bin or use "
        "--format binary";
    const std::string isp = KESTREL_ISP_PATH;
    const std::string examples = KESTREL_SOURCE_DIR "/examples/blinky/blinky.hex";
    // One line that says why, then the hint where there is one.
    const struct {
        std::vector<std::string> args;
        std::string line;
        std::string hint;
    } refused[] = {
        {{"program", unknown}, unknown + ": " + notKnown, ""},
        {{"verify", "-"}, "-: " + notKnown, ""},
        {{"program", dir + "/none.hex"},
         dir + "/none.hex: no such file",
         "check the path; a relative one starts in the current folder"},
        {{"verify", dir},
         dir + ": a folder, not a file",
         "name the firmware file itself, not its folder"},
        {{"program", isp}, isp + ": ELF for x86-64, not ARM", ""},
        {{"program", "--format", "srec", dir + "/bad.hex"},
         dir + "/bad.hex: the file is Intel HEX, not S-record",
         "leave out --format to have the file judged by its content"},
        {{"verify", examples, "-a", "0x08001000"},
         examples + ": --address places raw binary; an Intel HEX file gives its own addresses",
         ""},
        {{"read-out", "/dev/null"},
         "/dev/null: cannot write the read-out there: it is a device",
         "to write the bytes to standard output, give - as the file"},
        {{"read-out", dir + "/none/flash.bin"},
         dir + "/none/flash.bin: cannot write the read-out there: its folder does not exist",
         "create the folder first: mkdir -p " + dir + "/none"},
        {{"read-out", dir},
         dir + ": cannot write the read-out there: it is a folder",
         "name a file inside it, such as " + dir + "/flash.bin"},
    };
    for (const auto& r : refused) {
        std::vector<std::string> args = {"--port", target.SlavePath()};
        args.insert(args.end(), r.args.begin(), r.args.end());
        Result run = RunIsp(args, {configEnv, "LC_ALL=C.UTF-8"}, unknown);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "kestrel-isp: " + r.line + "\n" +
                               (r.hint.empty() ? "" : "kestrel-isp: hint: " + r.hint + "\n"));
    }
    Result r = RunIsp({"--port", target.SlavePath(), "unprotect", "read"}, {configEnv});
    EXPECT_EQ(r.status, 2) << "erasing the chip needs --yes";
    EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;
    EXPECT_TRUE(target.HostBytes().empty());
}

// Standard input becomes raw binary only when asked for.
TEST_F(CliTest, StandardInputAsBinaryWhenAsked) {
    sim::PtyTarget& target = StartTarget();
    const std::string input = dir + "/input";
    std::ofstream(input) << "hello";
    Result r = RunIsp({"--port", target.SlavePath(), "program", "-", "--format=binary"},
                      {configEnv}, input);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<uint8_t> flash = target.Flash();
    EXPECT_EQ(std::string(flash.begin(), flash.begin() + 6), "hello\xFF");
}

// A file that is a pipe (a shell's <(...), /dev/stdin) is read once, as - is: from a copy,
// removed afterwards. Here standard input is a pipe, named as /dev/stdin.
TEST_F(CliTest, PipedFilesAreReadAsStandardInputIs) {
    sim::PtyTarget& target = StartTarget();
    const std::vector<uint8_t> elf = testelf::File({{1, 0x08000000, 0x08000000, {5, 6, 7, 8}, 0}});
    const struct {
        const char* name;
        std::string contents;
        std::vector<uint8_t> flash;
    } files[] = {
        {"Hex", ":020000040800F2\n:0400000001020304F2\n:00000001FF\n", {1, 2, 3, 4}},
        {"Elf", std::string(elf.begin(), elf.end()), {5, 6, 7, 8}},
    };
    const std::string temporary = dir + "/tmp";
    ASSERT_EQ(::mkdir(temporary.c_str(), 0700), 0);
    for (const auto& f : files) {
        // Written whole and closed before the run: the pipe holds far more than the file.
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        ASSERT_EQ(::write(ends[1], f.contents.data(), f.contents.size()),
                  static_cast<ssize_t>(f.contents.size()));
        ::close(ends[1]);
        Result r = RunIsp({"--port", target.SlavePath(), "program", "/dev/stdin"},
                          {configEnv, "TMPDIR=" + temporary}, "/dev/fd/" + std::to_string(ends[0]));
        ::close(ends[0]);
        EXPECT_EQ(r.status, 0) << f.name << ": " << r.err;
        const std::vector<uint8_t> flash = target.Flash();
        EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + 4), f.flash) << f.name;
        const std::vector<std::string> left = FilesIn(temporary);
        EXPECT_TRUE(left.empty()) << f.name << ": " << left.front();
    }
}

TEST_F(CliTest, FailedReadOutKeepsTheOldFileAndWhatWasRead) {
    sim::PtyTarget& target = StartTarget({"nack:read@0x08000400"});
    const std::string out = dir + "/flash.bin";
    std::ofstream(out) << "old";
    Result r = RunIsp({"--port", target.SlavePath(), "read-out", out}, {configEnv});
    EXPECT_EQ(r.status, 1);
    std::ifstream old(out, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(old)), {}), "old");
    std::ifstream partial(out + ".partial", std::ios::binary);
    const std::string held((std::istreambuf_iterator<char>(partial)), {});
    EXPECT_EQ(held.size(), 1024u) << r.out;
}

TEST_F(CliTest, ReadOutToStandardOutputKeepsTheLogOffIt) {
    sim::PtyTarget& target = StartTarget();
    Result r =
        RunIsp({"--port", target.SlavePath(), "read-out", "-", "--length=0x800"}, {configEnv});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> flash = target.Flash();
    EXPECT_EQ(r.out, std::string(flash.begin(), flash.begin() + 0x800));
    EXPECT_NE(r.err.find(u8"读取FLASH操作成功"), std::string::npos) << r.err;
}

// Several boards' output: every line before the table one board's whole log line (its
// prefix, ">>", and nothing of another line inside), then the header and a row per port in
// their order, matching rows (chip and result, as patterns).
void ExpectBoardsOutput(const std::string& out, const std::vector<std::string>& ports,
                        const std::vector<std::string>& rows) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GT(lines.size(), ports.size() + 1) << out;
    size_t width = 4;
    std::string names;
    for (const std::string& port : ports) {
        width = std::max(width, port.size());
        names += (names.empty() ? "" : "|") + port;
    }
    const auto padded = [&](const std::string& s) {
        return s + std::string(width + 2 - s.size(), ' ');
    };
    const size_t table = lines.size() - ports.size();
    EXPECT_TRUE(
        std::regex_match(lines[table - 1], std::regex(padded("port") + "chip +result    time")))
        << out;
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[table + i],
                                     std::regex(padded(ports[i]) + rows[i] + " +[0-9]+\\.[0-9] s")))
            << lines[table + i];
    }
    const std::regex whole("\\[(" + names + ")\\] >>((?!\\] >>).)*");
    for (size_t i = 0; i + 1 < table; ++i)
        EXPECT_TRUE(std::regex_match(lines[i], whole)) << lines[i];
}

// Each board on its own thread: the table says how each ended, and the status is a failure
// when any board failed.
TEST_F(CliTest, TwoBoardsAtOnceOneFailing) {
    sim::PtyTarget& good = StartTarget();
    sim::PtyTarget& bad = StartTarget({"nack:write"});
    std::string hex = WriteLargeHex(4096);
    Result r =
        RunIsp({"program", hex, "-qp" + good.SlavePath(), "-p", bad.SlavePath()}, {configEnv});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("[" + good.SlavePath() + u8"] >>FLASH校验成功"), std::string::npos)
        << r.out;
    ExpectBoardsOutput(r.out, {good.SlavePath(), bad.SlavePath()},
                       {"STM32F10x medium density  ok", "STM32F10x medium density  failed"});
    EXPECT_EQ(good.Flash()[0xFFF], 0x0F);
}

// --json with several boards: every object carries its board's port first, each board has
// its result, and the summary object comes last.
TEST_F(CliTest, TwoBoardsAsJson) {
    sim::PtyTarget& good = StartTarget();
    sim::PtyTarget& bad = StartTarget({"nack:write"});
    std::string hex = WriteLargeHex(4096);
    Result r = RunIsp({"--json", "program", hex, "-p", good.SlavePath(), "-p", bad.SlavePath()},
                      {configEnv});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::string check =
        "*boards,summary=events\n"
        "good,bad=sys.argv[2:4]\n"
        "assert all(list(e)[0]==\"port\" and e[\"port\"] in (good,bad) for e in boards)\n"
        "results=[(e[\"port\"],e[\"ok\"],e[\"exit\"]) for e in boards if "
        "e[\"event\"]==\"result\"]\n"
        "assert sorted(results)==sorted([(good,True,0),(bad,False,1)]), results\n"
        "got=[(b[\"port\"],b[\"chip\"],b[\"ok\"]) for b in summary[\"boards\"]]\n"
        "chip=\"STM32F10x medium density\"\n"
        "assert got==[(good,chip,True),(bad,chip,False)], summary";
    EXPECT_EQ(CheckJsonStream(r.out, check, {good.SlavePath(), bad.SlavePath()}), 0) << r.out;
}

// Ctrl-C stops every board: the summary shows them stopped, then comes the one interrupt
// line, and the status is the interrupt's.
TEST_F(CliTest, SigintStopsEveryBoardAndStillPrintsTheSummary) {
    sim::PtyTarget& first = StartPacedTarget();
    sim::PtyTarget& second = StartPacedTarget();
    // 48 KiB at 115200 baud: seconds of writing left when the second board begins.
    std::string hex = WriteLargeHex(48 * 1024);
    const std::vector<std::string> ports = {first.SlavePath(), second.SlavePath()};
    Running run = StartIsp({"program", hex, "-p", ports[0], "-p", ports[1]}, {configEnv});
    const auto writing = [&](const std::string& port) {
        return OutputSoFar(run).find(BoardLinePrefix(port) + u8">>开始写入FLASH") !=
               std::string::npos;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(writing(ports[0]) && writing(ports[1])) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(run.pid, SIGINT);
    Result r = Finish(run);
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    ExpectBoardsOutput(r.out, ports, {".*  stopped", ".*  stopped"});
    EXPECT_EQ(r.err, "kestrel-isp: interrupted; the flash may be partly written\n");
    for (sim::PtyTarget* target : {&first, &second}) {
        EXPECT_NE(target->Flash()[0xBFFF], 0x0F) << "the job was cut short, not finished";
    }
}

// --json: every line of standard output is one JSON object a parser accepts, with the
// stages, the chip and the result.
TEST_F(CliTest, JsonStreamParsesLineByLine) {
    sim::PtyTarget& target = StartTarget({"nack:write@0x08000100"});
    std::string hex = WriteLargeHex(1024);
    Result r = RunIsp({"--json", "--port", target.SlavePath(), "program", hex}, {configEnv});
    EXPECT_EQ(r.status, 1);
    const std::string check =
        "kinds=[e[\"event\"] for e in events]\n"
        "err=[e for e in events if e[\"event\"]==\"error\"][0]\n"
        "assert kinds[-1]==\"result\" and not events[-1][\"ok\"], kinds\n"
        "assert \"chip\" in kinds and \"stage\" in kinds, kinds\n"
        "assert err[\"address\"]==\"0x08000100\", err";
    EXPECT_EQ(CheckJsonStream(r.out, check), 0) << r.out;
}

// Each {NAME} in text replaced by its value.
std::string Filled(std::string text,
                   const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& value : values) {
        const std::string key = "{" + value.first + "}";
        for (size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value.second);
    }
    return text;
}

// The lines of text, each without its end.
std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A failure is one line that says what went wrong (on standard error unless the log said
// it), then one that says what to do about it. {PORT}: the target's port, {DIR}: the test's
// folder; in English (C.UTF-8).
const char kNoPorts[] = "kestrel-isp: no serial port found";
const char kPlugIn[] =
    "kestrel-isp: hint: plug the USB-serial adapter in, or name its device with --port "
    "(kestrel-isp ports lists the ports found)";
// clang-format off
const struct HintCase {
    const char* name;
    std::vector<std::string> faults, args, env;
    int status;
    std::vector<std::string> err;  // standard error's lines, whole
} kHintCases[] = {
    {"SilentPort", {"silent"}, {"--reset", "none", "-p", "{PORT}", "info"}, {}, 1,
     {"kestrel-isp: hint: check that BOOT0 is high (or the boot option bytes select the "
      "bootloader) when the chip leaves reset, that the adapter's TX goes to the chip's RX and RX "
      "to TX, that the grounds are joined, that the bootloader takes the rate (try --baud 57600), "
      "and that nothing else holds the port"}},
    {"NoPorts", {}, {"program", "{DIR}/image.hex"}, {"KESTREL_PORTS="}, 1, {kNoPorts, kPlugIn}},
    {"NoPortsListed", {}, {"ports"}, {"KESTREL_PORTS="}, 0, {kNoPorts, kPlugIn}},
    {"WriteRefused", {"nack:write@0x08000100"}, {"-p", "{PORT}", "program", "{DIR}/image.hex"},
     {}, 1,
     {"kestrel-isp: hint: the bootloader refuses to write or erase write-protected flash, and to "
      "read while read-out protection is on: kestrel-isp info shows the protection, unprotect "
      "write or unprotect read --yes lifts it"}},
};
// clang-format on

class CliHintTest : public CliTest, public ::testing::WithParamInterface<HintCase> {};

TEST_P(CliHintTest, FailureLineThenHint) {
    const HintCase& c = GetParam();
    sim::PtyTarget& target = StartTarget(c.faults);
    WriteLargeHex(1024);
    const std::vector<std::pair<std::string, std::string>> values = {{"PORT", target.SlavePath()},
                                                                     {"DIR", dir}};
    std::vector<std::string> args, env = {configEnv, "LC_ALL=C.UTF-8"};
    for (const std::string& arg : c.args) args.push_back(Filled(arg, values));
    env.insert(env.end(), c.env.begin(), c.env.end());
    Result r = RunIsp(args, env);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_EQ(LinesOf(r.err), c.err) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Endings, CliHintTest, ::testing::ValuesIn(kHintCases), kCaseName);

// Every job that connects names the chip and its flash in one line; the bootloader's
// command list only with --verbose.
TEST_F(CliTest, ChipLineAfterConnectingAndTheCommandListWhenVerbose) {
    sim::PtyTarget& target = StartTarget();
    const std::string hex = WriteLargeHex(1500);
    const std::string chip =
        u8">>芯片：STM32F10x medium density，FLASH 64 KiB，64 pages of 1 KiB\n";
    const std::string list = u8">>Bootloader操作指令：00 01 02 11 21 31 43 63 73 82 92 \n";
    Result r = RunIsp({"-p", target.SlavePath(), "program", hex}, {configEnv});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(u8">>Bootloader版本：V2.2\n" + chip +
                         u8">>读取下载文件到内存：1500字节，占2页（每页1 KiB）\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(list), std::string::npos) << r.out;
    Result verbose = RunIsp({"-v", "-p", target.SlavePath(), "go"}, {configEnv});
    EXPECT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_NE(verbose.out.find(list + chip), std::string::npos) << verbose.out;
    EXPECT_NE(verbose.err.find("kestrel-isp: > 7F\n"), std::string::npos) << verbose.err;
}

// Each command's JSON stream, checked against the schema in docs/ and for its ending: every
// line one valid object, the result last, an error object before it when the run failed.
// {PORT}, {DIR}, {HEX} are filled in; --json is added.
// clang-format off
const struct JsonCase {
    const char* name;
    std::vector<std::string> faults, args, env;
    bool toStderr;        // read-out -: the objects on standard error
    const char* command;  // "-": none parsed
    int status;
    const char* events;   // each must come
    bool hint;            // the error carries a hint
    const char* path;     // named in path_hex; "" for none
} kJsonCases[] = {
    {"Info", {}, {"-p", "{PORT}", "info"}, {}, false, "info", 0, "stage,log,chip", false, ""},
    {"Program", {}, {"-p", "{PORT}", "program", "{HEX}", "--run"}, {}, false, "program", 0,
     "stage,progress,chip,log", false, ""},
    // The flash is erased, not the file.
    {"VerifyDiffers", {}, {"-p", "{PORT}", "verify", "{HEX}"}, {}, false, "verify", 1,
     "error,progress", false, ""},
    {"ReadOutToAFile", {}, {"-p", "{PORT}", "read-out", "{DIR}/f.bin", "-l", "0x800"}, {}, false,
     "read-out", 0, "saved,progress", false, "{DIR}/f.bin"},
    {"ReadOutToAPathNotUtf8", {}, {"-p", "{PORT}", "read-out", "{DIR}/\xFF\xFE.bin", "-l", "256"},
     {}, false, "read-out", 0, "saved", false, "{DIR}/\xFF\xFE.bin"},
    {"ReadOutToStandardOutput", {}, {"-p", "{PORT}", "read-out", "-", "-l", "0x800"}, {}, true,
     "read-out", 0, "progress,log", false, ""},
    {"EraseRange", {}, {"-p", "{PORT}", "erase", "-a", "0x08000400", "-l", "2048"}, {}, false,
     "erase", 0, "progress", false, ""},
    {"GoTraced", {}, {"-v", "-p", "{PORT}", "go"}, {}, false, "go", 0, "trace", false, ""},
    {"Ports", {}, {"ports"}, {"KESTREL_PORTS=/dev/ttyUSB1:/dev/ttyUSB0"}, false, "ports", 0,
     "port", false, ""},
    {"UsageError", {}, {"--bogus", "info"}, {}, false, "-", 2, "error", false, ""},
    {"UsageErrorOfReadOutToStandardOutput", {}, {"read-out", "-", "--bogus"}, {}, true, "-", 2,
     "error", false, ""},
    {"UsageErrorAfterParsing", {}, {"-p", "{PORT}", "unprotect", "read"}, {}, false, "unprotect",
     2, "error", false, ""},
    {"RefusedFile", {}, {"-p", "{PORT}", "program", "{DIR}/\xC0none.hex"}, {}, false, "program",
     1, "error", true, "{DIR}/\xC0none.hex"},
    {"RefusedTarget", {}, {"-p", "{PORT}", "read-out", "{DIR}/none/x.bin"}, {}, false,
     "read-out", 1, "error", true, "{DIR}/none/x.bin"},
    {"PortThatDoesNotOpen", {}, {"-p", "/dev/kestrel-none", "info"}, {}, false, "info", 1,
     "warning,error", true, ""},
    {"NoBootloader", {"silent"}, {"--reset", "none", "-p", "{PORT}", "info"}, {}, false, "info",
     1, "error", true, ""},
    {"NoPortFound", {}, {"info"}, {"KESTREL_PORTS="}, false, "info", 1, "error", true, ""},
};
// clang-format on

class CliJsonTest : public CliTest, public ::testing::WithParamInterface<JsonCase> {};

TEST_P(CliJsonTest, StreamFitsTheSchemaAndEndsWithItsResult) {
    const JsonCase& c = GetParam();
    sim::PtyTarget& target = StartTarget(c.faults);
    const std::string hex = WriteLargeHex(2000);
    const std::vector<std::pair<std::string, std::string>> values = {
        {"PORT", target.SlavePath()}, {"DIR", dir}, {"HEX", hex}};
    std::vector<std::string> args = {"--json"}, env = {configEnv, "LC_ALL=C.UTF-8"};
    // No reset pulse on a pseudo-terminal (its close is the reset): its waits only cost time.
    if (c.command != std::string("ports")) args.insert(args.end(), {"--reset", "none"});
    for (const std::string& arg : c.args) args.push_back(Filled(arg, values));
    env.insert(env.end(), c.env.begin(), c.env.end());
    Result r = RunIsp(args, env);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    const std::string file = dir + "/stream.json";
    std::ofstream(file, std::ios::binary) << (c.toStderr ? r.err : r.out);
    std::string check = "python3 " KESTREL_SOURCE_DIR "/tests/cli/check-json.py " KESTREL_SOURCE_DIR
                        "/docs/kestrel-isp.schema.json " +
                        file + " --command " + c.command + " --exit " + std::to_string(c.status) +
                        " --events '" + c.events + "'" + (c.hint ? " --hint" : "");
    if (*c.path) check += " --path '" + Filled(c.path, values) + "'";
    EXPECT_EQ(std::system(check.c_str()), 0) << r.out << r.err;
    // Nothing but the objects; read-out -'s bytes on the other stream.
    const std::vector<uint8_t> flash = target.Flash();
    const bool bytesRead = c.toStderr && c.status == 0;
    EXPECT_EQ(c.toStderr ? r.out : r.err,
              bytesRead ? std::string(flash.begin(), flash.begin() + 0x800) : "");
}

INSTANTIATE_TEST_SUITE_P(Commands, CliJsonTest, ::testing::ValuesIn(kJsonCases), kCaseName);

// English unless the locale or --lang asks for Chinese; the same line in either.
TEST_F(CliTest, LogSpeaksEnglishUnlessChineseIsAskedFor) {
    EXPECT_TRUE(WantsChinese("", "zh_CN.UTF-8", nullptr, "C"));
    EXPECT_FALSE(WantsChinese("", "", "C", "zh_TW.UTF-8")) << "LC_MESSAGES before LANG";
    EXPECT_TRUE(WantsChinese("", nullptr, nullptr, "zh_TW.UTF-8"));
    EXPECT_FALSE(WantsChinese("en", "zh_CN.UTF-8", nullptr, nullptr));
    EXPECT_TRUE(WantsChinese("zh", "C", nullptr, nullptr));
    sim::PtyTarget& target = StartTarget();
    Result en = RunIsp({"--port", target.SlavePath(), "info"}, {configEnv, "LC_ALL=C.UTF-8"});
    EXPECT_EQ(en.status, 0) << en.err;
    EXPECT_EQ(en.out.rfind(">>Port " + target.SlavePath() + " opened\n", 0), 0u) << en.out;
    EXPECT_NE(en.out.find(">>Bootloader version: V2.2\n"), std::string::npos) << en.out;
    Result zh =
        RunIsp({"--lang=zh", "--port", target.SlavePath(), "info"}, {configEnv, "LC_ALL=C.UTF-8"});
    EXPECT_NE(zh.out.find(u8">>Bootloader版本：V2.2\n"), std::string::npos) << zh.out;
}

TEST_F(CliTest, PortsListsTheGivenPortsSorted) {
    Result r = RunIsp({"ports"}, {"KESTREL_PORTS=/dev/ttyUSB1:/dev/ttyACM0:/dev/ttyUSB10"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/dev/ttyACM0\n/dev/ttyUSB1\n/dev/ttyUSB10\n");
}

// Every chip the simulator can be: info names it, a page-mode program lands where the file
// says and nowhere else, and the read-out covers its whole flash (gaps between banks erased).
class CliChipTest : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(CliChipTest, InfoProgramAndReadOut) {
    const chips::Chip& chip = *chips::FindChipByKey(GetParam());
    sim::TargetConfig config;
    config.SetChip(chip);
    // The smallest size each bank can be cut to, to keep the read-out short.
    for (uint32_t kib = 64; kib < config.flashKiB; kib *= 2) {
        if (!chips::FlashUnits(chip, kib).empty()) {
            config.flashKiB = kib;
            break;
        }
    }
    config.initialFlash.assign(config.flashKiB * 1024u, 0x00);
    sim::PtyTarget& target = StartTarget(config);
    const std::vector<chips::EraseUnit> units = chips::FlashUnits(chip, config.flashKiB);
    // A pseudo-terminal has no modem lines: the host's close is the reset, and the pulse's
    // waits would only slow the table down.
    const std::vector<std::string> port = {"--reset", "none", "--port", target.SlavePath()};
    const auto on = [&](std::vector<std::string> args) {
        args.insert(args.begin(), port.begin(), port.end());
        return args;
    };

    Result info = RunIsp(on({"info"}), {configEnv});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find(std::string(u8"芯片：") + chip.name), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(u8"FLASH：" + std::to_string(config.flashKiB) + "KB"),
              std::string::npos)
        << info.out;

    // 100 bytes in the last unit, which lies in bank 2 on a two-bank chip.
    const chips::EraseUnit& last = units.back();
    const uint32_t at = last.address - chip.flashBase + 8;
    std::vector<uint8_t> bytes(100);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 3 + 1);
    Result program =
        RunIsp(on({"program", WriteHex(testhex::IntelHex(bytes, at, "\n")), "--erase", "pages"}),
               {configEnv});
    EXPECT_EQ(program.status, 0) << program.out << program.err;
    const std::vector<uint8_t> flash = target.Flash();
    const uint32_t lastOffset = static_cast<uint32_t>(flash.size()) - last.size;
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + lastOffset + 8,
                                   flash.begin() + lastOffset + 8 + bytes.size()),
              bytes);
    EXPECT_EQ(flash[lastOffset], 0xFF) << "the unit written was erased";
    if (lastOffset > 0) {
        EXPECT_EQ(flash[lastOffset - 1], 0x00) << "the unit before it was left alone";
    }

    std::string out = dir + "/flash.bin";
    Result read = RunIsp(on({"read-out", out}), {configEnv});
    EXPECT_EQ(read.status, 0) << read.out << read.err;
    std::ifstream in(out, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(got.size(), last.address + last.size - chip.flashBase);
    EXPECT_EQ(got.substr(got.size() - last.size + 8, bytes.size()),
              std::string(bytes.begin(), bytes.end()));
}

std::vector<std::string> ChipKeys() {
    std::vector<std::string> keys;
    for (const chips::Chip& chip : chips::AllChips()) keys.push_back(chip.key);
    return keys;
}

INSTANTIATE_TEST_SUITE_P(Chips, CliChipTest, ::testing::ValuesIn(ChipKeys()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

}  // namespace
