// The command line of kestrel-isp: what was asked for, parsed in one pass from a table of
// options, each naming the commands it applies to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CliOptions {
    std::string command;  // ports, info, program, read-out, erase, verify, go, unprotect, protect
    std::string file;     // program, verify, read-out: a path, or "-" for the standard stream
    std::string what;     // unprotect: read or write; protect: read
    std::vector<std::string> ports;  // each --port, in order
    bool allPorts = false;
    int baud = 115200;
    bool eraseAll = true;
    bool verify = true;
    bool run = false;
    bool hasAddress = false;
    uint32_t address = 0;
    bool hasLength = false;
    uint32_t length = 0;
    std::string format = "auto";    // program, verify: auto, hex, srec, elf or binary
    std::string resetLine = "dtr";  // dtr, rts or none
    std::string bootLine = "rts";
    bool invertReset = false;
    bool invertBoot = false;
    // A failed block is tried again after a resync: a busy host or a noisy line costs a
    // retry, not the job.
    int retries = 2;
    std::string chip;          // --chip: the chip table's key; empty: identified
    uint32_t flashKiB = 0;     // --flash-kib; 0: read from the chip
    bool verifyAsked = false;  // --verify given (read-out reads every block twice)
    bool yes = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    std::string lang;  // en or zh; empty: by the locale
    bool help = false;
    bool version = false;
    bool listChips = false;
};

// Parses argv[1..] as getopt would: short options bundle (-qv) and take a value attached
// (-b9600) or as the next word, long ones as --name value or --name=value, and -- ends the
// options. false with a one-line reason (no "kestrel-isp: " prefix) in *error.
// --help, --version and --list-chips end the parse at once.
bool ParseCliArguments(int argc, const char* const* argv, CliOptions* out, std::string* error);

// Whether the words before any "--" hold --json: for a parse that failed, so that its usage
// error can still come as JSON.
bool JsonAsked(int argc, const char* const* argv);
// Whether the words hold read-out and, behind it, "-": for a parse that failed, so that its
// JSON still keeps off the standard output the read-out's bytes would have gone to.
bool ReadOutToStandardOutput(int argc, const char* const* argv);

// A number in decimal, or in hexadecimal after 0x or 0X, that fits 32 bits (a leading 0 is
// not octal); false otherwise.
bool ParseNumber(const std::string& text, uint32_t* value);

// English unless lang says zh, or (lang empty) the first of LC_ALL, LC_MESSAGES and LANG that
// is set starts with "zh".
bool WantsChinese(const std::string& lang, const char* lcAll, const char* lcMessages,
                  const char* langVariable);
