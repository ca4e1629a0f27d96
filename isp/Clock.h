// The clock on which every delay, reply window and logged duration is measured. The programs
// use the real monotonic clock; tests hand the protocol and the jobs a simulated one.
#pragma once

#include <cstdint>

class IClock {
public:
    // Microseconds since a fixed start; never goes backwards.
    virtual uint64_t NowUs() = 0;
    // Returns once the clock has reached untilUs; at once when it has already.
    virtual void SleepUntilUs(uint64_t untilUs) = 0;

    uint64_t NowMs() { return NowUs() / 1000; }
    void SleepMs(uint64_t ms) { SleepUntilUs(NowUs() + ms * 1000); }

protected:
    ~IClock() = default;
};

// The process's monotonic clock, counting from process start.
IClock& RealClock();

// Elapsed milliseconds from start to now; a clock that went backwards counts as
// start - now + 1.
unsigned long ElapsedMs(unsigned long start, unsigned long now);
