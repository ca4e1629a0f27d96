#include "SimOptions.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "BootloaderTarget.h"
#include "Chips.h"
#include "Fault.h"

namespace sim {

namespace {

bool ParseUnsigned(const char* text, uint32_t max, uint32_t* out) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (*end != '\0' || v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Options that take a number: name, limits, and where the value goes.
struct NumberOption {
    const char* name;
    uint32_t min;
    uint32_t max;
    void (*store)(SimOptions*, uint32_t);
};
const NumberOption kNumberOptions[] = {
    {"--flash-kib", 1, 16384, [](SimOptions* o, uint32_t v) { o->target.flashKiB = v; }},
    {"--page-size", 1, 1u << 20, [](SimOptions* o, uint32_t v) { o->target.pageSize = v; }},
    {"--bl-version", 0, 0xFF,
     [](SimOptions* o, uint32_t v) { o->target.blVersion = static_cast<uint8_t>(v); }},
    {"--pid", 0, 0xFFFF,
     [](SimOptions* o, uint32_t v) { o->target.pid = static_cast<uint16_t>(v); }},
    {"--baud", 1, 10000000, [](SimOptions* o, uint32_t v) { o->target.paceBaud = v; }},
    {"--latency", 0, kMaxLatencyMs, [](SimOptions* o, uint32_t v) { o->target.latencyMs = v; }},
    {"--replug-ms", 0, 3600000,
     [](SimOptions* o, uint32_t v) { o->replugMs = static_cast<int>(v); }},
};

// Options that take a path, and where it goes.
struct PathOption {
    const char* name;
    std::string* (*field)(SimOptions*);
};
const PathOption kPathOptions[] = {
    {"--load", [](SimOptions* o) { return &o->loadPath; }},
    {"--dump", [](SimOptions* o) { return &o->dumpPath; }},
    {"--link", [](SimOptions* o) { return &o->linkPath; }},
    {"--wire-log", [](SimOptions* o) { return &o->wireLogPath; }},
    {"--stats", [](SimOptions* o) { return &o->statsPath; }},
    {"--latency-file", [](SimOptions* o) { return &o->target.latencyFile; }},
};

// Options that take one of a few words; store gets the position of the word given.
struct ChoiceOption {
    const char* name;
    std::vector<std::string> words;
    void (*store)(SimOptions*, size_t word);
};
const ChoiceOption kChoiceOptions[] = {
    {"--erase-cmd",
     {"0x43", "0x44"},
     [](SimOptions* o, size_t word) { o->target.eraseCmd = word == 0 ? 0x43 : 0x44; }},
    {"--flash-timing",
     {"none", "f1", "real"},
     [](SimOptions* o, size_t word) {
         o->target.f1Timing = word == 1;
         o->target.chipTiming = word == 2;
     }},
};

// What the chip decides, and so cannot be given beside --chip.
const char* const kChipDecides[] = {"--page-size", "--pid", "--bl-version", "--erase-cmd"};

// Options without a value.
struct FlagOption {
    const char* name;
    void (*set)(SimOptions*);
};
const FlagOption kFlagOptions[] = {
    {"--help", [](SimOptions* o) { o->help = true; }},
    {"-h", [](SimOptions* o) { o->help = true; }},
    {"--version", [](SimOptions* o) { o->version = true; }},
    {"--readout-protected", [](SimOptions* o) { o->target.readoutProtected = true; }},
    {"--list-chips", [](SimOptions* o) { o->listChips = true; }},
};

bool NeedValue(const char* name, int i, int argc, std::string* error) {
    if (i + 1 < argc) return true;
    *error = std::string(name) + " needs a value";
    return false;
}

// What became of the argument at argv[*i].
enum class Took { NotMine, Done, Failed };

// Each takes the argument at argv[*i] when it is one of its options, and its value with it
// (leaving *i on the value).
using Taker = Took (*)(int argc, const char* const* argv, int* i, SimOptions* o,
                       std::string* error);

Took TakeNumber(int argc, const char* const* argv, int* i, SimOptions* o, std::string* error) {
    const char* arg = argv[*i];
    for (const NumberOption& n : kNumberOptions) {
        if (std::strcmp(arg, n.name) != 0) continue;
        uint32_t v = 0;
        if (!NeedValue(arg, *i, argc, error)) return Took::Failed;
        if (!ParseUnsigned(argv[++*i], n.max, &v) || v < n.min) {
            *error = std::string("bad value for ") + n.name + ": '" + argv[*i] + "'";
            return Took::Failed;
        }
        n.store(o, v);
        return Took::Done;
    }
    return Took::NotMine;
}

Took TakePath(int argc, const char* const* argv, int* i, SimOptions* o, std::string* error) {
    const char* arg = argv[*i];
    for (const PathOption& p : kPathOptions) {
        if (std::strcmp(arg, p.name) != 0) continue;
        if (!NeedValue(arg, *i, argc, error)) return Took::Failed;
        *p.field(o) = argv[++*i];
        return Took::Done;
    }
    return Took::NotMine;
}

Took TakeChoice(int argc, const char* const* argv, int* i, SimOptions* o, std::string* error) {
    const char* arg = argv[*i];
    for (const ChoiceOption& c : kChoiceOptions) {
        if (std::strcmp(arg, c.name) != 0) continue;
        if (!NeedValue(arg, *i, argc, error)) return Took::Failed;
        const std::string v = argv[++*i];
        for (size_t w = 0; w < c.words.size(); ++w) {
            if (v != c.words[w]) continue;
            c.store(o, w);
            return Took::Done;
        }
        std::string words;
        for (size_t w = 0; w < c.words.size(); ++w) {
            if (w != 0) words += w + 1 == c.words.size() ? " or " : ", ";
            words += c.words[w];
        }
        *error = std::string("bad value for ") + c.name + ": '" + v + "' (" + words + ")";
        return Took::Failed;
    }
    return Took::NotMine;
}

Took TakeFlag(int, const char* const* argv, int* i, SimOptions* o, std::string*) {
    for (const FlagOption& f : kFlagOptions) {
        if (std::strcmp(argv[*i], f.name) != 0) continue;
        f.set(o);
        return Took::Done;
    }
    return Took::NotMine;
}

// Each fault is parsed here so that a bad one stops the program before it serves.
Took TakeFault(int argc, const char* const* argv, int* i, SimOptions* o, std::string* error) {
    if (std::strcmp(argv[*i], "--fault") != 0) return Took::NotMine;
    if (!NeedValue(argv[*i], *i, argc, error)) return Took::Failed;
    Fault f;
    if (!ParseFault(argv[++*i], &f, error)) return Took::Failed;
    o->target.faults.push_back(argv[*i]);
    return Took::Done;
}

Took TakeChip(int argc, const char* const* argv, int* i, SimOptions* o, std::string* error) {
    if (std::strcmp(argv[*i], "--chip") != 0) return Took::NotMine;
    if (!NeedValue(argv[*i], *i, argc, error)) return Took::Failed;
    const chips::Chip* chip = chips::FindChipByKey(argv[++*i]);
    if (chip == nullptr) {
        *error = std::string("unknown chip '") + argv[*i] + "' (see --list-chips)";
        return Took::Failed;
    }
    o->target.chip = chip;
    return Took::Done;
}

const Taker kTakers[] = {TakeNumber, TakePath, TakeFlag, TakeChoice, TakeFault, TakeChip};

// Gives the target the chip's identity and layout, the flash size too unless one was given.
bool ApplyChip(const std::set<std::string>& given, TargetConfig* target, std::string* error) {
    for (const char* name : kChipDecides) {
        if (given.count(name) == 0) continue;
        *error = std::string(name) + " does not go with --chip: the chip decides it";
        return false;
    }
    const uint32_t flashKiB = target->flashKiB;
    target->SetChip(*target->chip);
    if (given.count("--flash-kib") != 0) target->flashKiB = flashKiB;
    return BootloaderTarget::CheckConfig(*target, error);
}

}  // namespace

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* out, std::string* error) {
    SimOptions o;
    std::set<std::string> given;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        Took took = Took::NotMine;
        for (Taker take : kTakers) {
            took = take(argc, argv, &i, &o, error);
            if (took != Took::NotMine) break;
        }
        if (took == Took::Failed) return false;
        if (took == Took::NotMine) {
            *error = std::string("unknown option '") + argv[i] + "' (see --help)";
            return false;
        }
        given.insert(name);
    }
    // Without --chip or a detail only a chip-less target takes, the target is the F103 it
    // has always been, with its flash-size register and option bytes readable.
    const bool generic = std::any_of(std::begin(kChipDecides), std::end(kChipDecides),
                                     [&](const char* name) { return given.count(name) != 0; });
    if (o.target.chip == nullptr && !generic) o.target.chip = chips::FindChipByKey("f103");
    if (o.target.chip != nullptr) {
        if (!ApplyChip(given, &o.target, error)) return false;
    } else if ((o.target.flashKiB * 1024u) % o.target.pageSize != 0) {
        *error = "--page-size must divide the flash size";
        return false;
    }
    *out = std::move(o);
    return true;
}

std::string SimUsage() {
    return "Usage: kestrel-sim [options]\n"
           "A simulated STM32 USART bootloader on a pseudo-terminal. The first line of\n"
           "standard output is the pseudo-terminal's path (later lines: the path of each\n"
           "fresh pty after a replug). The host closing the port is a reset. Serves until\n"
           "SIGINT or SIGTERM, then exits 0.\n"
           "\n"
           "Options:\n"
           "  --chip NAME               simulate that chip (see --list-chips): its product ID,\n"
           "                            protocol version, Get list, erase units, flash-size\n"
           "                            register and option bytes (default f103); --page-size,\n"
           "                            --pid, --bl-version and --erase-cmd do not go with it,\n"
           "                            and without it make a plain target of their values\n"
           "  --list-chips              print the chips --chip knows, one a line, and exit\n"
           "  --flash-kib N             flash size in KiB (default 64, or the chip's)\n"
           "  --page-size N             erase page size in bytes (default 1024)\n"
           "  --erase-cmd 0x43|0x44     erase form the bootloader offers (default 0x43)\n"
           "  --bl-version 0xVV         bootloader version byte (default 0x22)\n"
           "  --pid 0xPPPP              product ID (default 0x0410)\n"
           "  --baud N                  pace the wire at N baud, 11 bits a byte, both\n"
           "                            directions (default: no pacing)\n"
           "  --latency MS              hold the target's bytes as a USB-serial adapter's\n"
           "                            latency timer does: each waits until MS ms after the\n"
           "                            first one waiting, or until 62 wait, then all go to\n"
           "                            the host at once (after --baud's pacing); 0 to 10000,\n"
           "                            default 0: no holding\n"
           "  --latency-file PATH       create PATH holding the latency in ms and read it\n"
           "                            again whenever a reply starts waiting, so that a host\n"
           "                            writing a new value there changes it, as with a real\n"
           "                            adapter's latency_timer; a file that cannot be read or\n"
           "                            parsed keeps the last value\n"
           "  --flash-timing none|f1|real\n"
           "                            program and erase delays; f1: the F103's whatever the\n"
           "                            chip (52.5 us a half-word, 20 ms a unit, 40 ms mass\n"
           "                            erase); real: the chip's own typical times, per erase\n"
           "                            unit, mass erase and programming operation (the\n"
           "                            F103's without --chip); default none\n"
           "  --readout-protected       start with readout protection active\n"
           "  --load FILE               initial flash, raw binary from 0x08000000 (rest 0xFF)\n"
           "  --dump FILE               at exit, write the whole flash as raw binary (with\n"
           "                            --load: bank 2 right after bank 1, whatever its address)\n"
           "  --link PATH               also make a symbolic link PATH to the pty\n"
           "  --wire-log FILE           log every byte: \"SECONDS H> XX\" or \"SECONDS T> XX\"\n"
           "  --stats FILE              at exit, write \"delay_seconds S\": the flash and fault\n"
           "                            delays served, for comparing a host with the ideal;\n"
           "                            with a latency also \"latency_seconds S\": how long the\n"
           "                            adapter held replies after their last byte, a cost\n"
           "                            of the adapter kept apart from the flash delays\n"
           "  --replug-ms N             after an unplug fault, serve a fresh pty N ms later\n"
           "                            (and re-point --link); default: stay unplugged\n"
           "  --fault FAULT             inject a fault (repeatable), FAULT one of:\n" +
           FaultHelp() +
           "  --help                    this text\n"
           "  --version                 print the version and exit\n";
}

std::string ChipList() {
    std::string list;
    for (const chips::Chip& chip : chips::AllChips()) {
        char head[96];
        std::snprintf(head, sizeof head,
                      "%-7s %-32s PID 0x%03X  protocol 0x%02X  %4u KiB: ", chip.key, chip.name,
                      chip.pid, chip.protocol, chip.defaultKiB);
        char erase[16];
        std::snprintf(erase, sizeof erase, "  erase 0x%02X\n", chip.eraseCmd);
        list += head + chips::LayoutText(chip, chip.defaultKiB) + erase;
    }
    return list;
}

std::string FormatWireByte(const WireByte& w) {
    char line[48];
    std::snprintf(
        line, sizeof line, "%llu.%06llu %s %02X", static_cast<unsigned long long>(w.usec / 1000000),
        static_cast<unsigned long long>(w.usec % 1000000), w.fromHost ? "H>" : "T>", w.value);
    return line;
}

}  // namespace sim
