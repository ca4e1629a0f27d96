// kestrel-isp: the device jobs from a terminal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceJobs.h"
#include "IniFile.h"
#include "KestrelVersion.h"
#include "Platform.h"
#include "SettingNames.h"
#include "TerminalHost.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage:\n"
    "  kestrel-isp [--port NAME] [--baud N] ports\n"
    "  kestrel-isp [--port NAME] [--baud N] info\n"
    "  kestrel-isp [--port NAME] [--baud N] program FILE.hex [--erase all|pages]\n"
    "                                        [--verify|--no-verify] [--run]\n"
    "  kestrel-isp [--port NAME] [--baud N] read-out FILE.bin\n"
    "  kestrel-isp --help | --version\n"
    "\n"
    "Programs an STM32 through its USART bootloader (8E1; DTR resets, RTS selects boot).\n"
    "Defaults: 115200 baud, erase all, verify, do not run.\n"
    "Without --port the remembered port (or the first listed) is tried, then every other\n"
    "listed port; a port found that way is remembered in the settings file.\n"
    "KESTREL_PORTS=a:b:c replaces the discovered port list.\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 130/143 interrupted (SIGINT/SIGTERM).\n";

struct Options {
    std::string port;
    bool hasPort = false;
    int baud = 115200;
    std::string command;
    std::string file;
    bool eraseAll = true;
    bool verify = true;
    bool run = false;
    bool version = false;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kestrel-isp: %s (try --help)\n", message.c_str());
    return kExitUsage;
}

bool ParseBaud(const char* text, int* baud) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!*text || *end || value <= 0 || value > 4000000) return false;
    *baud = static_cast<int>(value);
    return true;
}

bool IsProgramOnly(const std::string& word) {
    return word == "--erase" || word == "--verify" || word == "--no-verify" || word == "--run";
}

// Returns kExitOk when the arguments are good; otherwise prints and returns the status.
int ParseArguments(int argc, char** argv, Options* opt, bool* helpOnly) {
    std::vector<std::string> positional;
    // The first program-only word anywhere on the line, an option's value included.
    std::string programOnly;
    auto note = [&](const char* word) {
        if (programOnly.empty() && IsProgramOnly(word)) programOnly = word;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        note(argv[i]);
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) return nullptr;
            note(argv[++i]);
            return argv[i];
        };
        if (arg == "--help" || arg == "-h") {
            *helpOnly = true;
            return kExitOk;
        } else if (arg == "--version") {
            opt->version = true;
            return kExitOk;
        } else if (arg == "--port") {
            const char* v = value();
            if (!v || !*v) return UsageError("--port needs a port name");
            opt->port = v;
            opt->hasPort = true;
        } else if (arg == "--baud") {
            const char* v = value();
            if (!v || !ParseBaud(v, &opt->baud)) return UsageError("--baud needs a positive rate");
        } else if (arg == "--erase") {
            const char* v = value();
            if (!v || (std::strcmp(v, "all") != 0 && std::strcmp(v, "pages") != 0)) {
                return UsageError("--erase takes all or pages");
            }
            opt->eraseAll = std::strcmp(v, "all") == 0;
        } else if (arg == "--verify") {
            opt->verify = true;
        } else if (arg == "--no-verify") {
            opt->verify = false;
        } else if (arg == "--run") {
            opt->run = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty()) return UsageError("missing command");
    opt->command = positional[0];
    bool needsFile = opt->command == "program" || opt->command == "read-out";
    bool known = needsFile || opt->command == "ports" || opt->command == "info";
    if (!known) return UsageError("unknown command " + opt->command);
    if (needsFile && positional.size() < 2) return UsageError(opt->command + " needs a file");
    if (positional.size() > (needsFile ? 2u : 1u)) return UsageError("too many arguments");
    if (needsFile) opt->file = positional[1];
    if (opt->command != "program" && !programOnly.empty()) {
        return UsageError(programOnly + " applies to program only");
    }
    return kExitOk;
}

// What an interrupt ends: set while a job may run, under TerminalOutputLock().
CTerminalHost* g_interruptedHost = nullptr;
CIspProtocol* g_interruptedIsp = nullptr;

void EndInterruptedJob(int exitStatus) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    // Past the job main is already on its way out with the job's own status.
    if (!g_interruptedHost) return;
    g_interruptedHost->EndOutputLocked();
    std::fputs("kestrel-isp: interrupted; the flash may be partly written\n", stderr);
    std::fflush(stderr);
    // Puts the line's settings back; the job thread ends with the process.
    g_interruptedIsp->Close();
    std::_Exit(exitStatus);
}

// Lets an interrupt reach the host and the port for as long as this lives.
class InterruptibleJob {
public:
    InterruptibleJob(CTerminalHost& host, CIspProtocol& isp) {
        std::lock_guard<std::mutex> hold(TerminalOutputLock());
        g_interruptedHost = &host;
        g_interruptedIsp = &isp;
    }
    ~InterruptibleJob() {
        std::lock_guard<std::mutex> hold(TerminalOutputLock());
        g_interruptedHost = nullptr;
        g_interruptedIsp = nullptr;
    }
};

// Brings the link up as the dialog does, or on the given port alone.
bool ConnectTarget(CDeviceJobs& jobs, const Options& opt, const std::vector<std::string>& ports,
                   const std::string& settingsFile) {
    jobs.SetBaudRate(opt.baud);
    jobs.SetIdentifyChip(true);
    if (opt.hasPort) {
        jobs.ConnectOnly(opt.port);
        return jobs.IsConnected();
    }
    std::string port = ReadProfileString(settingsFile, kSettingsSection, kKeyPort, "");
    if (port.empty() && !ports.empty()) port = ports.front();
    jobs.SetPort(port);
    jobs.Reconnect();
    return jobs.IsConnected();
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    bool helpOnly = false;
    int status = ParseArguments(argc, argv, &opt, &helpOnly);
    if (helpOnly) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (status != kExitOk) return status;
    if (opt.version) {
        std::printf("kestrel-isp %s\n", KESTREL_VERSION);
        return kExitOk;
    }

    std::vector<std::string> ports = ListSerialPorts();
    if (opt.command == "ports") {
        for (const std::string& port : ports) {
            std::string adapter = SerialPortDescription(port);
            if (adapter.empty()) {
                std::printf("%s\n", port.c_str());
            } else {
                std::printf("%s  %s\n", port.c_str(), adapter.c_str());
            }
        }
        return kExitOk;
    }

    IgnoreClosedOutput();
    std::string settingsFile = SettingsFilePath();
    CTerminalHost host(ports, settingsFile, StderrIsTerminal());
    CDeviceJobs jobs(host);
    jobs.m_isp.CreatePort();
    InterruptibleJob interruptible(host, jobs.m_isp);
    // While no other thread runs yet: the port starts its own at Open.
    OnInterrupt(EndInterruptedJob);
    if (!ConnectTarget(jobs, opt, ports, settingsFile)) return kExitFailed;

    if (opt.command == "info") {
        jobs.ReadChipInfo();
    } else if (opt.command == "program") {
        jobs.SetFilePath(opt.file);
        jobs.SetEraseAll(opt.eraseAll);
        jobs.SetVerify(opt.verify);
        jobs.SetRunProgram(opt.run);
        jobs.Program();
    } else {
        host.SetSavePath(opt.file);
        jobs.ReadOut();
    }
    return jobs.LastJobSucceeded() ? kExitOk : kExitFailed;
}
