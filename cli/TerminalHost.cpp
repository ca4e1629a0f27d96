#include "TerminalHost.h"

#include <cctype>
#include <cstring>

#include "Format.h"
#include "IniFile.h"
#include "MultiBoard.h"
#include "OpenFailure.h"
#include "Platform.h"
#include "SettingNames.h"

namespace {

constexpr int kBarWidth = 40;

// The name shown beside the bar; stages that pass quickly get no bar.
const char* BarStageName(JobStage stage) {
    switch (stage) {
        case JobStage::Erase:
            return "erasing";
        case JobStage::Write:
            return "writing";
        case JobStage::Verify:
            return "verifying";
        case JobStage::ReadOut:
            return "reading";
        default:
            return nullptr;
    }
}

}  // namespace

std::mutex& TerminalOutputLock() {
    // Never destroyed: a thread may still take it while the process exits.
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::string OpenFailureText(int reason, const std::string& group) {
    switch (reason) {
        case OpenFailureNoDevice:
            return "no such device";
        case OpenFailurePermission: {
            std::string name = group.empty() ? "dialout" : group;
            return "permission denied (add your user to the group that owns it, " +
                   (group.empty() ? "e.g. `dialout`" : "`" + group + "`") + ": sudo usermod -aG " +
                   name + " $USER, then log in again)";
        }
        case OpenFailureInUse:
            return "in use by another program";
        case OpenFailureNone:
            return "not a serial port that can be set up";
        default:
            return "the system refused to open it";
    }
}

std::string LatencyTimerLine(const LatencyTimerNote& note, bool verbose) {
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
                   GbkToConsole(
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

void CTerminalHost::StageBegan(JobStage stage, int total) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    m_stage = BarStageName(stage);
    m_total = total > 0 ? total : 1;
    m_done = 0;
    m_stageStart = std::chrono::steady_clock::now();
    DrawBar();
}

void CTerminalHost::StageProgress(JobStage /*stage*/, int done, int total) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    m_total = total > 0 ? total : 1;
    m_done = done < 0 ? 0 : (done > m_total ? m_total : done);
    DrawBar();
}

void CTerminalHost::StageEnded(JobStage /*stage*/, bool /*ok*/) {
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    ClearBar();
    m_stage = nullptr;
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

void CTerminalHost::PortOpenFailed(const std::string& name, int reason) {
    std::string group = reason == OpenFailurePermission ? DeviceGroup(name) : std::string();
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    ClearBar();
    std::fprintf(stderr, "%skestrel-isp: cannot open %s: %s\n", m_linePrefix.c_str(), name.c_str(),
                 OpenFailureText(reason, group).c_str());
    std::fflush(stderr);
}

void CTerminalHost::DrawBar() {
    if (!m_showProgress || !m_stage) return;
    int filled = static_cast<int>(static_cast<long>(m_done) * kBarWidth / m_total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '-');
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - m_stageStart)
                             .count();
    std::fprintf(stderr, "\r[%s] %3ld%% %-10s %4lds", bar.c_str(),
                 static_cast<long>(m_done) * 100 / m_total, m_stage, static_cast<long>(elapsed));
    std::fflush(stderr);
    m_barShown = true;
}

void CTerminalHost::ClearBar() {
    if (!m_barShown) return;
    std::fprintf(stderr, "\r%*s\r", kBarWidth + 30, "");
    std::fflush(stderr);
    m_barShown = false;
}
