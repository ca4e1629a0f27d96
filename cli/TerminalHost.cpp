#include "TerminalHost.h"

#include <cctype>
#include <cstring>

#include "Format.h"
#include "IniFile.h"
#include "MultiBoard.h"
#include "OpenFailure.h"
#include "Platform.h"
#include "Progress.h"
#include "SettingNames.h"

std::mutex& TerminalOutputLock() {
    // Never destroyed: a thread may still take it while the process exits.
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::string OpenFailureText(int reason) {
    switch (reason) {
        case OpenFailureNoDevice:
            return "no such device";
        case OpenFailurePermission:
            return "permission denied";
        case OpenFailureInUse:
            return "in use by another program";
        case OpenFailureNone:
            return "not a serial port that can be set up";
        default:
            return "the system refused to open it";
    }
}

std::string LatencyTimerLine(const LatencyTimerNote& note, bool verbose, ToOutput convert) {
    if (convert == nullptr) convert = GbkToConsole;
    const std::string prefix = "kestrel-isp: ";
    const std::string ms = std::to_string(note.foundMs) + " ms";
    switch (note.kind) {
        case LatencyTimerNote::Lowered:
            if (!verbose) return std::string();
            return prefix + "the adapter's latency timer at " + note.port +
                   " is 1 ms while the port is open (it was " + ms + ")";
        case LatencyTimerNote::NotLowered: {
            if (!verbose) return std::string();
            std::string why = std::strerror(note.error);
            if (!why.empty())
                why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
            return prefix + "cannot lower the adapter's latency timer (" + ms + ") at " +
                   note.port + ": " + why + "; see the udev rule in the README";
        }
        case LatencyTimerNote::HighInSettings:
            // Literals are GBK; this one has arrows. The port's name is not converted.
            return prefix + "the adapter's latency timer at " + note.port + " is " + ms +
                   convert(
                       ", which delays every reply; lower it in Device Manager → Port "
                       "Settings → Advanced → Latency Timer");
        default:
            return std::string();
    }
}

CTerminalHost::CTerminalHost(std::vector<std::string> ports, std::string settingsFile,
                             bool showProgress, std::FILE* logTo)
    : m_ports(std::move(ports)),
      m_settingsFile(std::move(settingsFile)),
      m_showProgress(showProgress),
      m_logTo(logTo) {
    if (m_showProgress) m_ticker = std::thread([this] { Tick(); });
}

CTerminalHost::~CTerminalHost() {
    {
        std::lock_guard<std::mutex> hold(TerminalOutputLock());
        m_stopTicking = true;
        EndOutputLocked();
    }
    m_tickWake.notify_all();
    if (m_ticker.joinable()) m_ticker.join();
}

void CTerminalHost::SetBarOutput(std::FILE* to, Clock clock) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    m_barTo = to;
    m_now = std::move(clock);
}

void CTerminalHost::SetBoard(const std::string& port) {
    m_board = port;
    m_linePrefix = BoardLinePrefix(port);
}

void CTerminalHost::Tick() {
    std::unique_lock<std::mutex> hold(TerminalOutputLock());
    while (!m_stopTicking) {
        m_tickWake.wait_for(hold, std::chrono::seconds(1));
        if (!m_stopTicking) DrawBar();
    }
}

void CTerminalHost::EndOutputLocked() {
    ClearBar();
    if (!m_pending.empty()) {
        std::fputs(m_linePrefix.c_str(), m_logTo);
        std::fwrite(m_pending.data(), 1, m_pending.size(), m_logTo);
        std::fputc('\n', m_logTo);
        m_pending.clear();
    }
    std::fflush(m_logTo);
}

void CTerminalHost::AppendLog(const std::string& text) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    AppendLocked(GbkToConsole(text));
}

void CTerminalHost::FileSaved(const std::string& path) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    // The user's own text, already in the console's encoding.
    AppendLocked(path);
}

void CTerminalHost::AppendLocked(const std::string& consoleText) {
    m_pending += consoleText;

    // Whole lines go out as they end; "\r\n" becomes the platform's line end.
    size_t end;
    bool wrote = false;
    while ((end = m_pending.find("\r\n")) != std::string::npos) {
        if (!wrote) ClearBar();
        wrote = true;
        std::fputs(m_linePrefix.c_str(), m_logTo);
        std::fwrite(m_pending.data(), 1, end, m_logTo);
        std::fputc('\n', m_logTo);
        m_pending.erase(0, end + 2);
    }
    if (wrote) {
        std::fflush(m_logTo);
        DrawBar();
    }
}

void CTerminalHost::AppendHexLog(const unsigned char* bytes, int count) {
    AppendLog(HexBytes(bytes, count));
}

void CTerminalHost::CountStage(JobStage stage) {
    if (stage == JobStage::Connect) ++m_connectTries;
}

void CTerminalHost::StageBegan(JobStage stage, int /*total*/) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    CountStage(stage);
    m_stage = stage;
    m_hasBar = BarStageName(stage) != nullptr;
    if (!m_bytesTold) m_doneBytes = m_totalBytes = 0;
    m_stageStart = m_now();
    DrawBar();
}

void CTerminalHost::StageProgress(JobStage /*stage*/, int /*done*/, int /*total*/) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    DrawBar();
}

void CTerminalHost::StageBytes(JobStage /*stage*/, uint64_t doneBytes, uint64_t totalBytes) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    m_bytesTold = true;
    m_doneBytes = doneBytes;
    m_totalBytes = totalBytes;
}

void CTerminalHost::StageEnded(JobStage stage, bool ok) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    ClearBar();
    if (m_showProgress && m_hasBar && ok) {
        const std::string closing = StageClosingText(stage, m_doneBytes, StageSeconds());
        std::fprintf(m_barTo, "%s%s\n", m_linePrefix.c_str(), closing.c_str());
        std::fflush(m_barTo);
    }
    m_hasBar = false;
    m_bytesTold = false;
    m_doneBytes = m_totalBytes = 0;
}

std::string CTerminalHost::PortAt(int index) {
    if (index < 0 || index >= PortCount()) return std::string();
    return m_ports[static_cast<size_t>(index)];
}

bool CTerminalHost::PromptSaveFile(std::string* path) {
    if (m_savePath.empty()) return false;
    *path = m_savePath;
    return true;
}

void CTerminalHost::StorePort(const std::string& port) {
    if (m_settingsFile.empty()) return;
    // Like the dialog's settings writes, a failure here is not reported.
    if (MakeParentDirectories(m_settingsFile)) {
        WriteProfileString(m_settingsFile, kSettingsSection, kKeyPort, port);
    }
}

void CTerminalHost::CountOpenFailure(const std::string& name, int reason, std::string* line,
                                     std::string* hint) {
    const std::string group = reason == OpenFailurePermission ? DeviceGroup(name) : std::string();
    *line = "cannot open " + name + ": " + OpenFailureText(reason);
    *hint = OpenFailureHint(reason, group, Converter());
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    ++m_openFailures;
    m_lastOpenFailure = *line;
    m_lastOpenHint = *hint;
}

void CTerminalHost::PortOpenFailed(const std::string& name, int reason) {
    std::string line, hint;
    CountOpenFailure(name, reason, &line, &hint);
    Say(line, hint);
}

void CTerminalHost::Failed(const std::string& what, int64_t /*address*/) {
    const std::string hint = FailureHint(what, Converter());
    // Right behind the failure's log line.
    if (!hint.empty()) Say(std::string(), hint);
}

ToOutput CTerminalHost::Converter() const { return GbkToConsole; }

void CTerminalHost::WriteMessageLocked(const std::string& line, const std::string& hint,
                                       bool endLogLine) {
    // A trace line comes between the pieces of a log line; the bar goes either way.
    if (endLogLine) {
        EndOutputLocked();
    } else {
        ClearBar();
    }
    if (!line.empty())
        std::fprintf(stderr, "%skestrel-isp: %s\n", m_linePrefix.c_str(), line.c_str());
    if (!hint.empty()) {
        std::fprintf(stderr, "%skestrel-isp: %s%s\n", m_linePrefix.c_str(),
                     HintWord(Converter()).c_str(), hint.c_str());
    }
    std::fflush(stderr);
    DrawBar();
}

void CTerminalHost::Say(const std::string& line, const std::string& hint) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    WriteMessageLocked(line, hint, true);
}

void CTerminalHost::SayFailure(const std::string& line, const std::string& hint) {
    Say(line, hint);
}

void CTerminalHost::Trace(const std::string& text) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    WriteMessageLocked(text, std::string(), false);
}

double CTerminalHost::StageSeconds() const {
    return std::chrono::duration<double>(m_now() - m_stageStart).count();
}

void CTerminalHost::DrawBar() {
    if (!m_showProgress || !m_hasBar) return;
    const std::string text = BarText(m_stage, m_doneBytes, m_totalBytes, StageSeconds());
    // Trailing blanks cover what a longer bar left.
    const size_t length = m_linePrefix.size() + text.size();
    const size_t cover = m_barShown > length ? m_barShown - length : 0;
    std::fprintf(m_barTo, "\r%s%s%*s", m_linePrefix.c_str(), text.c_str(), static_cast<int>(cover),
                 "");
    std::fflush(m_barTo);
    m_barShown = length + cover;
}

void CTerminalHost::ClearBar() {
    if (m_barShown == 0) return;
    std::fprintf(m_barTo, "\r%*s\r", static_cast<int>(m_barShown), "");
    std::fflush(m_barTo);
    m_barShown = 0;
}
