// Chip information: bootloader version with the option bytes, and the product ID.
#include "Clock.h"
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

void CDeviceJobs::ReadChipInfo() {
    if (!BeginJob()) return;

    int ok = 1;
    unsigned char version[3] = {};
    if (m_isp.GetVersionAndProtection(version)) {
        m_host.AppendLog(Format(kMsgVersionAndOptions, version[0] >> 4, version[0] & 0x0F,
                                version[1], version[2]));
    } else {
        Fail(kMsgVersionFailed);
        ok = 0;
    }

    // A failed first command does not stop the second.
    m_isp.Clock().SleepMs(100);

    unsigned char id[2] = {};
    if (m_isp.GetChipId(id)) {
        m_host.AppendLog(Format(kMsgChipId, id[0], id[1]));
    } else {
        Fail(kMsgChipIdFailed);
        ok = 0;
    }
    if (m_options.identifyChip) ReportChip();
    m_bLastJobOk = ok;
}
