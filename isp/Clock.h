// The millisecond clock on which every delay, reply window and logged duration is measured.
#pragma once

// Milliseconds since the process started, from a monotonic source.
unsigned long ClockMs();

// Elapsed milliseconds from start to now; a clock that went backwards counts as
// start - now + 1.
unsigned long ElapsedMs(unsigned long start, unsigned long now);

// Sleeps until ms milliseconds have passed on this clock (never less, also when woken early).
void WaitMs(unsigned long ms);
