#include "Arguments.h"

#include <cstdlib>
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
         char* end = nullptr;
         const long rate = std::strtol(v.c_str(), &end, 10);
         if (v.empty() || *end || rate <= 0 || rate > 4000000) {
             *e = "--baud needs a positive rate";
             return false;
         }
         o->baud = static_cast<int>(rate);
         return true;
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
};

const Option* FindOption(const std::string& word, std::string* inlineValue, bool* hasInline) {
    *hasInline = false;
    if (word.size() == 2 && word[0] == '-' && word[1] != '-') {
        for (const Option& option : kOptions) {
            if (option.shortName == word[1]) return &option;
        }
        return nullptr;
    }
    if (word.compare(0, 2, "--") != 0) return nullptr;
    std::string name = word.substr(2);
    const size_t equals = name.find('=');
    if (equals != std::string::npos) {
        *inlineValue = name.substr(equals + 1);
        *hasInline = true;
        name.resize(equals);
    }
    for (const Option& option : kOptions) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

// Shown in an error: the word as the user gave it, without an inline value.
std::string Spelling(const std::string& word) { return word.substr(0, word.find('=')); }

}  // namespace

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || n > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

bool ParseCliArguments(int argc, const char* const* argv, CliOptions* out, std::string* error) {
    std::vector<std::string> words;
    // Each option used, with the bits of the commands it applies to, checked once the
    // command is known.
    std::vector<std::pair<std::string, unsigned>> used;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnd || word == "-" || word.empty() || word[0] != '-') {
            words.push_back(word);
            out->passOn.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnd = true;
            out->passOn.push_back(word);
            continue;
        }
        if (word == "--help" || word == "-h") return out->help = true;
        if (word == "--version" || word == "-V") return out->version = true;
        if (word == "--list-chips") return out->listChips = true;
        std::string value;
        bool hasInline = false;
        const Option* option = FindOption(word, &value, &hasInline);
        if (option == nullptr) {
            *error = "unknown option " + Spelling(word);
            return false;
        }
        if (option->takesValue && !hasInline) {
            if (i + 1 >= argc) {
                *error = Spelling(word) + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!option->takesValue && hasInline) {
            *error = Spelling(word) + " takes no value";
            return false;
        }
        if (!option->set(out, value, error)) return false;
        used.emplace_back(Spelling(word), option->commands);
        const std::string name = option->name;
        if (name != "port" && name != "all-ports") {
            out->passOn.push_back(word);
            if (option->takesValue && !hasInline) out->passOn.push_back(value);
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

bool WantsChinese(const std::string& lang, const char* lcAll, const char* lcMessages,
                  const char* langVariable) {
    if (!lang.empty()) return lang == "zh";
    for (const char* value : {lcAll, lcMessages, langVariable}) {
        if (value != nullptr && *value != '\0') return std::strncmp(value, "zh", 2) == 0;
    }
    return false;
}
