#include "SimLinkBase.h"

#include <utility>

void CSimLinkBase::SleepUntilUs(uint64_t untilUs) {
    CatchUp();
    RunUntil(untilUs, nullptr);
}

void CSimLinkBase::Arm() {
    CatchUp();
    m_ring.Arm();
    m_armed = true;
    m_lineErrors = 0;
}

void CSimLinkBase::Clear() {
    CatchUp();
    m_ring.Clear();
}

void CSimLinkBase::Disarm() {
    CatchUp();
    m_ring.Disarm();
    m_armed = false;
}

int CSimLinkBase::WaitForCount(int target, uint64_t deadlineUs) {
    CatchUp();
    const auto done = [&] { return m_ring.Count() >= target || Over(); };
    if (!done()) RunUntil(deadlineUs, done);
    return m_ring.Count();
}

void CSimLinkBase::At(uint64_t atUs, std::function<void()> action) {
    m_actions.emplace(atUs, std::move(action));
}

void CSimLinkBase::Deliver(const unsigned char* bytes, int count, bool lineError) {
    if (!m_armed || count <= 0) return;
    m_ring.Append(bytes, count);
    if (lineError) ++m_lineErrors;
}

bool CSimLinkBase::RunUntil(uint64_t untilUs, const std::function<bool()>& done) {
    if (m_running) return false;
    m_running = true;
    bool stopped = false;
    for (;;) {
        const uint64_t lineDue = NextDueUs();
        const uint64_t actionDue = m_actions.empty() ? kNever : m_actions.begin()->first;
        const uint64_t next = lineDue < actionDue ? lineDue : actionDue;
        if (next == kNever || next > untilUs) break;
        // Something scheduled for a moment already past happens now.
        if (next > m_nowUs) m_nowUs = next;
        if (actionDue <= lineDue) {
            std::function<void()> action = std::move(m_actions.begin()->second);
            m_actions.erase(m_actions.begin());
            action();
        } else {
            RunDue();
        }
        if (done && done()) {
            stopped = true;
            break;
        }
    }
    if (!stopped && untilUs > m_nowUs) m_nowUs = untilUs;
    m_running = false;
    return stopped;
}
