#include "DeviceJobs.h"

#include "Format.h"
#include "Messages.h"

CDeviceJobs::CDeviceJobs(IJobHost& host) : m_host(host) {}

bool CDeviceJobs::RefuseUnlessConnected() {
    if (m_bConnected) return false;
    m_host.AppendLog(kMsgNotConnected);
    return true;
}
