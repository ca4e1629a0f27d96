// kestrel-isp: the device jobs from a terminal.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Arguments.h"
#include "DeviceJobs.h"
#include "FileReplace.h"
#include "Format.h"
#include "ImageFile.h"
#include "IniFile.h"
#include "JsonHost.h"
#include "KestrelVersion.h"
#include "Messages.h"
#include "MultiBoard.h"
#include "Platform.h"
#include "SerialLink.h"
#include "SettingNames.h"
#include "TerminalHost.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage:\n"
    "  kestrel-isp [OPTIONS] ports\n"
    "  kestrel-isp [OPTIONS] info\n"
    "  kestrel-isp [OPTIONS] program FILE [--erase all|pages] [--verify|--no-verify]\n"
    "                                     [--run] [--address A] [--format F]\n"
    "  kestrel-isp [OPTIONS] verify FILE [--address A] [--format F]\n"
    "  kestrel-isp [OPTIONS] read-out FILE [--address A] [--length N] [--verify]\n"
    "  kestrel-isp [OPTIONS] erase [--address A] [--length N]\n"
    "  kestrel-isp [OPTIONS] go [--address A]\n"
    "  kestrel-isp [OPTIONS] unprotect read|write [--yes]\n"
    "  kestrel-isp [OPTIONS] protect read\n"
    "  kestrel-isp --help | --version | --list-chips\n"
    "\n"
    "Commands:\n"
    "  ports       list the serial ports (with the USB adapter, when known)\n"
    "  info        bootloader version, option bytes, chip ID; chip name, flash, protection\n"
    "  program     erase, write, verify (and run) a HEX, S-record, ELF or binary file\n"
    "  verify      compare the flash with a file, writing nothing\n"
    "  read-out    read the flash (default: all of it) into a raw binary file\n"
    "  erase       the whole chip, or --address/--length rounded out to pages or sectors\n"
    "  go          start the program at --address (default: the flash base)\n"
    "  unprotect   lift read-out protection (the chip erases its flash: needs --yes) or\n"
    "              write protection; the chip resets and is connected again\n"
    "  protect     set read-out protection; the chip resets\n"
    "FILE may be - for standard input (program, verify) or standard output (read-out).\n"
    "FILE is Intel HEX, S-record or ELF by its content; raw binary, placed at --address, when\n"
    "its name ends in .bin or with --format binary. Any other file is refused.\n"
    "\n"
    "Options (--name value or --name=value; numbers may be 0x hexadecimal):\n"
    "Short options bundle and take values attached (-qv, -b9600); -- ends the options.\n"
    "  -p, --port NAME        the board's port; given more than once: each board at once\n"
    "      --all-ports        every listed port at once\n"
    "  -b, --baud N           line rate (default 115200): 1200, 2400, 4800, 9600, 19200,\n"
    "                         38400, 43000, 56000, 57600, 115200, 230400, 460800, 921600\n"
    "      --erase all|pages  program: the whole chip (default), or only the pages or\n"
    "                         sectors the file touches\n"
    "      --verify           program: read back and compare (default); read-out: read\n"
    "                         every block twice, again until two reads agree\n"
    "      --no-verify        program: do not read back\n"
    "      --run              program: start the program afterwards\n"
    "  -a, --address A        where a binary file goes; where read-out, erase and go start\n"
    "  -l, --length N         read-out and erase length (default: to the end of flash)\n"
    "      --format auto|hex|srec|elf|binary\n"
    "                         program, verify: the file's kind (default auto: by content);\n"
    "                         a file of another kind is refused\n"
    "      --reset dtr|rts|none  the line that drives the chip's reset (default dtr)\n"
    "      --boot rts|dtr|none   the line that drives BOOT0 (default rts)\n"
    "      --invert-reset     the reset line is active low on this adapter\n"
    "      --invert-boot      the boot line is inverted on this adapter\n"
    "      --retries N        try a failed block again, up to N times (default 2)\n"
    "      --chip NAME        the chip, when it cannot be identified (checked against what\n"
    "                         it answers); --list-chips shows the names\n"
    "      --flash-kib N      its flash size, when the chip cannot tell\n"
    "  -y, --yes              go ahead with unprotect read\n"
    "      --json             one JSON object a line on standard output instead of the log\n"
    "      --lang en|zh       the log's language (default: Chinese when LC_ALL,\n"
    "                         LC_MESSAGES or LANG starts with zh, else English)\n"
    "  -q, --quiet            log lines only, no progress bar\n"
    "  -v, --verbose          each line change, command and reply in hex on standard error\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "      --list-chips       the chips known, by name, with their IDs and flash\n"
    "\n"
    "Programs an STM32 through its USART bootloader (8E1; DTR resets, RTS selects boot).\n"
    "The chip is identified after connecting; its flash size and layout are used.\n"
    "Without --port the remembered port (or the first listed) is tried, then every other\n"
    "listed port; a port found that way is remembered in the settings file.\n"
    "KESTREL_PORTS=a:b:c replaces the discovered port list.\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 130/143 interrupted (SIGINT/SIGTERM).\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kestrel-isp: %s (try --help)\n", message.c_str());
    return kExitUsage;
}

// The interrupt's exit status once one came (0 before), and the jobs it stops.
std::atomic<int> g_interruptStatus{0};
std::mutex g_runningLock;
std::vector<CDeviceJobs*> g_running;

// On the signal thread: the first interrupt asks every running job to stop (each ends its
// stage, closes its port and returns); a second one ends the process at once.
void StopRunningJobs(int exitStatus) {
    int none = 0;
    if (!g_interruptStatus.compare_exchange_strong(none, exitStatus)) std::_Exit(exitStatus);
    std::lock_guard<std::mutex> hold(g_runningLock);
    for (CDeviceJobs* jobs : g_running) jobs->RequestStop();
}

// Lets an interrupt reach the jobs for as long as this lives.
class InterruptibleJob {
public:
    explicit InterruptibleJob(CDeviceJobs& jobs) : m_jobs(jobs) {
        std::lock_guard<std::mutex> hold(g_runningLock);
        g_running.push_back(&jobs);
        // An interrupt that came before the jobs were there still stops them.
        if (g_interruptStatus != 0) jobs.RequestStop();
    }
    ~InterruptibleJob() {
        std::lock_guard<std::mutex> hold(g_runningLock);
        g_running.erase(std::find(g_running.begin(), g_running.end(), &m_jobs));
    }

private:
    CDeviceJobs& m_jobs;
};

// The line an interrupted command leaves: what it did to the chip or the file.
const char* InterruptedText(const CliOptions& opt) {
    const std::string& c = opt.command;
    if (c == "read-out") {
        return opt.file == "-" ? "kestrel-isp: interrupted; the read-out is incomplete\n"
                               : "kestrel-isp: interrupted; the target file is unchanged\n";
    }
    if (c == "info" || c == "verify" || c == "go") {
        return "kestrel-isp: interrupted; nothing was written\n";
    }
    return "kestrel-isp: interrupted; the flash may be partly written\n";
}

// Brings the link up as the dialog does, or on the given port alone.
void ConnectTarget(CDeviceJobs& jobs, const CliOptions& opt, const std::vector<std::string>& ports,
                   const std::string& settingsFile) {
    if (!opt.ports.empty()) {
        jobs.ConnectOnly(opt.ports.front());
        return;
    }
    std::string port = ReadProfileString(settingsFile, kSettingsSection, kKeyPort, "");
    if (port.empty() && !ports.empty()) port = ports.front();
    jobs.SetPort(port);
    jobs.Reconnect();
}

// --format's values; the parser has let no other through.
ImageFormat FormatNamed(const std::string& name) {
    static const struct {
        const char* name;
        ImageFormat format;
    } kFormats[] = {{"hex", ImageFormat::StrictHex},
                    {"srec", ImageFormat::SRecord},
                    {"elf", ImageFormat::Elf},
                    {"binary", ImageFormat::Binary}};
    for (const auto& entry : kFormats) {
        if (name == entry.name) return entry.format;
    }
    return ImageFormat::Auto;
}

// The job options the command line asks for.
JobOptions OptionsFor(const CliOptions& opt, std::FILE* readOutStream) {
    JobOptions o;
    o.baudRate = opt.baud;
    o.identifyChip = true;
    o.filePath = opt.file;
    o.eraseAll = opt.eraseAll;
    o.verify = opt.verify;
    o.runProgram = opt.run;
    o.imageFormat = FormatNamed(opt.format);
    o.binaryAddress = opt.hasAddress ? opt.address : 0;
    o.readAddress = opt.hasAddress ? opt.address : 0;
    o.readLength = opt.hasLength ? opt.length : 0;
    o.readOutSafely = true;
    o.readOutStream = readOutStream;
    o.readOutTwice = opt.command == "read-out" && opt.verifyAsked;
    o.retries = opt.retries;
    o.chipKey = opt.chip;
    o.flashKiB = opt.flashKiB;
    o.explainFailures = true;
    o.quickWaits = true;
    o.eraseInRuns = true;
    return o;
}

ResetWiring::Line LineNamed(const std::string& name) {
    if (name == "dtr") return ResetWiring::Dtr;
    if (name == "rts") return ResetWiring::Rts;
    return ResetWiring::None;
}

// --verbose: every line change, command and reply on standard error, as hex; prefix: the
// board's, with several.
void TraceToStderr(CDeviceJobs& jobs, const std::string& prefix) {
    jobs.SetLineObserver([prefix](const char* line, bool level) {
        std::lock_guard<std::mutex> hold(TerminalOutputLock());
        std::fprintf(stderr, "%skestrel-isp: %s %s\n", prefix.c_str(), line, level ? "on" : "off");
    });
    jobs.SetTrace([prefix](bool fromHost, const unsigned char* bytes, int count) {
        std::lock_guard<std::mutex> hold(TerminalOutputLock());
        std::fprintf(stderr, "%skestrel-isp: %s %s\n", prefix.c_str(), fromHost ? ">" : "<",
                     HexBytes(bytes, count).c_str());
    });
}

// A line of the board's own on standard error, once its unfinished output is ended.
void BoardMessage(CTerminalHost& host, const std::string& line) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    host.EndOutputLocked();
    std::fprintf(stderr, "%s%s\n", host.LinePrefix().c_str(), line.c_str());
    std::fflush(stderr);
}

// What opening the port did about the adapter's latency timer, on standard error.
void ReportLatencyTimer(CTerminalHost& host, const CSerialLink& link, bool verbose) {
    const std::string line = LatencyTimerLine(link.LatencyTimer(), verbose);
    if (!line.empty()) BoardMessage(host, line);
}

// Standard input, for "-", copied to a file the loader can open (and re-open once the chip
// is known); removed at exit.
std::string g_stdinCopy;
void RemoveStdinCopy() {
    if (!g_stdinCopy.empty()) std::remove(g_stdinCopy.c_str());
}

bool CopyStandardInput(std::string* path) {
    const int fd = MakeTemporaryFile(&g_stdinCopy);
    if (fd < 0) return false;
    std::atexit(RemoveStdinCopy);
    std::FILE* out = FdOpenForWriting(fd);
    SetBinaryMode(stdin);
    char buffer[65536];
    size_t n;
    bool ok = out != nullptr;
    while (ok && (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
        ok = std::fwrite(buffer, 1, n, out) == n;
    }
    ok = ok && !std::ferror(stdin);
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    *path = g_stdinCopy;
    return ok;
}

// The file is judged before any port is opened. false with the reason on standard error.
bool CheckInputFile(CliOptions* opt) {
    const bool takesFile = opt->command == "program" || opt->command == "verify";
    if (!takesFile) return true;
    if (opt->file == "-" && !CopyStandardInput(&opt->file)) {
        std::fputs("kestrel-isp: cannot read standard input\n", stderr);
        return false;
    }
    std::string kind, reason;
    if (CheckImageFile(opt->file, FormatNamed(opt->format), &kind, &reason)) return true;
    std::fprintf(stderr, "kestrel-isp: %s: %s\n", opt->file.c_str(), GbkToConsole(reason).c_str());
    return false;
}

// The read-out's file is judged before any port is opened. false with the reason on
// standard error.
bool CheckOutputTarget(const CliOptions& opt) {
    if (opt.command != "read-out" || opt.file == "-") return true;
    std::string reason;
    if (CheckOutputFile(opt.file, &reason)) return true;
    std::fprintf(stderr, "kestrel-isp: %s: cannot write the read-out there: %s\n", opt.file.c_str(),
                 GbkToConsole(reason).c_str());
    return false;
}

JobOutcome RunCommand(CDeviceJobs& jobs, CTerminalHost& host, const CliOptions& opt) {
    const std::string& c = opt.command;
    if (c == "info") return jobs.ReadChipInfo();
    if (c == "program") return jobs.Program();
    if (c == "verify") return jobs.VerifyFile();
    if (c == "read-out") {
        host.SetSavePath(opt.file);
        return jobs.ReadOut();
    }
    if (c == "erase") {
        // Without a range the whole chip; from an address alone, to the end of flash (refused
        // when the end is not known).
        const FlashGeometry& g = jobs.Geometry();
        uint32_t length = opt.hasLength ? opt.length : 0;
        if (opt.hasAddress && !opt.hasLength) {
            length = opt.address < g.end ? g.end - opt.address : 1;
        }
        return jobs.EraseRange(opt.hasAddress ? opt.address : g.base, length);
    }
    if (c == "go") return opt.hasAddress ? jobs.GoTo(opt.address) : jobs.GoTo();
    if (c == "unprotect") return jobs.Unprotect(opt.what == "read");
    return jobs.ProtectReadout();
}

// After connecting: the chip, to the summary and to a JSON reader.
void AnnounceChip(const CDeviceJobs& jobs, CJsonHost* json, BoardResult* result) {
    const FlashGeometry& g = jobs.Geometry();
    if (!g.Known()) return;
    result->chip = g.chip->name;
    if (json != nullptr) {
        json->Chip(g.chip->name, g.chip->pid, g.flashKiB, g.base,
                   chips::LayoutText(*g.chip, g.flashKiB));
    }
}

ResetWiring WiringFor(const CliOptions& opt) {
    ResetWiring wiring;
    wiring.reset = LineNamed(opt.resetLine);
    wiring.boot = LineNamed(opt.bootLine);
    wiring.invertReset = opt.invertReset;
    wiring.invertBoot = opt.invertBoot;
    return wiring;
}

// Asked once, before any port is opened, of a link that never opens: several boards would
// each refuse it alike.
bool WiringUsable(const CliOptions& opt) {
    CSerialLink unopened;
    return CIspProtocol(unopened).SetResetWiring(WiringFor(opt));
}

// One board's run on its own link, jobs and host. board: empty for a board alone (its
// --port, or the remembered port and then the others, remembering the one found); else the
// port of one of several boards, whose lines carry it, with no bar and nothing remembered.
// Fills in the result's chip and end; returns the board's exit status.
int RunBoard(const CliOptions& opt, const std::vector<std::string>& ports, const std::string& board,
             BoardResult* result) {
    const bool several = !board.empty();
    const bool dataToStdout = opt.command == "read-out" && opt.file == "-";
    const std::string settingsFile = several ? std::string() : SettingsFilePath();
    std::unique_ptr<CTerminalHost> host;
    CJsonHost* json = nullptr;
    if (opt.json && !dataToStdout) {
        host.reset(json = new CJsonHost(ports, settingsFile));
    } else {
        host.reset(new CTerminalHost(ports, settingsFile,
                                     StderrIsTerminal() && !opt.quiet && !several,
                                     dataToStdout ? stderr : stdout));
    }
    if (several) host->SetBoard(board);
    CSerialLink link;
    link.CreatePort();
    CDeviceJobs jobs(*host, link);
    jobs.SetOptions(OptionsFor(opt, dataToStdout ? stdout : nullptr));
    jobs.SetResetWiring(WiringFor(opt));  // usable: checked before any board
    if (opt.verbose) TraceToStderr(jobs, host->LinePrefix());
    InterruptibleJob interruptible(jobs);

    JobOutcome outcome = JobOutcome::Failed;
    if (several) {
        jobs.ConnectOnly(board);
    } else {
        ConnectTarget(jobs, opt, ports, settingsFile);
    }
    ReportLatencyTimer(*host, link, opt.verbose);
    if (jobs.IsConnected()) {
        AnnounceChip(jobs, json, result);
        outcome = RunCommand(jobs, *host, opt);
    } else if (jobs.StopRequested()) {
        outcome = JobOutcome::Stopped;
    }
    // Alone, an interrupt decides the status whatever the job did; one of several boards
    // that ended before it keeps its own, and the interrupt line follows the summary.
    if (g_interruptStatus != 0 && (!several || outcome == JobOutcome::Stopped)) {
        result->end = BoardEnd::Stopped;
        if (!several) {
            std::lock_guard<std::mutex> hold(TerminalOutputLock());
            host->EndOutputLocked();
            std::fputs(InterruptedText(opt), stderr);
            std::fflush(stderr);
        }
        if (json != nullptr) json->Result(opt.command, false, g_interruptStatus);
        return g_interruptStatus;
    }
    if (jobs.DeviceGone()) BoardMessage(*host, "kestrel-isp: the device is gone (unplugged?)");
    const bool ok = outcome == JobOutcome::Done;
    result->end = ok ? BoardEnd::Ok : BoardEnd::Failed;
    const int status = ok ? kExitOk : kExitFailed;
    if (json != nullptr) json->Result(opt.command, ok, status);
    return status;
}

int RunOneBoard(CliOptions& opt, const std::vector<std::string>& ports) {
    if (!CheckInputFile(&opt) || !CheckOutputTarget(opt)) return kExitFailed;
    IgnoreClosedOutput();
    if (opt.command == "read-out" && opt.file == "-") SetBinaryMode(stdout);
    BoardResult result;
    return RunBoard(opt, ports, std::string(), &result);
}

// Each board on a thread of its own; the summary, then (when interrupted) the one line that
// says what the interrupt left.
int RunSeveralBoards(CliOptions& opt, const std::vector<std::string>& ports,
                     const std::vector<std::string>& boards) {
    // One file, or one standard stream, cannot serve several boards at once.
    if (opt.command == "read-out") {
        return UsageError("read-out takes one board at a time (one --port)");
    }
    if (opt.file == "-") return UsageError("- takes one board at a time (one --port)");
    if (!CheckInputFile(&opt)) return kExitFailed;
    IgnoreClosedOutput();
    const int status = RunOnEachPort(
        boards, opt.json, [&](BoardResult& result) { RunBoard(opt, ports, result.port, &result); });
    if (g_interruptStatus == 0) return status;
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    std::fputs(InterruptedText(opt), stderr);
    std::fflush(stderr);
    return g_interruptStatus;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions opt;
    std::string error;
    if (!ParseCliArguments(argc, argv, &opt, &error)) return UsageError(error);
    if (opt.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (opt.listChips) {
        for (const chips::Chip& chip : chips::AllChips()) {
            std::printf("%-8s 0x%03X  %-34s up to %u KB\n", chip.key, chip.pid, chip.name,
                        chips::MaxFlashKiB(chip));
        }
        return kExitOk;
    }
    if (opt.version) {
        std::printf("kestrel-isp %s\n", KESTREL_VERSION);
        return kExitOk;
    }
    SetMessageLanguage(WantsChinese(opt.lang, std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                                    std::getenv("LANG"))
                           ? Language::Chinese
                           : Language::English);
    if (opt.command == "unprotect" && opt.what == "read" && !opt.yes) {
        std::fputs(
            "kestrel-isp: unprotect read makes the chip erase its whole flash; "
            "add --yes to go ahead\n",
            stderr);
        return kExitUsage;
    }

    // While no other thread runs yet: a port starts its own at Open.
    OnInterrupt(StopRunningJobs);
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
    if (!WiringUsable(opt)) return UsageError("--reset and --boot name the same line");
    if (opt.allPorts || opt.ports.size() > 1) {
        const std::vector<std::string>& boards = opt.allPorts ? ports : opt.ports;
        if (boards.empty()) {
            std::fputs("kestrel-isp: no serial port to run on\n", stderr);
            return kExitFailed;
        }
        return RunSeveralBoards(opt, ports, boards);
    }
    return RunOneBoard(opt, ports);
}
