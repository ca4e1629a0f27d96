// Bringing the link to the bootloader up: one attempt, reconnect, and the port scan.
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"
#include "StageScope.h"

namespace {
constexpr unsigned long kSettleMs = 100;  // between closing a port and the next open
}  // namespace

int CDeviceJobs::Connect(const std::string& name) {
    CStageScope stage(m_host, JobStage::Connect, 0);
    const int ok = OpenAndSync(name);
    if (ok) stage.Succeed();
    return ok;
}

ResetTiming CDeviceJobs::ConnectTiming(bool longest) const {
    ResetTiming timing;
    if (!m_options.quickWaits) return timing;
    // Without a reset line the bootloader is already listening: nothing to wait for.
    if (m_isp.GetResetWiring().reset == ResetWiring::None) return ResetTiming{0, 0, 0};
    // The port is open and its lines set: the pulse can start at once.
    timing.beforeUs = 0;
    const chips::Chip* named =
        m_options.chipKey.empty() ? nullptr : chips::FindChipByKey(m_options.chipKey);
    if (longest) {
        timing.afterUs = chips::LongestStartupUs();
    } else if (named != nullptr) {
        timing.afterUs = named->startupUs;
    }
    return timing;
}

int CDeviceJobs::OpenAndSync(const std::string& name) {
    m_portOpened = false;
    if (name.empty()) {
        m_host.AppendLog(kMsgInvalidPort);
        return 0;
    }
    if (m_stopRequested) return 0;
    if (!m_isp.Open(name, m_options.baudRate)) {
        m_host.AppendLog(Format(kMsgPortOpenFailed, name.c_str()));
        m_host.PortOpenFailed(name, m_isp.LastOpenFailure());
        return 0;
    }
    m_portOpened = true;
    m_host.AppendLog(Format(kMsgPortOpened, name.c_str()));

    const bool dialogWay = !m_options.identifyChip && m_options.chipPolicy == ChipPolicy::Dialog;
    // Newer bootloaders list Get Checksum and more; only a chip identified after Get knows.
    m_isp.SetAcceptLongerGet(m_options.identifyChip || dialogWay);
    if (m_isp.ResetAndSync() && m_isp.GetCommands()) {
        m_host.AppendLog(kMsgIspConnected);
        m_host.AppendLog(
            Format(kMsgBootloaderVersion, m_isp.Version() >> 4, m_isp.Version() & 0x0F));
        if (m_options.logBootloaderCommands) {
            m_host.AppendLog(kMsgBootloaderCommands);
            m_host.AppendHexLog(m_isp.Listed(), m_isp.ListedCount());
            m_host.AppendLog("\r\n");
        }
        if (m_options.identifyChip || dialogWay) IdentifyChip();
        // The dialog names a chip it follows; the one it was made for goes unnamed as ever.
        if (dialogWay && m_geometry.Known()) {
            m_host.AppendLog(Format(kMsgDialogChip, m_geometry.chip->name, m_geometry.flashKiB));
        }
        return 1;
    }
    // A stop is not a port that failed: it is closed without a word.
    if (!m_stopRequested) m_host.AppendLog(Format(kMsgIspFailedClosing, name.c_str()));
    m_isp.Close();
    return 0;
}

void CDeviceJobs::ConnectOnly(const std::string& name) {
    m_options.port = name;
    m_isp.SetResetTiming(ConnectTiming(false));
    m_bConnected = Connect(name);
    // A chip that is slow to start (an L4 without its 32 kHz crystal) gets one more chance on
    // a port the user named.
    const bool reset = m_isp.GetResetWiring().reset != ResetWiring::None;
    if (m_bConnected || !m_portOpened || !m_options.quickWaits || !reset || m_stopRequested) {
        return;
    }
    const ResetTiming longest = ConnectTiming(true);
    if (longest.afterUs <= m_isp.GetResetTiming().afterUs) return;
    m_host.AppendLog(Format(kMsgTryingLongerStartup, longest.afterUs / 1000));
    m_isp.SetResetTiming(longest);
    m_bConnected = Connect(name);
    m_isp.SetResetTiming(ConnectTiming(false));
}

void CDeviceJobs::Reconnect() {
    m_isp.SetResetTiming(ConnectTiming(false));
    if (m_isp.IsOpen()) {
        m_isp.Close();
        Pause(kSettleMs);
    }
    if (Connect(m_options.port)) {
        m_bConnected = 1;
        return;
    }
    // A copy: a successful scan replaces the port while the name is still compared.
    ScanPorts(std::string(m_options.port));
}

int CDeviceJobs::ConnectAgain() {
    if (m_isp.IsOpen()) {
        m_isp.Close();
        Pause(kSettleMs);
    }
    // The same port alone: a scan could find another board.
    m_bConnected = Connect(m_options.port);
    return m_bConnected;
}

void CDeviceJobs::Disconnect() {
    if (!m_isp.IsOpen()) return;
    m_bConnected = 0;
    m_isp.Close();
}

void CDeviceJobs::ScanPorts(const std::string& failedName) {
    m_bConnected = 0;
    for (int i = 0; i < m_host.PortCount() && !m_stopRequested; ++i) {
        std::string text = m_host.PortAt(i);
        if (text.empty()) return;
        if (text == failedName) continue;
        Pause(kSettleMs);
        if (Connect(text)) {
            m_bConnected = 1;
            m_options.port = text;
            m_host.StorePort(text);
            m_host.SelectPort(i);
            return;
        }
    }
}
