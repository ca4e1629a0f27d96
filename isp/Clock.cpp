#include "Clock.h"

#include <chrono>
#include <thread>

namespace {

// Taken while the program loads, so the clock counts from process start.
const std::chrono::steady_clock::time_point g_processStart = std::chrono::steady_clock::now();

class CRealClock final : public IClock {
public:
    uint64_t NowUs() override {
        const auto elapsed = std::chrono::steady_clock::now() - g_processStart;
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
    }
    void SleepUntilUs(uint64_t untilUs) override {
        // sleep_for may wake early: sleep again for what is left.
        for (uint64_t now = NowUs(); now < untilUs; now = NowUs()) {
            std::this_thread::sleep_for(std::chrono::microseconds(untilUs - now));
        }
    }
};

}  // namespace

IClock& RealClock() {
    static CRealClock clock;
    return clock;
}

unsigned long ElapsedMs(unsigned long start, unsigned long now) {
    return now >= start ? now - start : start - now + 1;
}
