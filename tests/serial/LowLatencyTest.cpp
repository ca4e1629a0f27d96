// The adapter's latency lowered for an open period and put back: the helper against a
// stand-in driver, then the real backend on a pseudo-terminal reached through a link; the
// latency timer in a fake sysfs tree (KESTREL_SYSFS).
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LowLatency.h"
#include "PtyPeer.h"
#include "SerialPort.h"

namespace {

namespace fs = std::filesystem;
using testsupport::PtyPeer;

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    in >> text;
    return text;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text << "\n";
}

// A sysfs tree of latency timers in a temporary folder, named by KESTREL_SYSFS while it lives.
class FakeSysfs {
public:
    FakeSysfs() {
        char dir[] = "/tmp/kestrel-sysfs-XXXXXX";
        if (mkdtemp(dir) != nullptr) m_root = dir;
        setenv("KESTREL_SYSFS", (m_root + "/sys").c_str(), 1);
    }
    ~FakeSysfs() {
        unsetenv("KESTREL_SYSFS");
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    std::string Sys() const { return m_root + "/sys"; }
    std::string Dir() const { return m_root; }
    // The timer file of the tty named name, holding text (no file when text is null).
    std::string Timer(const std::string& name, const char* text) {
        const std::string dir = Sys() + "/bus/usb-serial/devices/" + name;
        fs::create_directories(dir);
        if (text != nullptr) WriteText(dir + "/latency_timer", text);
        return dir + "/latency_timer";
    }

private:
    std::string m_root;
};

// The name sysfs knows a pseudo-terminal by: the last part of its resolved path.
std::string TtyName(const std::string& path) {
    char resolved[PATH_MAX];
    const std::string device = realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    return device.substr(device.rfind('/') + 1);
}

// A driver with serial flags, which records each change and the timer file at that moment.
class FakeDriver final : public ISerialFlags {
public:
    bool hasFlags = true;
    bool refusesSet = false;
    int flags = 0;
    std::string timerFile;
    struct Change {
        int flags;
        std::string timer;  // the timer file's text when the flags were set
    };
    std::vector<Change> changes;

    bool Get(int, int* out) override {
        if (!hasFlags) return false;
        *out = flags;
        return true;
    }
    bool Set(int, int wanted) override {
        changes.push_back({wanted, ReadText(timerFile)});
        if (refusesSet) return false;
        flags = wanted;
        return true;
    }
};

constexpr int kOtherFlag = ASYNC_SKIP_TEST;  // any flag of the driver's own, left alone
constexpr int kLow = ASYNC_LOW_LATENCY;
// A path that does not resolve: its last part is the name.
const char kUnresolvedPort[] = "/kestrel-no-such-dir/ttyUSB0";

// --- the helper: the driver's low-latency flag ---

struct FlagCase {
    const char* name;
    bool hasFlags;
    bool refusesSet;
    int found;
    int whileOpen;
    int afterwards;
    int changes;
};

const FlagCase kFlagCases[] = {
    {"FlagOff", true, false, kOtherFlag, kOtherFlag | kLow, kOtherFlag, 2},
    {"FlagAlreadyOn", true, false, kLow, kLow, kLow, 0},
    {"NoFlagsLikeAPseudoTerminal", false, false, 0, 0, 0, 0},
    {"DriverRefuses", true, true, kOtherFlag, kOtherFlag, kOtherFlag, 1},
};

TEST(LowLatencyHelper, FlagIsSetWhereOffAndPutBackBeforeTheTimer) {
    for (const FlagCase& c : kFlagCases) {
        FakeSysfs sysfs;
        FakeDriver driver;
        driver.hasFlags = c.hasFlags;
        driver.refusesSet = c.refusesSet;
        driver.flags = c.found;
        driver.timerFile = sysfs.Timer("ttyUSB0", "16");
        CLowLatency latency(driver);

        latency.Lower(-1, kUnresolvedPort, sysfs.Sys());
        EXPECT_EQ(driver.flags, c.whileOpen) << c.name;
        EXPECT_EQ(ReadText(driver.timerFile), "1") << c.name << ": the timer goes its own way";
        latency.Restore(-1);
        EXPECT_EQ(driver.flags, c.afterwards) << c.name;
        EXPECT_EQ(ReadText(driver.timerFile), "16") << c.name;
        ASSERT_EQ(static_cast<int>(driver.changes.size()), c.changes) << c.name;
        if (c.changes == 2) {
            // On before the timer was lowered, off again before it was put back.
            EXPECT_EQ(driver.changes[0].timer, "16") << c.name;
            EXPECT_EQ(driver.changes[1].timer, "1") << c.name;
        }
    }
}

// --- the helper: the latency timer ---

struct TimerCase {
    const char* name;
    const char* found;  // null: no file
    LatencyTimerNote::Kind kind;
    int foundMs;
    const char* whileOpen;  // the file's text
};

const TimerCase kTimerCases[] = {
    {"FtdiDefault", "16", LatencyTimerNote::Lowered, 16, "1"},
    {"Two", "2", LatencyTimerNote::Lowered, 2, "1"},
    {"AlreadyOne", "1", LatencyTimerNote::Untouched, 0, "1"},
    {"NotANumber", "x", LatencyTimerNote::Untouched, 0, "x"},
    {"NoTimer", nullptr, LatencyTimerNote::Untouched, 0, ""},
};

TEST(LowLatencyHelper, TimerAboveOneMsIsLoweredAndPutBack) {
    for (const TimerCase& c : kTimerCases) {
        FakeSysfs sysfs;
        FakeDriver driver;
        const std::string timer = sysfs.Timer("ttyUSB0", c.found);
        driver.timerFile = timer;
        CLowLatency latency(driver);

        latency.Lower(-1, kUnresolvedPort, sysfs.Sys());
        const LatencyTimerNote note = latency.Note();
        EXPECT_EQ(note.kind, c.kind) << c.name;
        EXPECT_EQ(note.foundMs, c.foundMs) << c.name;
        EXPECT_EQ(note.error, 0) << c.name;
        EXPECT_EQ(note.port, kUnresolvedPort) << c.name;
        EXPECT_EQ(ReadText(timer), c.whileOpen) << c.name;

        latency.Restore(-1);
        EXPECT_EQ(ReadText(timer), c.found != nullptr ? c.found : "") << c.name;
    }
}

// --- the real backend ---

// How an open period can end; each must put the timer back.
struct Ending {
    const char* name;
    void (*end)(std::unique_ptr<CSerialPort>& port, PtyPeer& peer, const std::string& path);
};

bool WaitClosed(const CSerialPort& port) {
    for (int i = 0; i < 400 && port.IsOpen(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !port.IsOpen();
}

const Ending kEndings[] = {
    {"Close",
     [](std::unique_ptr<CSerialPort>& port, PtyPeer&, const std::string&) { port->Close(); }},
    {"PortDestroyed",
     [](std::unique_ptr<CSerialPort>& port, PtyPeer&, const std::string&) { port.reset(); }},
    {"OpenedAgainThenClosed",
     [](std::unique_ptr<CSerialPort>& port, PtyPeer&, const std::string& path) {
         EXPECT_EQ(port->Open(path, 115200, 2, 8, 0), OpenOk);
         EXPECT_EQ(port->LatencyTimer().kind, LatencyTimerNote::Lowered) << "found put back";
         port->Close();
     }},
    {"DeviceGone",
     [](std::unique_ptr<CSerialPort>& port, PtyPeer& peer, const std::string&) {
         peer.Unplug();
         EXPECT_TRUE(WaitClosed(*port));
     }},
};

TEST(LowLatencyPort, TimerIsLoweredWhileOpenAndPutBackByEveryEnding) {
    for (const Ending& ending : kEndings) {
        FakeSysfs sysfs;
        PtyPeer peer;
        ASSERT_TRUE(peer.Open());
        const std::string timer = sysfs.Timer(TtyName(peer.SlavePath()), "16");
        const std::string byId = sysfs.Dir() + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
        ASSERT_EQ(symlink(peer.SlavePath().c_str(), byId.c_str()), 0);

        auto port = std::make_unique<CSerialPort>();
        ASSERT_EQ(port->Open(byId, 115200, 2, 8, 0), OpenOk) << ending.name;
        const LatencyTimerNote note = port->LatencyTimer();
        EXPECT_EQ(note.kind, LatencyTimerNote::Lowered) << ending.name;
        EXPECT_EQ(note.foundMs, 16) << ending.name;
        EXPECT_EQ(note.port, byId) << ending.name;
        EXPECT_EQ(ReadText(timer), "1") << ending.name;

        ending.end(port, peer, byId);
        EXPECT_EQ(ReadText(timer), "16") << ending.name;
    }
}

// Exit codes of the child below.
enum UnwritableOutcome {
    UnwritableAsExpected = 0,
    UnwritableNoUser = 1,
    UnwritableNoPty = 2,
    UnwritableOpenFailed = 3,
    UnwritableWrongNote = 4,
    UnwritableFileChanged = 5,
};

// Mode bits do not stop root, so a root test drops to nobody first; as anyone else the
// read-only bits are what refuses the write.
int OpenWithReadOnlyTimerAsUser() {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return UnwritableNoUser;
    FakeSysfs sysfs;  // created by the user it runs as
    PtyPeer peer;
    if (!peer.Open()) return UnwritableNoPty;
    const std::string timer = sysfs.Timer(TtyName(peer.SlavePath()), "16");
    chmod(timer.c_str(), 0444);
    CSerialPort port;
    if (port.Open(peer.SlavePath(), 115200, 2, 8, 0) != OpenOk || !port.IsOpen()) {
        return UnwritableOpenFailed;
    }
    const LatencyTimerNote note = port.LatencyTimer();
    if (note.kind != LatencyTimerNote::NotLowered || note.error != EACCES || note.foundMs != 16 ||
        note.port != peer.SlavePath()) {
        return UnwritableWrongNote;
    }
    port.Close();
    return ReadText(timer) == "16" ? UnwritableAsExpected : UnwritableFileChanged;
}

TEST(LowLatencyPort, TimerThatCannotBeWrittenLeavesThePortOpenAndSaysWhy) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(OpenWithReadOnlyTimerAsUser());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), UnwritableAsExpected);
}

}  // namespace
