#include "DeviceJobs.h"

#include "Format.h"
#include "Messages.h"

CDeviceJobs::CDeviceJobs(IJobHost& host) : m_host(host) {}

bool CDeviceJobs::RefuseUnlessConnected() {
    if (m_bConnected) return false;
    m_host.AppendLog(kMsgNotConnected);
    return true;
}

void CDeviceJobs::ShowPercent(int position, int steps) {
    unsigned percent = static_cast<unsigned>(position) * 100u / static_cast<unsigned>(steps);
    m_host.SetPercentText(Format("%02d%%", static_cast<int>(percent)));
}
