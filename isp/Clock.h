// The millisecond clock on which every delay, reply window and logged duration is measured.
#pragma once

// Milliseconds since the process started, from a monotonic source.
unsigned long ClockMs();

// Elapsed milliseconds from start to now; a clock that went backwards counts as
// start - now + 1.
unsigned long ElapsedMs(unsigned long start, unsigned long now);

// Spins (no sleeping) until ms milliseconds have passed.
void BusyWaitMs(unsigned long ms);
