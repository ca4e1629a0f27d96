// Go on its own: the bootloader jumps to the user program.
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

void CDeviceJobs::GoTo() { GoTo(m_geometry.base); }

void CDeviceJobs::GoTo(uint32_t address) {
    if (!BeginJob()) return;
    m_host.StageBegan(JobStage::Run, 0);
    const bool ok = m_isp.Go(address) != 0;
    m_host.StageEnded(JobStage::Run, ok);
    if (!ok) {
        Fail(Format(kMsgGoFailed, address), address);
        return;
    }
    m_host.AppendLog(Format(kMsgGoDone, address));
    m_bLastJobOk = 1;
}
