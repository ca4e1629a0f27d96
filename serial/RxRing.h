// Receive capture ring: where received serial bytes wait for the bootloader client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

// The serial event thread appends; the client (one reader thread) arms, polls, disarms
// and reads out. Appends are stored only while armed; when 1024 bytes are unread, new
// bytes are dropped and the oldest stay.
class RxRing {
public:
    static constexpr int kSize = 1024;
    static constexpr int kMask = kSize - 1;

    RxRing();
    ~RxRing();
    RxRing(const RxRing&) = delete;
    RxRing& operator=(const RxRing&) = delete;

    // Writer. Stores the bytes in order while armed; nothing once Disarm has returned.
    void Append(const unsigned char* data, int length);

    // Readers. Arm, Clear and Disarm wait for an append in progress: nothing is stored
    // after Disarm returns, and an append never straddles an Arm or a Clear. The others
    // never block.
    void Arm();                         // capture on, read index and count 0, abort lifted
    void Clear();                       // read index and count 0, capture unchanged
    void Disarm();                      // capture off
    int Count() const;                  // fresh on every call
    unsigned char ByteAt(int k) const;  // (read index + k) mod 1024; k is not checked
    bool Take(unsigned char* out);      // false (and nothing changes) when empty
    void Reframe(int k, int n);         // read index += k (mod 1024), count = n

    // Sleeps until at least target bytes are unread, the ring is aborted, or ms milliseconds
    // have passed, and returns the count then. Only the append that reaches the target (or
    // an Abort) wakes the waiter.
    int WaitForCount(int target, unsigned long ms);

    // From any thread, when no more bytes will come (the device went away): wakes a waiter
    // at once, and every later wait returns at once, until the next Arm.
    void Abort();

private:
    std::atomic<int> m_bCapture;
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;  // signalled by the append that reaches m_nWakeAt
    int m_nWakeAt;                      // the waiter's target; above kSize while none waits
    bool m_bAborted;                    // under m_lock
    std::atomic<int> m_nCount;
    std::atomic<int> m_nReadIndex;
    unsigned char m_buffer[kSize];
};

// The process's one ring, fed by OnSerialEvent and read by CIspProtocol.
extern RxRing g_rxRing;
