// kestrel-isp: the device jobs from a terminal.
#include <sys/stat.h>

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
#include "Hints.h"
#include "ImageFile.h"
#include "IniFile.h"
#include "Json.h"
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
    "  -a, --address A        where a raw binary file goes (no other kind takes it);\n"
    "                         where read-out, erase and go start\n"
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
    "      --json             one JSON object a line instead of the log and messages, on\n"
    "                         standard output (standard error for read-out -)\n"
    "      --lang en|zh       the log's language (default: Chinese when LC_ALL,\n"
    "                         LC_MESSAGES or LANG starts with zh, else English)\n"
    "  -q, --quiet            log lines only, no progress bar\n"
    "  -v, --verbose          the bootloader's command list; each line change, command\n"
    "                         and reply in hex on standard error\n"
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

// How a run that ends before (or without) a board's host says why: a line on standard error
// and its hint, or, with --json, an error object and the result.
struct Ending {
    bool json = false;
    std::FILE* jsonTo = stdout;
    std::string command;  // empty until parsed

    ToOutput Convert() const { return json ? GbkToUtf8 : GbkToConsole; }

    // line: converted, without "kestrel-isp: "; extra: JSON members with leading commas.
    int Fail(int status, const std::string& line, const std::string& hint,
             const std::string& extra = "") const {
        std::lock_guard<std::mutex> hold(TerminalOutputLock());
        if (json) {
            const std::string objects = JsonErrorObject(line, hint, -1, extra) + "\n" +
                                        JsonResultObject(command, false, status) + "\n";
            std::fputs(objects.c_str(), jsonTo);
            std::fflush(jsonTo);
            return status;
        }
        std::fprintf(stderr, "kestrel-isp: %s\n", line.c_str());
        if (!hint.empty()) {
            std::fprintf(stderr, "kestrel-isp: %s%s\n", HintWord(Convert()).c_str(), hint.c_str());
        }
        std::fflush(stderr);
        return status;
    }

    int UsageError(const std::string& message) const {
        return Fail(kExitUsage, json ? message : message + " (try --help)", std::string());
    }
};

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

// The port a board alone starts with: the one named, else the remembered one, else the first
// listed; empty when there is none to try.
std::string StartPort(const CliOptions& opt, const std::vector<std::string>& ports,
                      const std::string& settingsFile) {
    if (!opt.ports.empty()) return opt.ports.front();
    std::string port = ReadProfileString(settingsFile, kSettingsSection, kKeyPort, "");
    if (port.empty() && !ports.empty()) port = ports.front();
    return port;
}

// Brings the link up as the dialog does, or on the given port alone.
void ConnectTarget(CDeviceJobs& jobs, const CliOptions& opt, const std::vector<std::string>& ports,
                   const std::string& settingsFile) {
    if (!opt.ports.empty()) {
        jobs.ConnectOnly(opt.ports.front());
        return;
    }
    jobs.SetPort(StartPort(opt, ports, settingsFile));
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
    // The command list is for finding out what a bootloader offers, not for every job.
    o.logBootloaderCommands = opt.verbose;
    o.loadLineInChipUnits = true;
    return o;
}

ResetWiring::Line LineNamed(const std::string& name) {
    if (name == "dtr") return ResetWiring::Dtr;
    if (name == "rts") return ResetWiring::Rts;
    return ResetWiring::None;
}

// --verbose: every line change, command and reply, as hex, through the host (standard error,
// or trace objects).
void TraceThroughHost(CDeviceJobs& jobs, CTerminalHost& host) {
    jobs.SetLineObserver([&host](const char* line, bool level) {
        host.Trace(std::string(line) + (level ? " on" : " off"));
    });
    jobs.SetTrace([&host](bool fromHost, const unsigned char* bytes, int count) {
        std::string hex = HexBytes(bytes, count);
        if (!hex.empty() && hex.back() == ' ') hex.pop_back();
        host.Trace(std::string(fromHost ? "> " : "< ") + hex);
    });
}

// What opening the port did about the adapter's latency timer.
void ReportLatencyTimer(CTerminalHost& host, const CSerialLink& link, bool verbose) {
    const std::string prefix = "kestrel-isp: ";
    const std::string line = LatencyTimerLine(link.LatencyTimer(), verbose, host.Converter());
    if (!line.empty()) host.Say(line.substr(prefix.size()), std::string());
}

// Standard input ("-"), or a file that is a pipe (a shell's <(...)), copied to a file the
// loader can open, judge and re-open once the chip is known: a pipe gives its bytes once.
// Removed at exit.
std::string g_inputCopy;
void RemoveInputCopy() {
    if (!g_inputCopy.empty()) std::remove(g_inputCopy.c_str());
}

bool CopyInput(std::FILE* from, std::string* path) {
    const int fd = MakeTemporaryFile(&g_inputCopy);
    if (fd < 0) return false;
    std::atexit(RemoveInputCopy);
    std::FILE* out = FdOpenForWriting(fd);
    char buffer[65536];
    size_t n;
    bool ok = out != nullptr;
    while (ok && (n = std::fread(buffer, 1, sizeof buffer, from)) > 0) {
        ok = std::fwrite(buffer, 1, n, out) == n;
    }
    ok = ok && !std::ferror(from);
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    *path = g_inputCopy;
    return ok;
}

// A pipe, read once like standard input. Devices are left to the judge, which reads only
// their first bytes: copying one such as /dev/zero would never end.
bool IsPipe(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// The members that name the user's file in a JSON error.
std::string PathMembers(const std::string& path) {
    return "," + JsonPathMembers(PathToUtf8(path), path);
}

// The file is judged before any port is opened. false once the ending has said why.
bool CheckInputFile(CliOptions* opt, const Ending& ending) {
    const bool takesFile = opt->command == "program" || opt->command == "verify";
    if (!takesFile) return true;
    const std::string given = opt->file;
    const std::string shown = ending.json ? PathToUtf8(given) : given;
    if (opt->file == "-") {
        SetBinaryMode(stdin);
        if (!CopyInput(stdin, &opt->file)) {
            ending.Fail(kExitFailed, "cannot read standard input", std::string(),
                        PathMembers(given));
            return false;
        }
    } else if (IsPipe(opt->file)) {
        std::FILE* from = std::fopen(opt->file.c_str(), "rb");
        const bool copied = from != nullptr && CopyInput(from, &opt->file);
        if (from != nullptr) std::fclose(from);
        if (!copied) {
            ending.Fail(kExitFailed, shown + ": " + ending.Convert()(kReasonUnreadable.Text()),
                        std::string(), PathMembers(given));
            return false;
        }
    }
    std::string kind, reason;
    if (CheckImageFile(opt->file, FormatNamed(opt->format), &kind, &reason)) {
        if (!opt->hasAddress || kind == "bin") return true;
        // Taken silently, it would only look obeyed.
        const char* name = kind == "hex" ? "Intel HEX" : kind == "srec" ? "S-record" : "ELF";
        ending.Fail(
            kExitFailed,
            shown + ": --address places raw binary; an " + name + " file gives its own addresses",
            std::string(), PathMembers(given));
        return false;
    }
    const bool named = opt->format == "hex" || opt->format == "srec" || opt->format == "elf";
    ending.Fail(kExitFailed, shown + ": " + ending.Convert()(reason),
                InputFileHint(reason, named && kind != opt->format, ending.Convert()),
                PathMembers(given));
    return false;
}

// The read-out's file is judged before any port is opened. false once the ending has said
// why.
bool CheckOutputTarget(const CliOptions& opt, const Ending& ending) {
    if (opt.command != "read-out" || opt.file == "-") return true;
    std::string reason;
    if (CheckOutputFile(opt.file, &reason)) return true;
    const std::string shown = ending.json ? PathToUtf8(opt.file) : opt.file;
    ending.Fail(kExitFailed,
                shown + ": cannot write the read-out there: " + ending.Convert()(reason),
                OutputTargetHint(reason, shown, ending.Convert()), PathMembers(opt.file));
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

// clang-format off
constexpr Message kChipLine{">>芯片：%s，FLASH %u KiB，%s\r\n", ">>Chip: %s, %u KiB of flash, %s\r\n"};
constexpr Message kChipSizeNotKnown{">>芯片：%s，FLASH容量未知\r\n", ">>Chip: %s; its flash size is not known\r\n"};
constexpr Message kChipNotIdentified{">>芯片：未识别，FLASH布局未知\r\n", ">>Chip: not identified; its flash layout is not known\r\n"};
// clang-format on

// After connecting: the chip, to the summary and to a JSON reader; in text, one line for
// every command but info, which tells the chip at length.
void AnnounceChip(const CDeviceJobs& jobs, CTerminalHost& host, CJsonHost* json,
                  const CliOptions& opt, BoardResult* result) {
    const FlashGeometry& g = jobs.Geometry();
    if (g.Known()) {
        result->chip = g.chip->name;
        if (json != nullptr) {
            json->Chip(g.chip->name, g.chip->pid, g.flashKiB, g.base,
                       chips::LayoutText(*g.chip, g.flashKiB));
        }
    }
    if (json != nullptr || opt.command == "info") return;
    if (g.Known()) {
        host.AppendLog(Format(kChipLine, g.chip->name, g.flashKiB,
                              chips::LayoutText(*g.chip, g.flashKiB).c_str()));
    } else if (g.chip != nullptr) {
        host.AppendLog(Format(kChipSizeNotKnown, g.chip->name));
    } else {
        host.AppendLog(kChipNotIdentified);
    }
}

// After no connect: what the user can do about it. A port that opened had no bootloader
// answer (the log has said so); else every port failed to open (each said why), or there
// was none to try.
void ExplainNoConnection(CTerminalHost& host, CJsonHost* json, const CliOptions& opt,
                         const std::vector<std::string>& ports) {
    if (host.PortsOpened() > 0) {
        const std::string hint = NoBootloaderHint(host.Converter());
        if (json != nullptr) {
            json->SayFailure("no bootloader answered", hint);
        } else {
            host.Say(std::string(), hint);
        }
    } else if (opt.ports.empty() && ports.empty()) {
        host.SayFailure("no serial port found", NoPortsHint(host.Converter()));
    } else if (json != nullptr) {
        json->SayFailure(host.LastOpenFailure(), host.LastOpenHint());
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
    if (opt.json) {
        host.reset(json = new CJsonHost(ports, settingsFile, dataToStdout ? stderr : stdout));
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
    if (opt.verbose) TraceThroughHost(jobs, *host);
    InterruptibleJob interruptible(jobs);

    JobOutcome outcome = JobOutcome::Failed;
    if (several) {
        jobs.ConnectOnly(board);
    } else {
        ConnectTarget(jobs, opt, ports, settingsFile);
    }
    ReportLatencyTimer(*host, link, opt.verbose);
    if (jobs.IsConnected()) {
        AnnounceChip(jobs, *host, json, opt, result);
        outcome = RunCommand(jobs, *host, opt);
    } else if (jobs.StopRequested()) {
        outcome = JobOutcome::Stopped;
    } else {
        ExplainNoConnection(*host, json, opt, ports);
    }
    // Alone, an interrupt decides the status whatever the job did; one of several boards
    // that ended before it keeps its own, and the interrupt line follows the summary.
    if (g_interruptStatus != 0 && (!several || outcome == JobOutcome::Stopped)) {
        result->end = BoardEnd::Stopped;
        if (json != nullptr) {
            std::string text = InterruptedText(opt);
            text = text.substr(std::strlen("kestrel-isp: "));
            text.pop_back();
            json->Flush();
            // A job that failed before the interrupt came has told its error already.
            if (!json->ErrorTold()) json->SayFailure(text, std::string());
            json->Result(opt.command, false, g_interruptStatus);
        } else if (!several) {
            std::lock_guard<std::mutex> hold(TerminalOutputLock());
            host->EndOutputLocked();
            std::fputs(InterruptedText(opt), stderr);
            std::fflush(stderr);
        }
        return g_interruptStatus;
    }
    if (jobs.DeviceGone()) host->Say("the device is gone (unplugged?)", std::string());
    const bool ok = outcome == JobOutcome::Done;
    result->end = ok ? BoardEnd::Ok : BoardEnd::Failed;
    const int status = ok ? kExitOk : kExitFailed;
    if (json != nullptr) json->Result(opt.command, ok, status);
    return status;
}

int RunOneBoard(CliOptions& opt, const std::vector<std::string>& ports, const Ending& ending) {
    if (!CheckInputFile(&opt, ending) || !CheckOutputTarget(opt, ending)) return kExitFailed;
    if (StartPort(opt, ports, SettingsFilePath()).empty()) {
        return ending.Fail(kExitFailed, "no serial port found", NoPortsHint(ending.Convert()));
    }
    IgnoreClosedOutput();
    if (opt.command == "read-out" && opt.file == "-") SetBinaryMode(stdout);
    BoardResult result;
    return RunBoard(opt, ports, std::string(), &result);
}

// Each board on a thread of its own; the summary, then (when interrupted) the one line that
// says what the interrupt left.
int RunSeveralBoards(CliOptions& opt, const std::vector<std::string>& ports,
                     const std::vector<std::string>& boards, const Ending& ending) {
    // One file, or one standard stream, cannot serve several boards at once.
    if (opt.command == "read-out") {
        return ending.UsageError("read-out takes one board at a time (one --port)");
    }
    if (opt.file == "-") return ending.UsageError("- takes one board at a time (one --port)");
    if (!CheckInputFile(&opt, ending)) return kExitFailed;
    IgnoreClosedOutput();
    const int status = RunOnEachPort(
        boards, opt.json, [&](BoardResult& result) { RunBoard(opt, ports, result.port, &result); });
    const int interrupted = g_interruptStatus;
    if (interrupted == 0) return status;
    // With JSON each board's objects have told of the interrupt.
    if (opt.json) return interrupted;
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    std::fputs(InterruptedText(opt), stderr);
    std::fflush(stderr);
    return g_interruptStatus;
}

// ports: each port with its adapter, a line or an object each.
int ListPorts(const std::vector<std::string>& ports, const Ending& ending) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    for (const std::string& port : ports) {
        const std::string adapter = SerialPortDescription(port);
        if (ending.json) {
            const std::string object =
                "{\"event\":\"port\",\"port\":" + JsonString(PathToUtf8(port)) +
                ",\"adapter\":" + (adapter.empty() ? std::string("null") : JsonString(adapter)) +
                "}\n";
            std::fputs(object.c_str(), stdout);
        } else if (adapter.empty()) {
            std::printf("%s\n", port.c_str());
        } else {
            std::printf("%s  %s\n", port.c_str(), adapter.c_str());
        }
    }
    const std::string hint = ports.empty() ? NoPortsHint(ending.Convert()) : std::string();
    if (ending.json) {
        if (ports.empty()) std::puts(JsonWarningObject("no serial port found", hint).c_str());
        std::puts(JsonResultObject(ending.command, true, kExitOk).c_str());
    } else if (ports.empty()) {
        std::fprintf(stderr, "kestrel-isp: no serial port found\nkestrel-isp: %s%s\n",
                     HintWord(ending.Convert()).c_str(), hint.c_str());
    }
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions opt;
    std::string error;
    Ending ending;
    if (!ParseCliArguments(argc, argv, &opt, &error)) {
        ending.json = JsonAsked(argc, argv);
        ending.command = opt.command;
        if (ReadOutToStandardOutput(argc, argv)) ending.jsonTo = stderr;
        return ending.UsageError(error);
    }
    ending.json = opt.json;
    ending.command = opt.command;
    if (opt.command == "read-out" && opt.file == "-") ending.jsonTo = stderr;
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
        return ending.Fail(kExitUsage,
                           "unprotect read makes the chip erase its whole flash; add --yes to go "
                           "ahead",
                           std::string());
    }

    // While no other thread runs yet: a port starts its own at Open.
    OnInterrupt(StopRunningJobs);
    std::vector<std::string> ports = ListSerialPorts();
    if (opt.command == "ports") return ListPorts(ports, ending);
    // Asked once, before any port is opened: several boards would each refuse it alike.
    if (!WiringFor(opt).Usable()) return ending.UsageError("--reset and --boot name the same line");
    if (opt.allPorts || opt.ports.size() > 1) {
        const std::vector<std::string>& boards = opt.allPorts ? ports : opt.ports;
        if (boards.empty()) {
            return ending.Fail(kExitFailed, "no serial port found", NoPortsHint(ending.Convert()));
        }
        return RunSeveralBoards(opt, ports, boards, ending);
    }
    return RunOneBoard(opt, ports, ending);
}
