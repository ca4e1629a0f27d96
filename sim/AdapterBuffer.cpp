#include "AdapterBuffer.h"

#include <algorithm>

namespace sim {

bool AdapterBuffer::Put(uint8_t byte, Clock::time_point at) {
    const bool first = m_bytes.empty();
    if (first) {
        ++m_batch;
        m_first = at;
        m_hold = std::chrono::milliseconds(m_latencyMs);
    }
    m_bytes.push_back(byte);
    m_last = at;
    return first;
}

AdapterBuffer::Clock::time_point AdapterBuffer::Due() const {
    if (m_bytes.empty()) return Clock::time_point::max();
    if (m_bytes.size() >= kPacketBytes) return m_last;
    return m_first + m_hold;
}

bool AdapterBuffer::TakeDue(Clock::time_point now, Packet* packet) {
    const Clock::time_point due = Due();
    if (m_bytes.empty() || due > now) return false;
    packet->bytes.swap(m_bytes);
    m_bytes.clear();
    packet->due = due;
    packet->held = std::max(Clock::duration::zero(), due - m_last);
    return true;
}

void AdapterBuffer::AwaitLatency(Clock::duration wait) {
    m_hold = std::max<Clock::duration>(std::chrono::milliseconds(m_latencyMs), wait);
}

void AdapterBuffer::SettleBatch(uint32_t ms) {
    m_latencyMs = ms;
    m_hold = std::chrono::milliseconds(ms);
}

}  // namespace sim
