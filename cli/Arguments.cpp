#include "Arguments.h"

#include <cstring>

#include "Chips.h"

namespace {

// Commands, as bits, so an option can name those it applies to.
enum : unsigned {
    kPorts = 1u << 0,
    kInfo = 1u << 1,
    kProgram = 1u << 2,
    kReadOut = 1u << 3,
    kErase = 1u << 4,
    kVerifyCmd = 1u << 5,
    kGo = 1u << 6,
    kUnprotect = 1u << 7,
    kProtect = 1u << 8,
    kDevice = ~kPorts,  // every command that talks to a board
    kAny = ~0u,
};

struct Command {
    const char* name;
    unsigned bit;
    int operands;  // words after the command
    const char* operandName;
};
const Command kCommands[] = {
    {"ports", kPorts, 0, ""},
    {"info", kInfo, 0, ""},
    {"program", kProgram, 1, "a file"},
    {"read-out", kReadOut, 1, "a file"},
    {"erase", kErase, 0, ""},
    {"verify", kVerifyCmd, 1, "a file"},
    {"go", kGo, 0, ""},
    {"unprotect", kUnprotect, 1, "read or write"},
    {"protect", kProtect, 1, "read"},
};

using Setter = bool (*)(CliOptions*, const std::string& value, std::string* error);

struct Option {
    const char* name;
    char shortName;  // 0: none
    bool takesValue;
    unsigned commands;
    Setter set;
};

bool OneOf(const std::string& value, std::initializer_list<const char*> choices) {
    for (const char* choice : choices) {
        if (value == choice) return true;
    }
    return false;
}

// "f030, f072, ...": the chip table's keys.
std::string ChipKeys() {
    std::string keys;
    for (const chips::Chip& chip : chips::AllChips()) {
        if (!keys.empty()) keys += ", ";
        keys += chip.key;
    }
    return keys;
}

bool SetLine(std::string* line, const char* option, const std::string& value, std::string* error) {
    if (!OneOf(value, {"dtr", "rts", "none"})) {
        *error = std::string(option) + " takes dtr, rts or none";
        return false;
    }
    *line = value;
    return true;
}

// The rates --baud takes: the dialog's list (kBaudRates in app/PortLists.cpp), in its order,
// then the faster ones common USB adapters reach. Keep the first ten in step with the dialog.
const int kBaudRates[] = {1200,  2400,  4800,   9600,   19200,  38400, 43000,
                          56000, 57600, 115200, 230400, 460800, 921600};

const Option kOptions[] = {
    {"port", 'p', true, kAny,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (v.empty()) *e = "--port needs a port name";
         o->ports.push_back(v);
         return !v.empty();
     }},
    {"all-ports", 0, false, kDevice,
     [](CliOptions* o, const std::string&, std::string*) { return o->allPorts = true; }},
    {"baud", 'b', true, kAny,
     [](CliOptions* o, const std::string& v, std::string* e) {
         std::string rates;
         for (const int rate : kBaudRates) {
             if (v == std::to_string(rate)) {
                 o->baud = rate;
                 return true;
             }
             rates += (rates.empty() ? "" : ", ") + std::to_string(rate);
         }
         *e = "--baud takes one of " + rates;
         return false;
     }},
    {"erase", 0, true, kProgram,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (!OneOf(v, {"all", "pages"})) *e = "--erase takes all or pages";
         o->eraseAll = v == "all";
         return e->empty();
     }},
    {"verify", 0, false, kProgram | kReadOut,
     [](CliOptions* o, const std::string&, std::string*) {
         return o->verify = o->verifyAsked = true;
     }},
    {"no-verify", 0, false, kProgram,
     [](CliOptions* o, const std::string&, std::string*) {
         o->verify = false;
         return true;
     }},
    {"run", 0, false, kProgram,
     [](CliOptions* o, const std::string&, std::string*) { return o->run = true; }},
    {"address", 'a', true, kProgram | kReadOut | kErase | kVerifyCmd | kGo,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (!ParseNumber(v, &o->address)) *e = "--address needs a number (0x for hex)";
         return o->hasAddress = e->empty();
     }},
    {"length", 'l', true, kReadOut | kErase,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (!ParseNumber(v, &o->length) || o->length == 0) {
             *e = "--length needs a positive number (0x for hex)";
         }
         return o->hasLength = e->empty();
     }},
    {"format", 0, true, kProgram | kVerifyCmd,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (!OneOf(v, {"auto", "hex", "srec", "elf", "binary"})) {
             *e = "--format takes auto, hex, srec, elf or binary";
         }
         o->format = v;
         return e->empty();
     }},
    {"reset", 0, true, kDevice,
     [](CliOptions* o, const std::string& v, std::string* e) {
         return SetLine(&o->resetLine, "--reset", v, e);
     }},
    {"boot", 0, true, kDevice,
     [](CliOptions* o, const std::string& v, std::string* e) {
         return SetLine(&o->bootLine, "--boot", v, e);
     }},
    {"invert-reset", 0, false, kDevice,
     [](CliOptions* o, const std::string&, std::string*) { return o->invertReset = true; }},
    {"invert-boot", 0, false, kDevice,
     [](CliOptions* o, const std::string&, std::string*) { return o->invertBoot = true; }},
    {"chip", 0, true, kDevice,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (chips::FindChipByKey(v) == nullptr) {
             *e = "--chip takes a chip's name: " + ChipKeys() + " (--list-chips shows them)";
         }
         o->chip = v;
         return e->empty();
     }},
    {"flash-kib", 0, true, kDevice,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (!ParseNumber(v, &o->flashKiB) || o->flashKiB == 0 || o->flashKiB > 65535) {
             *e = "--flash-kib needs a size in KiB from 1 to 65535";
         }
         return e->empty();
     }},
    {"retries", 0, true, kDevice,
     [](CliOptions* o, const std::string& v, std::string* e) {
         uint32_t n = 0;
         if (!ParseNumber(v, &n) || n > 100) *e = "--retries needs a number from 0 to 100";
         o->retries = static_cast<int>(n);
         return e->empty();
     }},
    {"yes", 'y', false, kUnprotect,
     [](CliOptions* o, const std::string&, std::string*) { return o->yes = true; }},
    {"json", 0, false, kAny,
     [](CliOptions* o, const std::string&, std::string*) { return o->json = true; }},
    {"quiet", 'q', false, kAny,
     [](CliOptions* o, const std::string&, std::string*) { return o->quiet = true; }},
    {"lang", 0, true, kAny,
     [](CliOptions* o, const std::string& v, std::string* e) {
         if (!OneOf(v, {"en", "zh"})) *e = "--lang takes en or zh";
         o->lang = v;
         return e->empty();
     }},
    {"verbose", 'v', false, kDevice,
     [](CliOptions* o, const std::string&, std::string*) { return o->verbose = true; }},
    {"help", 'h', false, kAny,
     [](CliOptions* o, const std::string&, std::string*) { return o->help = true; }},
    {"version", 'V', false, kAny,
     [](CliOptions* o, const std::string&, std::string*) { return o->version = true; }},
    {"list-chips", 0, false, kAny,
     [](CliOptions* o, const std::string&, std::string*) { return o->listChips = true; }},
};

const Option* FindLong(const std::string& name) {
    for (const Option& option : kOptions) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

const Option* FindShort(char name) {
    for (const Option& option : kOptions) {
        if (option.shortName == name) return &option;
    }
    return nullptr;
}

}  // namespace

bool ParseNumber(const std::string& text, uint32_t* value) {
    // Digits only: no sign, no blanks, and a leading zero is not octal (0100 is a hundred).
    const bool hex = text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned base = hex ? 16 : 10;
    const size_t first = hex ? 2 : 0;
    if (text.size() == first) return false;
    uint64_t n = 0;
    for (size_t i = first; i < text.size(); ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        n = n * base + digit;
        if (n > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(n);
    return true;
}

bool ParseCliArguments(int argc, const char* const* argv, CliOptions* out, std::string* error) {
    std::vector<std::string> words;
    // Each option used, with the bits of the commands it applies to, checked once the
    // command is known.
    std::vector<std::pair<std::string, unsigned>> used;
    bool optionsEnd = false;
    // Sets an option and keeps it, spelled as given ("-v", "--verbose"), for that check.
    auto use = [&](const Option& option, const std::string& spelling, const std::string& value) {
        if (!option.set(out, value, error)) return false;
        used.emplace_back(spelling, option.commands);
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnd || word == "-" || word.empty() || word[0] != '-') {
            words.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnd = true;
            continue;
        }
        if (word[1] == '-') {
            // --name, --name=value or --name value.
            const size_t equals = word.find('=');
            const bool attached = equals != std::string::npos;
            const std::string spelling = word.substr(0, equals);
            const Option* option = FindLong(spelling.substr(2));
            if (option == nullptr) {
                *error = "unknown option " + spelling;
                return false;
            }
            std::string value = attached ? word.substr(equals + 1) : "";
            if (attached && !option->takesValue) {
                *error = spelling + " takes no value";
                return false;
            }
            if (option->takesValue && !attached) {
                if (i + 1 >= argc) {
                    *error = spelling + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!use(*option, spelling, value)) return false;
            if (out->help || out->version || out->listChips) return true;
            continue;
        }
        // -qvy: flags bundled; one that takes a value ends the bundle, with the rest of the
        // word as its value (-p/dev/ttyUSB0), or the next word when nothing is left.
        for (size_t at = 1; at < word.size(); ++at) {
            const std::string spelling = std::string("-") + word[at];
            if (word[at] == '=' && at > 1) {
                *error = std::string("-") + word[at - 1] + " takes no value";
                return false;
            }
            const Option* option = FindShort(word[at]);
            if (option == nullptr) {
                *error = "unknown option " + spelling + (word.size() > 2 ? " in " + word : "");
                return false;
            }
            if (!option->takesValue) {
                if (!use(*option, spelling, "")) return false;
                if (out->help || out->version || out->listChips) return true;
                continue;
            }
            std::string value = word.substr(at + 1);
            if (value.empty()) {
                if (i + 1 >= argc) {
                    *error = spelling + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!use(*option, spelling, value)) return false;
            break;
        }
    }

    if (words.empty()) {
        *error = "missing command";
        return false;
    }
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (words[0] == c.name) command = &c;
    }
    if (command == nullptr) {
        *error = "unknown command " + words[0];
        return false;
    }
    out->command = command->name;
    const size_t operands = words.size() - 1;
    if (operands < static_cast<size_t>(command->operands)) {
        *error = out->command + " needs " + command->operandName;
        return false;
    }
    if (operands > static_cast<size_t>(command->operands)) {
        *error = "too many arguments";
        return false;
    }
    if (command->operands == 1) {
        if (command->bit & (kUnprotect | kProtect)) {
            out->what = words[1];
            const bool ok = command->bit == kProtect ? out->what == "read"
                                                     : OneOf(out->what, {"read", "write"});
            if (!ok) {
                *error = out->command + " takes " + command->operandName;
                return false;
            }
        } else {
            out->file = words[1];
        }
    }
    for (const auto& option : used) {
        if ((option.second & command->bit) == 0) {
            *error = option.first + " does not apply to " + out->command;
            return false;
        }
    }
    return true;
}

bool JsonAsked(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") return false;
        if (word == "--json") return true;
    }
    return false;
}

bool ReadOutToStandardOutput(int argc, const char* const* argv) {
    bool readOut = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "read-out") readOut = true;
        if (readOut && word == "-") return true;
    }
    return false;
}

bool WantsChinese(const std::string& lang, const char* lcAll, const char* lcMessages,
                  const char* langVariable) {
    if (!lang.empty()) return lang == "zh";
    for (const char* value : {lcAll, lcMessages, langVariable}) {
        if (value != nullptr && *value != '\0') return std::strncmp(value, "zh", 2) == 0;
    }
    return false;
}
