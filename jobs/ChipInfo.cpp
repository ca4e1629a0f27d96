// Chip information: bootloader version with the option bytes, and the product ID.
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

JobOutcome CDeviceJobs::ReadChipInfo() {
    JobOutcome outcome = BeginJob();
    if (outcome != JobOutcome::Done) return outcome;

    unsigned char version[3] = {};
    if (m_isp.GetVersionAndProtection(version)) {
        m_host.AppendLog(Format(kMsgVersionAndOptions, version[0] >> 4, version[0] & 0x0F,
                                version[1], version[2]));
    } else {
        outcome = FailOnLine(kMsgVersionFailed);
        if (outcome == JobOutcome::Stopped) return outcome;
    }

    // A failed first command does not stop the second.
    Pause(100);

    unsigned char id[2] = {};
    if (m_isp.GetChipId(id)) {
        m_host.AppendLog(Format(kMsgChipId, id[0], id[1]));
    } else {
        outcome = FailOnLine(kMsgChipIdFailed);
        if (outcome == JobOutcome::Stopped) return outcome;
    }
    if (m_options.identifyChip) ReportChip();
    return outcome;
}
