// Go on its own: the bootloader jumps to the user program.
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"
#include "StageScope.h"

JobOutcome CDeviceJobs::GoTo() { return GoTo(m_geometry.base); }

JobOutcome CDeviceJobs::GoTo(uint32_t address) {
    const JobOutcome outcome = BeginJob();
    if (outcome != JobOutcome::Done) return outcome;
    bool started = false;
    {
        CStageScope stage(m_host, JobStage::Run, 0);
        started = m_isp.Go(address) != 0;
        if (started) stage.Succeed();
    }
    if (!started) return FailOnLine(Format(kMsgGoFailed, address), address);
    m_host.AppendLog(Format(kMsgGoDone, address));
    return JobOutcome::Done;
}
