#include "Clock.h"

#include <chrono>
#include <thread>

namespace {
// Taken while the program loads, so the clock counts from process start.
const std::chrono::steady_clock::time_point g_processStart = std::chrono::steady_clock::now();
}  // namespace

unsigned long ClockMs() {
    const auto elapsed = std::chrono::steady_clock::now() - g_processStart;
    return static_cast<unsigned long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

unsigned long ElapsedMs(unsigned long start, unsigned long now) {
    return now >= start ? now - start : start - now + 1;
}

void WaitMs(unsigned long ms) {
    const unsigned long start = ClockMs();
    for (unsigned long elapsed = 0; elapsed < ms; elapsed = ElapsedMs(start, ClockMs())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms - elapsed));
    }
}
