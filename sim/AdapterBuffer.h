// The receiving side of a USB-serial adapter such as an FTDI chip: bytes off the target's
// wire wait in the adapter until a USB packet is full or its latency timer, started by the
// first byte waiting, expires; then everything waiting goes to the host at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

class AdapterBuffer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kPacketBytes = 62;  // a 64-byte USB packet less its two status bytes

    struct Packet {
        std::vector<uint8_t> bytes;
        Clock::time_point due;
        // From its last byte's arrival to its release: what the adapter added to the wire.
        Clock::duration held{0};
    };

    explicit AdapterBuffer(uint32_t latencyMs = 0) : m_latencyMs(latencyMs) {}

    // A byte off the wire at `at`; whatever was due before then must have been taken first.
    // True when it is the first one waiting: a batch starts, and with it the timer.
    bool Put(uint8_t byte, Clock::time_point at);
    // When the waiting bytes go; Clock::time_point::max() while none wait.
    Clock::time_point Due() const;
    // Takes the waiting bytes when they are due by `now`.
    bool TakeDue(Clock::time_point now, Packet* packet);
    bool Empty() const { return m_bytes.empty(); }
    bool Full() const { return m_bytes.size() >= kPacketBytes; }
    void Clear() { m_bytes.clear(); }

    // Batches started so far; names the one waiting.
    uint64_t Batch() const { return m_batch; }
    uint32_t Latency() const { return m_latencyMs; }
    // The latency of the batches to come; the one waiting keeps its own.
    void SetLatency(uint32_t ms) { m_latencyMs = ms; }
    // The waiting batch's latency is being looked up: until SettleBatch it is held for the
    // longer of the last latency and `wait`.
    void AwaitLatency(Clock::duration wait);
    // The waiting batch's latency, and that of the batches to come.
    void SettleBatch(uint32_t ms);

private:
    std::vector<uint8_t> m_bytes;
    Clock::time_point m_first;  // arrival of the batch's first byte
    Clock::time_point m_last;   // arrival of the latest byte
    Clock::duration m_hold{0};  // the waiting batch's latency
    uint32_t m_latencyMs;
    uint64_t m_batch = 0;
};

}  // namespace sim
