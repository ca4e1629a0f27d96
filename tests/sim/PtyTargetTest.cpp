// The simulator served on a real pseudo-terminal: raw line, resets on close, removal,
// the wire record and pacing.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "HostLine.h"
#include "LatencyFile.h"
#include "PtyTarget.h"
#include "TargetRig.h"

namespace {

using namespace simtest;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kAck = 0x79;
const Bytes kGetReply = {kAck, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21,
                         0x31, 0x43, 0x63, 0x73, 0x82, 0x92, kAck};

// Waits up to two seconds for a condition the serving thread brings about.
template <typename F>
bool Eventually(F condition) {
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

struct Served {
    explicit Served(sim::TargetConfig config = {}) : target(std::move(config)) {
        std::string error;
        started = target.Start(&error);
        EXPECT_TRUE(started) << error;
    }
    sim::PtyTarget target;
    bool started = false;
};

TEST(PtyTarget, SlavePathIsAPseudoTerminal) {
    Served s;
    EXPECT_EQ(s.target.SlavePath().rfind("/dev/pts/", 0), 0u) << s.target.SlavePath();
}

TEST(PtyTarget, SyncAndGetOverTheLine) {
    Served s;
    HostLine host(s.target.SlavePath());
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
    EXPECT_EQ(host.Ask({0x00, 0xFF}, 15), kGetReply);
}

TEST(PtyTarget, HostBytesAndTargetBytesRecordTheWireExactly) {
    Served s;
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Ask({0x02, 0xFD}, 5);
    EXPECT_EQ(s.target.HostBytes(), (Bytes{0x7F, 0x02, 0xFD}));
    EXPECT_EQ(s.target.TargetBytes(), (Bytes{kAck, kAck, 0x01, 0x04, 0x10, kAck}));
    const auto log = s.target.WireLog();
    ASSERT_EQ(log.size(), 9u);
    EXPECT_TRUE(log[0].fromHost);
    EXPECT_FALSE(log[1].fromHost);
    EXPECT_LE(log[0].usec, log[1].usec);
    EXPECT_EQ(s.target.TakeWireLog().size(), 9u);
    EXPECT_TRUE(s.target.WireLog().empty());
    // A command code now: nothing comes until its complement does.
    EXPECT_TRUE(host.Ask({0x7F}, 1, 100).empty());
    host.Ask({0x00}, 1);
    EXPECT_EQ(s.target.HostBytes(), (Bytes{0x7F, 0x00}));
    s.target.ClearLog();
    EXPECT_TRUE(s.target.HostBytes().empty());
    EXPECT_TRUE(s.target.WireLog().empty());
}

TEST(PtyTarget, LineIsRawForHostThatDoesNotConfigureIt) {
    // Line-editing and newline bytes must pass untouched both ways.
    const Bytes awkward = {0x0A, 0x0D, 0x03, 0x04, 0x7F, 0x11, 0x13, 0x1A};
    sim::TargetConfig c = WithFlash(awkward);
    Served s(c);
    HostLine host(s.target.SlavePath(), /*raw=*/false);
    EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
    EXPECT_EQ(host.Ask({0x11, 0xEE}, 1), Bytes{kAck});
    EXPECT_EQ(host.Ask(Addr(0x08000000), 1), Bytes{kAck});
    Bytes expected = {kAck};
    expected.insert(expected.end(), awkward.begin(), awkward.end());
    EXPECT_EQ(host.Ask({0x07, 0xF8}, 9), expected);
    // Write the awkward bytes back: the target must receive them as sent (no CR/LF mapping).
    Bytes block = {0x07};
    block.insert(block.end(), awkward.begin(), awkward.end());
    EXPECT_EQ(host.Ask({0x31, 0xCE}, 1), Bytes{kAck});
    EXPECT_EQ(host.Ask(Addr(0x08000100), 1), Bytes{kAck});
    EXPECT_EQ(host.Ask(WithXor(block), 1), Bytes{kAck});
    const Bytes flash = s.target.Flash();
    EXPECT_EQ(Bytes(flash.begin() + 0x100, flash.begin() + 0x108), awkward);
    EXPECT_EQ(host.Read(1, 50), Bytes{});  // no echo came back
}

TEST(PtyTarget, HostCloseIsAResetAndResyncWorksAfterReopen) {
    Served s;
    {
        HostLine host(s.target.SlavePath());
        EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
        EXPECT_EQ(host.Ask({0x00, 0xFF}, 15), kGetReply);
    }
    EXPECT_TRUE(Eventually([&] { return s.target.Resets() == 1; })) << s.target.Resets();
    HostLine again(s.target.SlavePath());
    EXPECT_EQ(again.Ask({0x7F}, 1), Bytes{kAck});  // a second sync would be NACKed
    EXPECT_EQ(again.Ask({0x00, 0xFF}, 15), kGetReply);
}

TEST(PtyTarget, ResetIsSeenWithinAReconnectPause) {
    Served s;
    HostLine first(s.target.SlavePath());
    EXPECT_EQ(first.Ask({0x7F}, 1), Bytes{kAck});
    first.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    HostLine second(s.target.SlavePath());
    EXPECT_EQ(second.Ask({0x7F}, 1), Bytes{kAck});
    EXPECT_EQ(s.target.Resets(), 1);
}

TEST(PtyTarget, EveryCloseCountsAsOneReset) {
    Served s;
    for (int i = 1; i <= 3; ++i) {
        HostLine host(s.target.SlavePath());
        EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck}) << i;
        host.Close();
        EXPECT_TRUE(Eventually([&] { return s.target.Resets() == i; })) << i;
    }
}

TEST(PtyTarget, QuickOpenAndCloseWithoutBytesStillCountsAsReset) {
    Served s;
    for (int i = 1; i <= 5; ++i) {
        { HostLine host(s.target.SlavePath()); }
        EXPECT_TRUE(Eventually([&] { return s.target.Resets() == i; })) << i;
    }
}

TEST(PtyTarget, UnreadReplyIsNotSeenByTheNextHost) {
    Served s;
    {
        HostLine host(s.target.SlavePath());
        host.Ask({0x7F}, 1);
        host.Write({0x00, 0xFF});  // leaves the Get reply unread
        EXPECT_TRUE(Eventually([&] { return s.target.TargetBytes().size() == 16; }));
    }
    EXPECT_TRUE(Eventually([&] { return s.target.Resets() == 1; }));
    HostLine again(s.target.SlavePath());
    EXPECT_EQ(again.Ask({0x7F}, 1), Bytes{kAck});
    EXPECT_EQ(again.Read(1, 100), Bytes{});
}

TEST(PtyTarget, CookedModeLeftByAHostIsUndoneForTheNext) {
    Served s;
    {
        HostLine host(s.target.SlavePath(), /*raw=*/false);
        termios t{};
        ASSERT_EQ(tcgetattr(host.Fd(), &t), 0);
        t.c_lflag |= ICANON | ECHO;
        t.c_oflag |= OPOST | ONLCR;
        t.c_iflag |= ICRNL;
        ASSERT_EQ(tcsetattr(host.Fd(), TCSANOW, &t), 0);
    }
    ASSERT_TRUE(Eventually([&] { return s.target.Resets() == 1; }));
    HostLine next(s.target.SlavePath(), /*raw=*/false);
    termios t{};
    ASSERT_EQ(tcgetattr(next.Fd(), &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & ICRNL, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(next.Ask({0x7F}, 1), Bytes{kAck});
}

TEST(PtyTarget, ExclusiveModeLeftByAHostIsLiftedAtItsClose) {
    Served s;
    {
        HostLine host(s.target.SlavePath());
        ASSERT_EQ(ioctl(host.Fd(), TIOCEXCL), 0);
        EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
    }
    ASSERT_TRUE(Eventually([&] { return s.target.Resets() == 1; }));
    // Root may open an exclusive tty anyway, so ask an unprivileged child.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
    ASSERT_EQ(chmod(s.target.SlavePath().c_str(), 0666), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setuid(65534) != 0) _exit(2);
        const int fd = open(s.target.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        _exit(fd >= 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PtyTarget, GoSilencesTargetUntilHostReopens) {
    Served s;
    {
        HostLine host(s.target.SlavePath());
        host.Ask({0x7F}, 1);
        EXPECT_EQ(host.Ask({0x21, 0xDE}, 1), Bytes{kAck});
        EXPECT_EQ(host.Ask(Addr(0x08000000), 1), Bytes{kAck});
        EXPECT_EQ(host.Ask({0x7F}, 1, 200), Bytes{});
        EXPECT_EQ(host.Ask({0x02, 0xFD}, 1, 200), Bytes{});
    }
    EXPECT_TRUE(Eventually([&] { return s.target.Resets() == 1; }));
    HostLine again(s.target.SlavePath());
    EXPECT_EQ(again.Ask({0x7F}, 1), Bytes{kAck});
}

TEST(PtyTarget, UnplugMakesTheHostsPortFail) {
    Served s;
    HostLine host(s.target.SlavePath());
    EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
    s.target.Unplug();
    EXPECT_TRUE(s.target.IsUnplugged());
    pollfd p{host.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
    uint8_t b;
    EXPECT_LE(read(host.Fd(), &b, 1), 0);
}

TEST(PtyTarget, ReplugServesAFreshLineWithFlashKept) {
    Served s;
    const std::string oldPath = s.target.SlavePath();
    {
        HostLine host(oldPath);
        host.Ask({0x7F}, 1);
        host.Ask({0x31, 0xCE}, 1);
        host.Ask(Addr(0x08000000), 1);
        EXPECT_EQ(host.Ask(WithXor({0x00, 0x5A}), 1), Bytes{kAck});
        s.target.Unplug();
    }
    std::string error;
    ASSERT_TRUE(s.target.Replug(&error)) << error;
    EXPECT_FALSE(s.target.IsUnplugged());
    HostLine host(s.target.SlavePath());
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
    host.Ask({0x11, 0xEE}, 1);
    host.Ask(Addr(0x08000000), 1);
    EXPECT_EQ(host.Ask({0x00, 0xFF}, 2), (Bytes{kAck, 0x5A}));
}

TEST(PtyTarget, UnplugFaultDropsTheLineAfterNBytes) {
    sim::TargetConfig c;
    c.faults = {"unplug:3"};
    Served s(c);
    HostLine host(s.target.SlavePath());
    EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
    host.Write({0x00, 0xFF});
    EXPECT_TRUE(Eventually([&] { return s.target.IsUnplugged(); }));
    EXPECT_EQ(host.Read(1, 200), Bytes{});
    pollfd p{host.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    std::string error;
    ASSERT_TRUE(s.target.Replug(&error)) << error;
    HostLine fresh(s.target.SlavePath());
    EXPECT_EQ(fresh.Ask({0x7F}, 1), Bytes{kAck});
}

TEST(PtyTarget, BadConfigurationFailsStart) {
    const struct {
        const char* fault;
        uint32_t latencyMs;
        const char* latencyFile;
        const char* named;  // in the message
    } cases[] = {{"nack:nothing", 0, "", "nothing"},
                 {"silent", 10001, "", "10000"},
                 {"silent", 16, "/nonexistent-dir/latency", "/nonexistent-dir/"}};
    for (const auto& c : cases) {
        sim::TargetConfig config;
        config.faults = {c.fault};
        config.latencyMs = c.latencyMs;
        config.latencyFile = c.latencyFile;
        sim::PtyTarget target(config);
        std::string error;
        EXPECT_FALSE(target.Start(&error)) << c.named;
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
    }
}

TEST(PtyTarget, StopWhileHostHoldsTheLineReturns) {
    Served s;
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    const auto t = Clock::now();
    s.target.Stop();
    EXPECT_LT(Clock::now() - t, std::chrono::seconds(1));
}

// ---- timing on the wire ----

TEST(PtyTargetTiming, PacedReplyTakesElevenBitsAByte) {
    sim::TargetConfig c;
    c.paceBaud = 9600;  // 1.146 ms a byte
    Served s(c);
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Write({0x00, 0xFF});
    const auto t = Clock::now();
    EXPECT_EQ(host.Read(15), kGetReply);
    const auto ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    EXPECT_GE(ms, 14 * 1.1);  // 15 bytes: at least 14 gaps between the first and the last
    EXPECT_LT(ms, 1000);
    const auto log = s.target.WireLog();
    ASSERT_EQ(log.size(), 19u);
    // Target bytes spread out: the reply is ready no earlier than the host's last byte was
    // logged, and its last byte is logged no earlier than 15 byte times after that.
    EXPECT_GE(log.back().usec - log[3].usec, 15 * 1100u);
}

TEST(PtyTargetTiming, PacedHostBytesArriveOneByteTimeApart) {
    sim::TargetConfig c;
    c.paceBaud = 9600;
    Served s(c);
    HostLine host(s.target.SlavePath());
    Bytes block = {0x7F};
    host.Ask(block, 1);
    host.Ask({0x31, 0xCE}, 1);
    host.Ask(Addr(0x08000000), 1);
    Bytes data(34, 0x00);
    data[0] = 31;  // 32 data bytes, checksum 31
    data[33] = 31;
    EXPECT_EQ(host.Ask(data, 1), Bytes{kAck});
    const auto log = s.target.WireLog();
    ASSERT_EQ(log.size(), (1u + 2 + 5 + 34) + 3 + 1);
    // The block was written only after the ACK before it had been logged, so data byte k
    // crosses no sooner than k + 1 byte times after that ACK. Measured from the first data
    // byte instead, a late wake-up for it would shorten the span and fail a correct pacing.
    const size_t first = log.size() - 1 - 34;
    ASSERT_FALSE(log[first - 1].fromHost);
    for (size_t k = 0; k < 34; ++k) {
        ASSERT_TRUE(log[first + k].fromHost) << k;
        EXPECT_GE(log[first + k].usec - log[first - 1].usec, (k + 1) * 1100u) << "data byte " << k;
    }
}

TEST(PtyTargetTiming, UnpacedReplyIsImmediate) {
    Served s;
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Write({0x00, 0xFF});
    const auto t = Clock::now();
    EXPECT_EQ(host.Read(15), kGetReply);
    EXPECT_LT(Clock::now() - t, std::chrono::milliseconds(100));
}

TEST(PtyTargetTiming, DelayFaultHoldsTheReplyBack) {
    sim::TargetConfig c;
    c.faults = {"delay:version:300"};
    Served s(c);
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Write({0x01, 0xFE});
    const auto t = Clock::now();
    EXPECT_EQ(host.Read(1, 200), Bytes{});  // nothing within the first 200 ms
    EXPECT_EQ(host.Read(5, 2000).size(), 5u);
    EXPECT_GE(Clock::now() - t, std::chrono::milliseconds(290));
}

TEST(PtyTargetTiming, StallSendsTheAckOnTimeAndTheDataLate) {
    sim::TargetConfig c;
    c.faults = {"stall:read:1:300"};
    Served s(c);
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Ask({0x11, 0xEE}, 1);
    host.Ask(Addr(0x08000000), 1);
    host.Write({0x03, 0xFC});
    const auto t = Clock::now();
    EXPECT_EQ(host.Read(1, 200), Bytes{kAck});
    EXPECT_EQ(host.Read(1, 150), Bytes{});  // the data is held back
    EXPECT_EQ(host.Read(4, 2000), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_GE(Clock::now() - t, std::chrono::milliseconds(290));
}

TEST(PtyTargetTiming, F1MassEraseHoldsTheAckForFortyMs) {
    sim::TargetConfig c;
    c.f1Timing = true;
    Served s(c);
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Ask({0x43, 0xBC}, 1);
    host.Write({0xFF, 0x00});
    const auto t = Clock::now();
    EXPECT_EQ(host.Read(1), Bytes{kAck});
    EXPECT_GE(Clock::now() - t, std::chrono::milliseconds(38));
    EXPECT_EQ(s.target.DelayUs(), 40000u) << "the delay is counted for the benchmark's floor";
}

// ---- an adapter's latency timer ----

// What the host's next read found: how long after `since`, and how many bytes.
struct Arrival {
    double ms = -1;
    size_t bytes = 0;
};
Arrival NextRead(HostLine& host, Clock::time_point since) {
    pollfd p{host.Fd(), POLLIN, 0};
    uint8_t buf[512];
    if (poll(&p, 1, 3000) != 1) return {};
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
    return {ms, static_cast<size_t>(std::max<ssize_t>(0, read(host.Fd(), buf, sizeof buf)))};
}

TEST(PtyTargetLatency, ReplyIsHeldUntilTheTimerThenComesWhole) {
    const struct {
        uint32_t baud;
        uint32_t ms;  // the Get reply crosses at 9600 baud in 16 ms
    } cases[] = {{0, 150}, {9600, 60}};
    for (const auto& c : cases) {
        sim::TargetConfig config;
        config.paceBaud = c.baud;
        config.latencyMs = c.ms;
        Served s(config);
        HostLine host(s.target.SlavePath());
        EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
        const auto t = Clock::now();
        host.Write({0x00, 0xFF});
        // The timer starts at the first reply byte, which crosses after the request.
        const Arrival a = NextRead(host, t);
        EXPECT_GE(a.ms, c.ms) << c.baud;
        EXPECT_EQ(a.bytes, 15u) << c.baud;
    }
}

TEST(PtyTargetLatency, LongReplyGoesInPacketsOfSixtyTwoWithoutTheTimer) {
    sim::TargetConfig config;
    config.paceBaud = 38400;  // 286 us a byte: 248 bytes in 71 ms
    config.latencyMs = 300;
    Served s(config);
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Ask({0x11, 0xEE}, 1);
    host.Ask(Addr(0x08000000), 1);
    const uint64_t heldBefore = s.target.LatencyUs();
    const auto t = Clock::now();
    host.Write({0xFF, 0x00});  // 256 bytes: with the ACK, 257 on the wire
    size_t got = 0;
    double fourPacketsMs = 1e9;
    while (got < 257) {
        const Arrival a = NextRead(host, t);
        if (a.bytes == 0) break;
        got += a.bytes;
        EXPECT_TRUE(got % 62 == 0 || got == 257) << got << " bytes at " << a.ms << " ms";
        if (got >= 248) fourPacketsMs = std::min(fourPacketsMs, a.ms);
    }
    EXPECT_EQ(got, 257u);
    EXPECT_LT(fourPacketsMs, 300) << "full packets do not wait for the timer";
    // Only the last 9 were held: 300 ms from the first of them, less 8 byte times.
    EXPECT_NEAR(static_cast<double>(s.target.LatencyUs() - heldBefore), 300000 - 8 * 286.46, 2);
}

TEST(PtyTargetLatency, ZeroLatencyLetsEachByteThroughAsItCrosses) {
    sim::TargetConfig config;
    config.paceBaud = 9600;  // the 257 bytes take 295 ms
    config.latencyMs = 0;
    Served s(config);
    HostLine host(s.target.SlavePath());
    host.Ask({0x7F}, 1);
    host.Ask({0x11, 0xEE}, 1);
    host.Ask(Addr(0x08000000), 1);
    host.Write({0xFF, 0x00});
    const Arrival first = NextRead(host, Clock::now());
    EXPECT_LT(s.target.TargetBytes().size(), 3u + 257) << "the first byte came before the last";
    EXPECT_EQ(first.bytes + host.Read(257 - first.bytes).size(), 257u);
    EXPECT_EQ(s.target.LatencyUs(), 0u);
}

TEST(PtyTargetLatency, FileIsReadAgainForEachReplyAndABadOneKeepsTheLastValue) {
    const std::string path = testing::TempDir() + "kestrel-latency-" + std::to_string(getpid());
    sim::TargetConfig config;
    config.latencyFile = path;
    Served s(config);
    std::string initial;
    EXPECT_TRUE(std::getline(std::ifstream(path), initial) && initial == "0");
    HostLine host(s.target.SlavePath());
    EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{kAck});
    const struct {
        const char* text;  // null: the file removed
        bool atLeast;      // the Get Version reply comes no sooner than ms, else sooner
        double ms;
    } steps[] = {
        {"250\n", true, 250}, {nullptr, true, 250}, {"soon\n", true, 250}, {"0", false, 200}};
    for (const auto& step : steps) {
        if (step.text == nullptr) {
            std::remove(path.c_str());
        } else {
            // Written whole in one step, as a sysfs write is.
            std::ofstream(path + ".new") << step.text;
            std::rename((path + ".new").c_str(), path.c_str());
        }
        const auto t = Clock::now();
        host.Write({0x01, 0xFE});
        const Arrival a = NextRead(host, t);
        const char* name = step.text != nullptr ? step.text : "removed";
        EXPECT_EQ(a.bytes, 5u) << name;
        EXPECT_EQ(a.ms >= step.ms, step.atLeast) << name << ": " << a.ms << " ms";
    }
    std::remove(path.c_str());
}

TEST(PtyTargetLatency, FileTextIsDecimalMillisecondsWithinRange) {
    uint32_t ms = 0;
    EXPECT_TRUE(sim::ParseLatency(" 16\t\r\n", &ms) && ms == 16);
    for (const char* bad : {"10001", "\n", "-1", "0x10", "16 ms", "99999999999999999999"}) {
        EXPECT_FALSE(sim::ParseLatency(bad, &ms)) << bad;
    }
    EXPECT_EQ(ms, 16u) << "a refused text leaves the value as it was";
}

}  // namespace
