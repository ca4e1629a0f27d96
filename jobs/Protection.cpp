// Read-out and write protection: the command, the chip's reset, and the link brought back.
#include <algorithm>

#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

namespace {
// The option-byte commands reset the chip as soon as they have answered.
constexpr unsigned long kOptionResetMs = 200;
}  // namespace

JobOutcome CDeviceJobs::Unprotect(bool readout) {
    const JobOutcome outcome = BeginJob();
    if (outcome != JobOutcome::Done) return outcome;
    if (!readout) {
        return AfterProtectionCommand(m_isp.WriteUnprotect() != 0, kMsgWriteUnprotectDone,
                                      kMsgWriteUnprotectFailed, kOptionResetMs);
    }
    // Lifting it erases the whole flash: not when there is nothing to lift. A protected chip
    // refuses the read, and then it goes ahead.
    if (ReadProtectionLevel() == 0) {
        m_host.AppendLog(kMsgNothingToUnprotect);
        return JobOutcome::Done;
    }
    // The chip erases all its flash before the second ACK, and must be left that long again
    // before it is reconnected.
    const unsigned long waitMs = MassEraseWaitMs();
    const bool sent = m_isp.ReadoutUnprotect(waitMs) != 0;
    return AfterProtectionCommand(sent, kMsgReadoutUnprotectDone, kMsgReadoutUnprotectFailed,
                                  waitMs);
}

JobOutcome CDeviceJobs::ProtectReadout() {
    const JobOutcome outcome = BeginJob();
    if (outcome != JobOutcome::Done) return outcome;
    return AfterProtectionCommand(m_isp.ReadoutProtect() != 0, kMsgReadoutProtectDone,
                                  kMsgReadoutProtectFailed, kOptionResetMs);
}

JobOutcome CDeviceJobs::AfterProtectionCommand(bool sent, const char* doneText,
                                               const char* failedText, unsigned long resetWaitMs) {
    if (!sent) return FailOnLine(failedText);
    m_host.AppendLog(doneText);
    m_host.AppendLog(Format(kMsgWaitingForReset, resetWaitMs));
    Pause(resetWaitMs);
    if (m_stopRequested) return EndStopped();
    if (!ConnectAgain()) return m_stopRequested ? EndStopped() : Fail(kMsgNotBackAfterReset);
    m_host.AppendLog(kMsgBackAfterReset);
    return JobOutcome::Done;
}

unsigned long CDeviceJobs::MassEraseWaitMs() const {
    if (m_geometry.chip != nullptr) return m_geometry.chip->massEraseMaxMs;
    // An unknown chip may be the slowest one there is.
    unsigned long longest = 0;
    for (const chips::Chip& chip : chips::AllChips()) {
        longest = std::max<unsigned long>(longest, chip.massEraseMaxMs);
    }
    return longest;
}
