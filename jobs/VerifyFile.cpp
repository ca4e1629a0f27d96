// Verifying a file: the pages it gives data to are read back and compared; nothing is written.
#include "DeviceJobs.h"
#include "ErasePlan.h"

JobOutcome CDeviceJobs::VerifyFile() {
    const JobOutcome outcome = BeginJob();
    if (outcome != JobOutcome::Done) return outcome;
    if (!LoadImage() || RefuseImageBeyondFlash()) return JobOutcome::Failed;
    // Page mode leaves the pages without data alone, so only those with data are read back.
    const CErasePlan plan(false, m_image, Layout(), m_isp.Command(CIspProtocol::SlotErase));
    return VerifyPages(plan);
}
