#include "DeviceJobs.h"

#include <climits>

#include "Format.h"
#include "Messages.h"

namespace {

// Why a command on the line failed, for a failure line that says so.
const Message* WhyText(IspOutcome outcome) {
    switch (outcome) {
        case IspOutcome::Refused:
            return &kWhyRefused;
        case IspOutcome::NoAnswer:
            return &kWhyNoAnswer;
        case IspOutcome::Malformed:
            return &kWhyMalformed;
        case IspOutcome::Gone:
            return &kWhyGone;
        default:
            return nullptr;
    }
}

// The line without its "\r\n".
std::string WithoutLineEnd(const std::string& line) {
    const bool ended = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0;
    return ended ? line.substr(0, line.size() - 2) : line;
}

}  // namespace

CDeviceJobs::CDeviceJobs(IJobHost& host, ILink& link) : m_host(host), m_isp(link) {}

JobOutcome CDeviceJobs::BeginJob() {
    m_failureReported = false;
    if (m_stopRequested) return EndStopped();
    if (!m_bConnected) return Fail(kMsgNotConnected);
    if (!m_contradiction.empty()) return Fail(m_contradiction);
    return JobOutcome::Done;
}

JobOutcome CDeviceJobs::Fail(const std::string& line, int64_t address) {
    m_host.AppendLog(line);
    ReportFailure(line, address);
    return JobOutcome::Failed;
}

JobOutcome CDeviceJobs::FailOnLine(const std::string& line, int64_t address) {
    if (m_stopRequested) return EndStopped();
    const Message* why = m_options.explainFailures ? WhyText(m_isp.LastOutcome()) : nullptr;
    if (why == nullptr) return Fail(line, address);
    return Fail(Format(kMsgBecause, WithoutLineEnd(line).c_str(), why->Text()), address);
}

void CDeviceJobs::ReportFailure(const std::string& line, int64_t address) {
    if (m_failureReported) return;
    m_failureReported = true;
    m_host.Failed(WithoutLineEnd(line), address);
}

JobOutcome CDeviceJobs::EndStopped() {
    m_bConnected = 0;
    m_isp.Close();
    return JobOutcome::Stopped;
}

void CDeviceJobs::RequestStop() {
    m_stopRequested = true;
    m_isp.Stop();
}

bool CDeviceJobs::Retried(uint32_t address, const std::function<int()>& op) {
    if (op()) return true;
    for (int n = 1; n <= m_options.retries && !m_stopRequested; ++n) {
        m_host.AppendLog(Format(kMsgRetryBlock, address, n, m_options.retries));
        // A resync that fails counts as a try: the target may yet answer the next one.
        if (m_isp.Resync() && op()) return true;
    }
    return false;
}

void CDeviceJobs::Pause(unsigned long ms) { m_isp.Pause(ms); }

std::vector<unsigned char> CDeviceJobs::BootloaderCommands() const {
    return std::vector<unsigned char>(m_isp.Listed(), m_isp.Listed() + m_isp.ListedCount());
}

JobOutcome CDeviceJobs::RequireLayout(bool lengthWouldDo) {
    if (m_geometry.Known()) return JobOutcome::Done;
    // Without the command line's identification the jobs never ask.
    if (m_unknownSeen.empty()) return Fail(kMsgEraseNeedsChip);
    return Fail(NotKnownLine(lengthWouldDo));
}

PageLayout CDeviceJobs::Layout() const {
    const FlashGeometry& g = m_geometry;
    PageLayout layout{g.base, g.pageSize, 0};
    if (g.Known()) layout.units = g.units;
    // A whole-flash erase is awaited for the chip's worst case; on the command line, for an
    // unknown chip, for the slowest there is. Without a chip (the fixed way: the dialog on
    // its F103 or on a chip it cannot identify) the usual window.
    if (g.chip != nullptr || m_options.identifyChip) layout.wholeFlashWaitMs = MassEraseWaitMs();
    if (m_options.eraseInRuns) {
        // One erase command names at most 255 pages (one byte each), or as many two-byte
        // numbers as fit one send.
        const bool basic = m_isp.Command(CIspProtocol::SlotErase) == 0x43;
        layout.unitsPerErase = basic ? 255 : (ILink::kMaxSend - 3) / 2;
    }
    const chips::EraseQuirk* quirk = g.chip != nullptr ? chips::FindEraseQuirk(*g.chip) : nullptr;
    if (quirk != nullptr) {
        if (quirk->kind == chips::EraseQuirk::OneUnitPerCommand) layout.unitsPerErase = 1;
        layout.pauseAfterEraseMs = quirk->pauseMs;
        layout.earlyAckInBank2 = quirk->kind == chips::EraseQuirk::EarlyAckInBank2;
    }
    return layout;
}
