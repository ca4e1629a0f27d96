// The eleven request and completion signals of a serial event thread, kept as bits so a
// backend without kernel event objects can offer the same wait-for-lowest behaviour.
#pragma once

#include <atomic>
#include <cstdint>

#include "SerialSignals.h"

class SignalSet {
public:
    // Raising a signal that is already raised changes nothing: requests are not counted.
    void Raise(int index) {
        if (index < 0 || index >= kSerialSignalCount) return;
        m_bits.fetch_or(1u << index, std::memory_order_acq_rel);
    }

    // The lowest raised index, lowered again; -1 when none is raised.
    int TakeLowest() {
        uint32_t bits = m_bits.load(std::memory_order_acquire);
        while (bits != 0) {
            int index = 0;
            while ((bits & (1u << index)) == 0) ++index;
            if (m_bits.compare_exchange_weak(bits, bits & ~(1u << index),
                                             std::memory_order_acq_rel)) {
                return index;
            }
        }
        return -1;
    }

    bool IsRaised(int index) const {
        if (index < 0 || index >= kSerialSignalCount) return false;
        return (m_bits.load(std::memory_order_acquire) & (1u << index)) != 0;
    }

private:
    std::atomic<uint32_t> m_bits{0};
};
