// Command line of kestrel-sim.
#pragma once

#include <string>

#include "PtyTarget.h"

namespace sim {

struct SimOptions {
    TargetConfig target;
    std::string loadPath;     // --load: initial flash contents (read by the program)
    std::string dumpPath;     // --dump: whole flash written at exit
    std::string linkPath;     // --link: symbolic link to the current pty
    std::string wireLogPath;  // --wire-log: one line per byte on the wire
    std::string statsPath;    // --stats: at exit, the delays served and the latency's holds
    int replugMs = -1;        // --replug-ms: after an unplug, serve a fresh pty this much later
    bool version = false;
    bool help = false;
    bool listChips = false;  // --list-chips
};

// Parses argv[1..]. false with a one-line message in *error. Fault specs are checked here.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions* out, std::string* error);

// The --help text, fault grammar included.
std::string SimUsage();

// The --list-chips text: one chip a line with its key, name, product ID, protocol version,
// default flash size and layout, and erase command.
std::string ChipList();

// One wire-log line: "12.345678 H> 7F" (seconds since start, direction, byte).
std::string FormatWireByte(const WireByte& w);

}  // namespace sim
