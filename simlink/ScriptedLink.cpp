#include "ScriptedLink.h"

#include <algorithm>
#include <utility>

#include "OpenFailure.h"

CScriptedLink::CScriptedLink(std::vector<ScriptStep> script) : m_script(std::move(script)) {}

int CScriptedLink::Open(const std::string& name, int /*baudRate*/) {
    CatchUp();
    LiftStop();
    m_open = false;
    if (name.empty() || m_unplugged) {
        m_lastOpenFailure = OpenFailureNoDevice;
        return 0;
    }
    m_lastOpenFailure = OpenFailureNone;
    m_open = true;
    if (!m_started) {
        m_started = true;
        FireEmptySteps();
    }
    return 1;
}

void CScriptedLink::Close() {
    CatchUp();
    m_open = false;
}

void CScriptedLink::Send(const unsigned char* bytes, int length) {
    CatchUp();
    if (!m_open || bytes == nullptr || length <= 0 || length > kMaxSend) return;
    for (int i = 0; i < length; ++i) {
        m_hostLog.push_back({NowUs(), true, bytes[i]});
        m_sinceStep.push_back(bytes[i]);
        if (m_step >= m_script.size()) continue;
        const std::vector<uint8_t>& trigger = m_script[m_step].trigger;
        if (m_sinceStep.size() >= trigger.size() &&
            std::equal(trigger.begin(), trigger.end(), m_sinceStep.end() - trigger.size())) {
            FireStep();
            FireEmptySteps();
        }
    }
}

void CScriptedLink::SetLine(LinkLine line, bool on) {
    CatchUp();
    if (m_open) RecordLine(line, on);
}

void CScriptedLink::Inject(const std::vector<uint8_t>& bytes) { m_due.emplace(NowUs(), bytes); }

void CScriptedLink::Unplug() {
    CatchUp();
    m_unplugged = true;
    m_open = false;
    m_due.clear();
}

std::vector<uint8_t> CScriptedLink::HostBytes() const {
    std::vector<uint8_t> bytes;
    for (const sim::WireByte& b : m_hostLog) bytes.push_back(b.value);
    return bytes;
}

void CScriptedLink::FireStep() {
    uint64_t due = NowUs();
    for (const ReplyPiece& piece : m_script[m_step].pieces) {
        due += static_cast<uint64_t>(piece.delayMs) * 1000;
        m_due.emplace(due, piece.bytes);
    }
    ++m_step;
    m_sinceStep.clear();
}

void CScriptedLink::FireEmptySteps() {
    while (m_step < m_script.size() && m_script[m_step].trigger.empty()) FireStep();
}

uint64_t CScriptedLink::NextDueUs() const { return m_due.empty() ? kNever : m_due.begin()->first; }

void CScriptedLink::RunDue() {
    const std::vector<uint8_t> bytes = std::move(m_due.begin()->second);
    m_due.erase(m_due.begin());
    // Written to a port nobody has open, they are lost.
    if (m_open) Deliver(bytes.data(), static_cast<int>(bytes.size()), false);
}
