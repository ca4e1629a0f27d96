#include "RxRing.h"

#include <chrono>
#include <cstring>

RxRing g_rxRing;

RxRing::RxRing()
    : m_bCapture(0), m_nWakeAt(kSize + 1), m_bAborted(false), m_nCount(0), m_nReadIndex(0) {
    std::memset(m_buffer, 0, sizeof(m_buffer));
}

RxRing::~RxRing() {
    m_nCount.store(0);
    m_nReadIndex.store(0);
}

void RxRing::Append(const unsigned char* data, int length) {
    // Cheap test first: while disarmed every byte of the line passes through here.
    if (!m_bCapture.load(std::memory_order_acquire) || data == nullptr || length <= 0) return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        // Tested again under the lock: Disarm clears the flag under the same lock, so no
        // append that began before Disarm can store anything after it.
        if (!m_bCapture.load(std::memory_order_relaxed)) return;
        const int count = m_nCount.load(std::memory_order_relaxed);
        const int readIndex = m_nReadIndex.load(std::memory_order_relaxed);
        const int stored = length < kSize - count ? length : kSize - count;
        if (stored <= 0) return;
        for (int i = 0; i < stored; ++i) m_buffer[(readIndex + count + i) & kMask] = data[i];
        // One publication per append; the reader sleeps on until the bytes it waits for
        // are in, so a reply arriving a byte at a time costs it one wake-up, not one a byte.
        m_nCount.store(count + stored, std::memory_order_release);
        wake = count + stored >= m_nWakeAt;
    }
    if (wake) m_arrived.notify_all();
}

void RxRing::Arm() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_nReadIndex.store(0, std::memory_order_relaxed);
    m_nCount.store(0, std::memory_order_release);
    m_bAborted = false;
    m_bCapture.store(1, std::memory_order_release);
}

void RxRing::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_nReadIndex.store(0, std::memory_order_relaxed);
    m_nCount.store(0, std::memory_order_release);
}

void RxRing::Disarm() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bCapture.store(0, std::memory_order_release);
}

int RxRing::Count() const { return m_nCount.load(std::memory_order_acquire); }

unsigned char RxRing::ByteAt(int k) const {
    return m_buffer[(m_nReadIndex.load(std::memory_order_relaxed) + k) & kMask];
}

bool RxRing::Take(unsigned char* out) {
    const int count = m_nCount.load(std::memory_order_acquire);
    if (count <= 0) return false;
    const int readIndex = m_nReadIndex.load(std::memory_order_relaxed);
    if (out != nullptr) *out = m_buffer[readIndex];
    m_nReadIndex.store((readIndex + 1) & kMask, std::memory_order_relaxed);
    m_nCount.store(count - 1, std::memory_order_release);
    return true;
}

void RxRing::Reframe(int k, int n) {
    m_nReadIndex.store((m_nReadIndex.load(std::memory_order_relaxed) + k) & kMask,
                       std::memory_order_relaxed);
    m_nCount.store(n, std::memory_order_release);
}

int RxRing::WaitForCount(int target, unsigned long ms) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_nWakeAt = target;
    m_arrived.wait_for(hold, std::chrono::milliseconds(ms), [&] {
        return m_bAborted || m_nCount.load(std::memory_order_relaxed) >= target;
    });
    m_nWakeAt = kSize + 1;
    return m_nCount.load(std::memory_order_acquire);
}

void RxRing::Abort() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bAborted = true;
    }
    m_arrived.notify_all();
}
