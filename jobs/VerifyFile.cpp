// Verifying a file: the pages it gives data to are read back and compared; nothing is written.
#include "DeviceJobs.h"
#include "ErasePlan.h"

void CDeviceJobs::VerifyFile() {
    if (!BeginJob()) return;
    if (!LoadImage() || RefuseImageBeyondFlash()) return;

    const FlashGeometry& g = m_geometry;
    PageLayout layout{g.base, g.pageSize, 0};
    if (g.Known()) layout.units = g.units;
    // Page mode leaves the pages without data alone, so only those with data are read back.
    const CErasePlan plan(false, m_image, layout, m_isp.Command(CIspProtocol::SlotErase));
    const int blockCount = static_cast<int>(m_image.PageCount() * BlocksPerPage());
    m_bLastJobOk = VerifyPages(plan, blockCount) ? 1 : 0;
}
