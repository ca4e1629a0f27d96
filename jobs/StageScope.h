// A stage of a job, told to the host when it begins and, on every path out of it, when it
// ends: failed unless Succeed was called first.
#pragma once

#include <cstdint>

#include "JobHost.h"

class CStageScope {
public:
    // totalBytes: what the steps carry in all; 0 when they carry no bytes.
    CStageScope(IJobHost& host, JobStage stage, int total, uint64_t totalBytes = 0)
        : m_host(host), m_stage(stage), m_total(total), m_totalBytes(totalBytes) {
        if (m_totalBytes != 0) m_host.StageBytes(stage, 0, m_totalBytes);
        m_host.StageBegan(stage, total);
    }
    ~CStageScope() { End(); }
    CStageScope(const CStageScope&) = delete;
    CStageScope& operator=(const CStageScope&) = delete;

    // done of the stage's total steps are behind it.
    void Progress(int done) { m_host.StageProgress(m_stage, done, m_total); }
    // The same, with the bytes those steps carried.
    void Progress(int done, uint64_t doneBytes) {
        if (m_totalBytes != 0) m_host.StageBytes(m_stage, doneBytes, m_totalBytes);
        Progress(done);
    }
    void Succeed() { m_ok = true; }
    // Ends the stage now (before a line that belongs after it); later calls do nothing.
    void End() {
        if (m_ended) return;
        m_ended = true;
        m_host.StageEnded(m_stage, m_ok);
    }

private:
    IJobHost& m_host;
    JobStage m_stage;
    int m_total;
    uint64_t m_totalBytes;
    bool m_ok = false;
    bool m_ended = false;
};
