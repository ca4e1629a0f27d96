// Read-out and write protection: the command, the chip's reset, and the link brought back.
#include <algorithm>

#include "Clock.h"
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

namespace {
// The option-byte commands reset the chip as soon as they have answered.
constexpr unsigned long kOptionResetMs = 200;
}  // namespace

void CDeviceJobs::Unprotect(bool readout) {
    if (!BeginJob()) return;
    if (!readout) {
        AfterProtectionCommand(m_isp.WriteUnprotect() != 0, kMsgWriteUnprotectDone,
                               kMsgWriteUnprotectFailed, kOptionResetMs);
        return;
    }
    // The chip erases all its flash before the second ACK, and must be left that long again
    // before it is reconnected.
    const unsigned long waitMs = MassEraseWaitMs();
    const bool sent = m_isp.ReadoutUnprotect(waitMs) != 0;
    AfterProtectionCommand(sent, kMsgReadoutUnprotectDone, kMsgReadoutUnprotectFailed, waitMs);
}

void CDeviceJobs::ProtectReadout() {
    if (!BeginJob()) return;
    AfterProtectionCommand(m_isp.ReadoutProtect() != 0, kMsgReadoutProtectDone,
                           kMsgReadoutProtectFailed, kOptionResetMs);
}

void CDeviceJobs::AfterProtectionCommand(bool sent, const char* doneText, const char* failedText,
                                         unsigned long resetWaitMs) {
    if (!sent) {
        Fail(failedText);
        return;
    }
    m_host.AppendLog(doneText);
    m_host.AppendLog(Format(kMsgWaitingForReset, resetWaitMs));
    m_isp.Clock().SleepMs(resetWaitMs);
    if (!ConnectAgain()) {
        Fail(kMsgNotBackAfterReset);
        return;
    }
    m_host.AppendLog(kMsgBackAfterReset);
    m_bLastJobOk = 1;
}

unsigned long CDeviceJobs::MassEraseWaitMs() const {
    if (m_geometry.Known()) return m_geometry.chip->massEraseMaxMs;
    // An unknown chip may be the slowest one there is.
    unsigned long longest = 0;
    for (const chips::Chip& chip : chips::AllChips()) {
        longest = std::max<unsigned long>(longest, chip.massEraseMaxMs);
    }
    return longest;
}
