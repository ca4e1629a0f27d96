// The eleven request and completion signals of a serial event thread, shared by both
// backends: bits of a SignalSet on POSIX, event objects on Windows.
#pragma once

// The index is the priority: the lowest raised signal is handled first.
enum SerialSignal {
    evStop = 0,
    evReadDone = 1,
    evReadRequest = 2,
    evWriteDone = 3,
    evWriteRequest = 4,
    evModemDone = 5,
    evModemRequest = 6,
    evSetDtr = 7,
    evSetRts = 8,
    evClearDtr = 9,
    evClearRts = 10,
    kSerialSignalCount = 11,
};
