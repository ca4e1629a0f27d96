#include "Clock.h"

#include <chrono>

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

void BusyWaitMs(unsigned long ms) {
    const unsigned long start = ClockMs();
    while (ElapsedMs(start, ClockMs()) < ms) {
    }
}
