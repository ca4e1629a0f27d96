#include "DeviceJobs.h"

#include "Format.h"
#include "Messages.h"

CDeviceJobs::CDeviceJobs(IJobHost& host, ILink& link) : m_host(host), m_isp(link) {}

bool CDeviceJobs::BeginJob() {
    m_bLastJobOk = 0;
    m_failureReported = false;
    return !RefuseUnlessConnected();
}

bool CDeviceJobs::RefuseUnlessConnected() {
    if (m_bConnected) return false;
    Fail(kMsgNotConnected);
    return true;
}

void CDeviceJobs::Fail(const std::string& line, int64_t address) {
    m_host.AppendLog(line);
    ReportFailure(line, address);
}

void CDeviceJobs::ReportFailure(const std::string& line, int64_t address) {
    if (m_failureReported) return;
    m_failureReported = true;
    const size_t end = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0
                           ? line.size() - 2
                           : line.size();
    m_host.Failed(line.substr(0, end), address);
}

bool CDeviceJobs::Retried(uint32_t address, const std::function<int()>& op) {
    if (op()) return true;
    for (int n = 1; n <= m_options.retries; ++n) {
        m_host.AppendLog(Format(kMsgRetryBlock, address, n, m_options.retries));
        // A resync that fails counts as a try: the target may yet answer the next one.
        if (m_isp.Resync() && op()) return true;
    }
    return false;
}
