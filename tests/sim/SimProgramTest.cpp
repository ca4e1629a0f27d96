// kestrel-sim as a program: help, the first line of output, signals, files and links.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Chips.h"
#include "HostLine.h"
#include "SimOptions.h"

namespace {

using simtest::HostLine;
using Bytes = std::vector<uint8_t>;

// A running kestrel-sim with its standard output on a pipe.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv = {const_cast<char*>(KESTREL_SIM_PATH)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(KESTREL_SIM_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
    }
    ~SimProcess() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
    }
    // One line of standard output (without the newline), or "" after timeoutMs.
    std::string ReadLine(int timeoutMs = 3000) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char c;
            if (read(m_out, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return "";
    }
    // Sends the signal and waits up to five seconds; the exit status, or -1.
    int SignalAndWait(int sig) {
        kill(m_pid, sig);
        return Wait(5000);
    }
    int Wait(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    std::string ReadAll() {
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = read(m_out, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
        return all;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    bool m_reaped = false;
};

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "kestrel-sim-test-" + std::to_string(getpid()) + "-" + name;
}

Bytes ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SimProgram, HelpExitsZeroAndDescribesEveryFaultKind) {
    SimProcess sim({"--help"});
    EXPECT_EQ(sim.Wait(5000), 0);
    const std::string help = sim.ReadAll();
    for (const char* word : {"silent",
                             "nack:",
                             "short:",
                             "extra:",
                             "corrupt:",
                             "delay:",
                             "get12",
                             "erase-code:",
                             "unplug:",
                             "reply:",
                             "--fault",
                             "--flash-kib",
                             "--page-size",
                             "--erase-cmd",
                             "--bl-version",
                             "--pid",
                             "--baud",
                             "--flash-timing",
                             "--readout-protected",
                             "--load",
                             "--dump",
                             "--link",
                             "--wire-log",
                             "--replug-ms",
                             "--chip",
                             "--list-chips",
                             "--latency-file",
                             "latency_seconds",
                             "none|f1|real"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

TEST(SimProgram, ListChipsPrintsEveryChipWithItsLayoutOnALine) {
    SimProcess sim({"--list-chips"});
    EXPECT_EQ(sim.Wait(5000), 0);
    std::istringstream lines(sim.ReadAll());
    std::string line;
    for (const chips::Chip& chip : chips::AllChips()) {
        ASSERT_TRUE(std::getline(lines, line)) << chip.key;
        EXPECT_EQ(line.rfind(std::string(chip.key) + " ", 0), 0u) << line;
        EXPECT_NE(line.find(chips::LayoutText(chip, chip.defaultKiB)), std::string::npos) << line;
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;
}

TEST(SimProgram, BadOptionOrFaultExitsNonZero) {
    SimProcess badOption({"--frobnicate"});
    EXPECT_NE(badOption.Wait(5000), 0);
    SimProcess badFault({"--fault", "nack:teleport"});
    EXPECT_NE(badFault.Wait(5000), 0);
    SimProcess badErase({"--erase-cmd", "0x45"});
    EXPECT_NE(badErase.Wait(5000), 0);
}

TEST(SimProgram, PrintsPtyPathFirstAndExitsZeroOnSigtermWritingDump) {
    const std::string load = TempPath("load.bin");
    const std::string dump = TempPath("dump.bin");
    { std::ofstream(load, std::ios::binary) << "\x12\x34"; }
    SimProcess sim({"--flash-kib", "16", "--load", load, "--dump", dump});
    const std::string path = sim.ReadLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        HostLine host(path);
        EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{0x79});
        EXPECT_EQ(host.Ask({0x31, 0xCE}, 1), Bytes{0x79});
        EXPECT_EQ(host.Ask({0x08, 0x00, 0x00, 0x10, 0x18}, 1), Bytes{0x79});
        EXPECT_EQ(host.Ask({0x00, 0xA5, 0xA5}, 1), Bytes{0x79});
    }
    EXPECT_EQ(sim.SignalAndWait(SIGTERM), 0);
    const Bytes flash = ReadBinary(dump);
    ASSERT_EQ(flash.size(), 16u * 1024);
    EXPECT_EQ(flash[0], 0x12);
    EXPECT_EQ(flash[1], 0x34);
    EXPECT_EQ(flash[2], 0xFF);
    EXPECT_EQ(flash[0x10], 0xA5);
    std::remove(load.c_str());
    std::remove(dump.c_str());
}

TEST(SimProgram, SigintAlsoExitsZero) {
    SimProcess sim({});
    ASSERT_FALSE(sim.ReadLine().empty());
    EXPECT_EQ(sim.SignalAndWait(SIGINT), 0);
}

TEST(SimProgram, OptionsShapeTheTarget) {
    SimProcess sim({"--pid", "0x0413", "--bl-version", "0x31", "--erase-cmd", "0x44"});
    const std::string path = sim.ReadLine();
    ASSERT_FALSE(path.empty());
    {
        HostLine host(path);
        host.Ask({0x7F}, 1);
        EXPECT_EQ(host.Ask({0x02, 0xFD}, 5), (Bytes{0x79, 0x01, 0x04, 0x13, 0x79}));
        const Bytes get = host.Ask({0x00, 0xFF}, 15);
        ASSERT_EQ(get.size(), 15u);
        EXPECT_EQ(get[2], 0x31);
        EXPECT_EQ(get[9], 0x44);
    }
    EXPECT_EQ(sim.SignalAndWait(SIGTERM), 0);
}

TEST(SimProgram, ReadoutProtectedOptionRefusesRead) {
    SimProcess sim({"--readout-protected"});
    const std::string path = sim.ReadLine();
    ASSERT_FALSE(path.empty());
    {
        HostLine host(path);
        host.Ask({0x7F}, 1);
        EXPECT_EQ(host.Ask({0x11, 0xEE}, 1), Bytes{0x1F});
    }
    EXPECT_EQ(sim.SignalAndWait(SIGTERM), 0);
}

TEST(SimProgram, LinkPointsAtThePtyAndWireLogRecordsBothDirections) {
    const std::string link = TempPath("link");
    const std::string wire = TempPath("wire.log");
    SimProcess sim({"--link", link, "--wire-log", wire});
    const std::string path = sim.ReadLine();
    ASSERT_FALSE(path.empty());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    {
        HostLine host(link);
        EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{0x79});
    }
    EXPECT_EQ(sim.SignalAndWait(SIGTERM), 0);
    std::ifstream in(wire);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_NE(first.find(" H> 7F"), std::string::npos) << first;
    EXPECT_NE(second.find(" T> 79"), std::string::npos) << second;
    EXPECT_EQ(first.find('.'), first.find(' ') - 7) << first;  // seconds with six decimals
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);  // the link goes with the program
    std::remove(wire.c_str());
}

TEST(SimProgram, StatsKeepTheLatencyApartAndTheLatencyFileGoesAtExit) {
    const std::string stats = TempPath("stats");
    const std::string file = TempPath("latency");
    const struct {
        std::vector<std::string> args;
        std::string stats;  // with a latency file, what it starts with
    } cases[] = {
        {{}, "delay_seconds 0.040000\n"},
        // Three ACKs, each held the whole latency.
        {{"--latency", "30"}, "delay_seconds 0.040000\nlatency_seconds 0.090000\n"},
        {{"--latency", "30", "--latency-file", file}, "delay_seconds 0.040000\nlatency_seconds "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--flash-timing", "f1", "--stats", stats};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SimProcess sim(args);
        const std::string path = sim.ReadLine();
        ASSERT_FALSE(path.empty());
        const bool withFile = c.args.size() > 2;
        EXPECT_EQ(ReadBinary(file), withFile ? (Bytes{'3', '0', '\n'}) : Bytes{});
        {
            HostLine host(path);
            EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{0x79});
            EXPECT_EQ(host.Ask({0x43, 0xBC}, 1), Bytes{0x79});
            EXPECT_EQ(host.Ask({0xFF, 0x00}, 1), Bytes{0x79});  // mass erase: 40 ms
        }
        EXPECT_EQ(sim.SignalAndWait(SIGTERM), 0);
        const Bytes got = ReadBinary(stats);
        const std::string text(got.begin(), got.end());
        EXPECT_EQ(withFile ? text.substr(0, c.stats.size()) : text, c.stats);
        EXPECT_NE(access(file.c_str(), F_OK), 0) << "left behind";
    }
    std::remove(stats.c_str());
}

TEST(SimProgram, UnplugFaultWithReplugAnnouncesAFreshPty) {
    const std::string link = TempPath("replug-link");
    SimProcess sim({"--fault", "unplug:1*1", "--replug-ms", "50", "--link", link});
    const std::string first = sim.ReadLine();
    ASSERT_FALSE(first.empty());
    {
        HostLine host(first);
        host.Write({0x7F});
        EXPECT_EQ(host.Read(1, 200), Bytes{});
    }
    const std::string second = sim.ReadLine();
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.rfind("/dev/pts/", 0), 0u) << second;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(second, target);
    {
        HostLine host(link);
        EXPECT_EQ(host.Ask({0x7F}, 1), Bytes{0x79});
    }
    EXPECT_EQ(sim.SignalAndWait(SIGTERM), 0);
}

// ---- option parsing ----

bool Parse(std::vector<const char*> args, sim::SimOptions* o, std::string* error) {
    args.insert(args.begin(), "kestrel-sim");
    return sim::ParseSimOptions(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(SimOptions, DefaultsMatchAMediumDensityF1) {
    sim::SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({}, &o, &error)) << error;
    EXPECT_EQ(o.target.flashKiB, 64u);
    EXPECT_EQ(o.target.pageSize, 1024u);
    EXPECT_EQ(o.target.eraseCmd, 0x43);
    EXPECT_EQ(o.target.blVersion, 0x22);
    EXPECT_EQ(o.target.pid, 0x0410);
    EXPECT_EQ(o.target.paceBaud, 0u);
    EXPECT_EQ(o.target.latencyMs, 0u);
    EXPECT_FALSE(o.target.f1Timing);
    EXPECT_FALSE(o.target.readoutProtected);
    EXPECT_EQ(o.replugMs, -1);
}

TEST(SimOptions, EveryValueLandsInItsField) {
    sim::SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse(
        {"--flash-kib", "128",          "--page-size",    "2048",         "--erase-cmd",
         "0x44",        "--bl-version", "0x31",           "--pid",        "0x0414",
         "--baud",      "115200",       "--flash-timing", "f1",           "--readout-protected",
         "--fault",     "silent",       "--fault",        "nack:erase@2", "--replug-ms",
         "300",         "--dump",       "d.bin"},
        &o, &error))
        << error;
    EXPECT_EQ(o.target.flashKiB, 128u);
    EXPECT_EQ(o.target.pageSize, 2048u);
    EXPECT_EQ(o.target.eraseCmd, 0x44);
    EXPECT_EQ(o.target.blVersion, 0x31);
    EXPECT_EQ(o.target.pid, 0x0414);
    EXPECT_EQ(o.target.paceBaud, 115200u);
    EXPECT_TRUE(o.target.f1Timing);
    EXPECT_TRUE(o.target.readoutProtected);
    EXPECT_EQ(o.target.faults, (std::vector<std::string>{"silent", "nack:erase@2"}));
    EXPECT_EQ(o.replugMs, 300);
    EXPECT_EQ(o.dumpPath, "d.bin");
    ASSERT_TRUE(Parse({"--latency", "16", "--latency-file", "lat"}, &o, &error)) << error;
    EXPECT_EQ(o.target.latencyMs, 16u);
    EXPECT_EQ(o.target.latencyFile, "lat");
}

TEST(SimOptions, OutOfRangeAndMissingValuesRejected) {
    sim::SimOptions o;
    std::string error;
    EXPECT_FALSE(Parse({"--pid", "0x10000"}, &o, &error));
    EXPECT_FALSE(Parse({"--bl-version", "256"}, &o, &error));
    EXPECT_FALSE(Parse({"--flash-kib", "0"}, &o, &error));
    EXPECT_FALSE(Parse({"--flash-timing", "f4"}, &o, &error));
    EXPECT_FALSE(Parse({"--page-size", "1000"}, &o, &error));
    EXPECT_FALSE(Parse({"--latency", "10001"}, &o, &error));
    EXPECT_FALSE(Parse({"--dump"}, &o, &error));
    EXPECT_NE(error.find("--dump"), std::string::npos) << error;
}

TEST(SimOptions, ChipGivesIdentityAndSizeAndRefusesWhatItDecides) {
    sim::SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--chip", "f407", "--flash-timing", "real"}, &o, &error)) << error;
    EXPECT_EQ(o.target.chip, chips::FindChipByKey("f407"));
    EXPECT_EQ(o.target.flashKiB, 1024u);
    EXPECT_EQ(o.target.pid, 0x0413);
    EXPECT_EQ(o.target.blVersion, 0x31);
    EXPECT_EQ(o.target.eraseCmd, 0x44);
    EXPECT_TRUE(o.target.chipTiming);
    ASSERT_TRUE(Parse({"--flash-kib", "128", "--chip", "f407"}, &o, &error)) << error;
    EXPECT_EQ(o.target.flashKiB, 128u);
    const struct {
        std::vector<const char*> args;
        const char* named;  // in the one-line refusal
    } refused[] = {
        {{"--chip", "f407", "--flash-kib", "100"}, "100 KiB"},
        {{"--chip", "f407", "--pid", "0x413"}, "--pid"},
        {{"--page-size", "2048", "--chip", "l476"}, "--page-size"},
        {{"--chip", "f999"}, "f999"},
    };
    for (const auto& r : refused) {
        error.clear();
        EXPECT_FALSE(Parse(r.args, &o, &error)) << r.named;
        EXPECT_NE(error.find(r.named), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(SimOptions, WireLogLineHasSecondsDirectionAndByte) {
    EXPECT_EQ(sim::FormatWireByte({12345678, true, 0x7F}), "12.345678 H> 7F");
    EXPECT_EQ(sim::FormatWireByte({789, false, 0x79}), "0.000789 T> 79");
}

}  // namespace
