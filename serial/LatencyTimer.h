// What opening a port found of its USB adapter's latency timer: how long the adapter holds a
// short reply before sending it on (16 ms on an FTDI chip unless lowered), which every reply
// of the bootloader waits out. Apart from SerialPort.h so that front ends can word it; the
// port only records it.
#pragma once

#include <string>

struct LatencyTimerNote {
    enum Kind {
        Untouched = 0,       // no timer found, or one already low enough
        Lowered = 1,         // set to 1 ms for the open period, put back when it ends (Linux)
        NotLowered = 2,      // above 1 ms and could not be written; error says why (Linux)
        HighInSettings = 3,  // the driver's setting is above 2 ms; only the user can lower it
                             // (Windows)
    };
    Kind kind = Untouched;
    int foundMs = 0;   // the value found, when one was
    int error = 0;     // NotLowered: the errno of the failed write
    std::string port;  // the port's name as it was opened
};
