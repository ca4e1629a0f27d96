#include "Fault.h"

#include <cstdlib>

namespace sim {

namespace {

// Exchange names a fault can take, and whether nack:NAME@WHERE is meaningful for them.
struct CmdName {
    const char* name;
    FaultCmd cmd;
    bool takesWhere;
};
const CmdName kCmdNames[] = {
    {"sync", FaultCmd::Sync, false},       {"get", FaultCmd::Get, false},
    {"version", FaultCmd::Version, false}, {"id", FaultCmd::Id, false},
    {"read", FaultCmd::Read, true},        {"go", FaultCmd::Go, true},
    {"write", FaultCmd::Write, true},      {"erase", FaultCmd::Erase, true},
};

// What follows the kind's name.
enum class Args {
    None,         // silent, get12
    CmdWhere,     // nack:CMD[@WHERE]
    CmdNumber,    // short:CMD:N, delay:CMD:MS
    CmdBytes,     // reply:CMD:HEX
    CmdBytesMs,   // extra:CMD:HEX[:MS]
    CmdNumberMs,  // stall:CMD:N:MS
    Number,       // corrupt:ADDR, unplug:N
    Code,         // erase-code:0xNN
};

// One row per fault kind: its name, arguments, whether *K applies, and its help line.
struct KindInfo {
    const char* name;
    FaultKind kind;
    Args args;
    bool takesOccurrence;
    const char* help;
};
const KindInfo kKinds[] = {
    {"silent", FaultKind::Silent, Args::None, false,
     "silent              no bootloader at all: nothing is ever answered"},
    {"nack", FaultKind::Nack, Args::CmdWhere, true,
     "nack:CMD[@WHERE]    NACK the command code of CMD; with @ADDR (read, write, go) NACK\n"
     "                    its address stage when the address is ADDR; with @PAGE (erase)\n"
     "                    NACK a page erase whose list holds PAGE; nothing is done"},
    {"short", FaultKind::Short, Args::CmdNumber, true,
     "short:CMD:N         cut CMD's final reply to its first N bytes, then silence"},
    {"extra", FaultKind::Extra, Args::CmdBytesMs, true,
     "extra:CMD:HEX[:MS]  send the bytes HEX after CMD's final reply (MS ms after it)"},
    {"corrupt", FaultKind::Corrupt, Args::Number, true,
     "corrupt:ADDR        Read Memory returns the byte at ADDR inverted (flash untouched)"},
    {"delay", FaultKind::Delay, Args::CmdNumber, true,
     "delay:CMD:MS        send CMD's final reply MS milliseconds late"},
    {"get12", FaultKind::Get12, Args::None, false,
     "get12               Get lists 12 codes (0xA1 added, N = 0x0C)"},
    {"erase-code", FaultKind::EraseCode, Args::Code, false,
     "erase-code:0xNN     Get lists 0xNN as the erase code (only that code erases)"},
    {"unplug", FaultKind::Unplug, Args::Number, true,
     "unplug:N            the line goes away (device removed) once N bytes have come from\n"
     "                    the host on the current line; *K: only on the K-th line"},
    {"reply", FaultKind::Reply, Args::CmdBytes, true,
     "reply:CMD:HEX       replace CMD's final reply by exactly the bytes HEX"},
    {"stall", FaultKind::Stall, Args::CmdNumberMs, true,
     "stall:CMD:N:MS      send the first N bytes of CMD's final reply, pause MS ms, then\n"
     "                    the rest"},
};

bool ParseNumber(const std::string& text, uint32_t* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// "79,1F" or "0x79,0x1f": comma-separated hex bytes.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
    out->clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        if (item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X')) {
            item = item.substr(2);
        }
        if (item.empty() || item.size() > 2) return false;
        char* end = nullptr;
        const unsigned long v = std::strtoul(item.c_str(), &end, 16);
        if (*end != '\0') return false;
        out->push_back(static_cast<uint8_t>(v));
        pos = comma + 1;
    }
    return !out->empty();
}

const CmdName* FindCmd(const std::string& name) {
    for (const CmdName& c : kCmdNames) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

// Splits "CMD:REST" and looks CMD up.
bool SplitCmd(const std::string& args, const CmdName** cmd, std::string* rest, std::string* error) {
    const size_t colon = args.find(':');
    const std::string name = args.substr(0, colon);
    *cmd = FindCmd(name);
    if (*cmd == nullptr) {
        *error = "unknown command '" + name + "' (sync, get, version, id, read, go, write, erase)";
        return false;
    }
    if (colon == std::string::npos) {
        *error = "missing ':' and value after '" + name + "'";
        return false;
    }
    *rest = args.substr(colon + 1);
    return true;
}

// Splits "CMD:REST", looks CMD up and records it in f.
bool TakeCmd(const std::string& args, Fault* f, std::string* rest, std::string* error) {
    const CmdName* cmd = nullptr;
    if (!SplitCmd(args, &cmd, rest, error)) return false;
    f->cmd = cmd->cmd;
    return true;
}

// The parsers of what follows "KIND:", one per Args form; false with the reason in *error.

bool ParseCmdWhere(const std::string& args, Fault* f, std::string* error) {
    const size_t at = args.find('@');
    const CmdName* cmd = FindCmd(args.substr(0, at));
    if (cmd == nullptr) {
        *error = "unknown command '" + args.substr(0, at) + "'";
        return false;
    }
    f->cmd = cmd->cmd;
    if (at == std::string::npos) return true;
    if (!cmd->takesWhere) {
        *error = std::string("'@' does not apply to ") + cmd->name;
        return false;
    }
    f->hasWhere = true;
    if (!ParseNumber(args.substr(at + 1), &f->where)) {
        *error = "bad address or page '" + args.substr(at + 1) + "'";
        return false;
    }
    return true;
}

bool ParseCmdNumber(const std::string& args, Fault* f, std::string* error) {
    std::string rest;
    if (!TakeCmd(args, f, &rest, error)) return false;
    if (!ParseNumber(rest, &f->number)) {
        *error = "bad number '" + rest + "'";
        return false;
    }
    return true;
}

bool ParseCmdBytes(const std::string& args, Fault* f, std::string* error) {
    std::string rest;
    if (!TakeCmd(args, f, &rest, error)) return false;
    if (!ParseHexBytes(rest, &f->bytes)) {
        *error = "bad byte list '" + rest + "' (e.g. 79,1F)";
        return false;
    }
    return true;
}

bool ParseCmdBytesMs(const std::string& args, Fault* f, std::string* error) {
    std::string rest;
    if (!TakeCmd(args, f, &rest, error)) return false;
    const size_t colon = rest.find(':');
    if (colon != std::string::npos && !ParseNumber(rest.substr(colon + 1), &f->ms)) {
        *error = "bad milliseconds '" + rest.substr(colon + 1) + "'";
        return false;
    }
    if (!ParseHexBytes(rest.substr(0, colon), &f->bytes)) {
        *error = "bad byte list '" + rest.substr(0, colon) + "' (e.g. 79,1F)";
        return false;
    }
    return true;
}

bool ParseCmdNumberMs(const std::string& args, Fault* f, std::string* error) {
    std::string rest;
    if (!TakeCmd(args, f, &rest, error)) return false;
    const size_t colon = rest.find(':');
    if (colon == std::string::npos || !ParseNumber(rest.substr(0, colon), &f->number) ||
        !ParseNumber(rest.substr(colon + 1), &f->ms)) {
        *error = "expected N:MS, got '" + rest + "'";
        return false;
    }
    return true;
}

// corrupt takes an address, unplug a byte count (at least one).
bool ParseNumberArg(const std::string& args, Fault* f, std::string* error) {
    if (!ParseNumber(args, f->kind == FaultKind::Corrupt ? &f->where : &f->number)) {
        *error = "bad number '" + args + "'";
        return false;
    }
    if (f->kind == FaultKind::Corrupt) f->hasWhere = true;
    if (f->kind == FaultKind::Unplug && f->number == 0) {
        *error = "unplug needs at least one byte";
        return false;
    }
    return true;
}

bool ParseCode(const std::string& args, Fault* f, std::string* error) {
    if (!ParseNumber(args, &f->number) || f->number > 0xFF) {
        *error = "bad code '" + args + "' (one byte, e.g. 0x45)";
        return false;
    }
    return true;
}

using ArgParser = bool (*)(const std::string& args, Fault* f, std::string* error);

ArgParser ParserFor(Args args) {
    switch (args) {
        case Args::CmdWhere:
            return ParseCmdWhere;
        case Args::CmdNumber:
            return ParseCmdNumber;
        case Args::CmdBytes:
            return ParseCmdBytes;
        case Args::CmdBytesMs:
            return ParseCmdBytesMs;
        case Args::CmdNumberMs:
            return ParseCmdNumberMs;
        case Args::Number:
            return ParseNumberArg;
        case Args::Code:
            return ParseCode;
        default:
            return nullptr;
    }
}

bool ParseArgs(const KindInfo& info, const std::string& args, bool hasArgs, Fault* f,
               std::string* error) {
    if (info.args == Args::None) {
        if (hasArgs) *error = std::string(info.name) + " takes no value";
        return !hasArgs;
    }
    if (!hasArgs) {
        *error = std::string(info.name) + " needs a value";
        return false;
    }
    const ArgParser parse = ParserFor(info.args);
    return parse != nullptr && parse(args, f, error);
}

}  // namespace

bool ParseFault(const std::string& faultText, Fault* out, std::string* error) {
    std::string body = faultText;
    Fault f;
    const size_t star = body.rfind('*');
    if (star != std::string::npos) {
        if (!ParseNumber(body.substr(star + 1), &f.occurrence) || f.occurrence == 0) {
            *error = "bad occurrence in '" + faultText + "' (*K with K from 1)";
            return false;
        }
        body.resize(star);
    }
    const size_t colon = body.find(':');
    const std::string name = body.substr(0, colon);
    const KindInfo* info = nullptr;
    for (const KindInfo& k : kKinds) {
        if (name == k.name) info = &k;
    }
    if (info == nullptr) {
        *error = "unknown fault '" + name + "' in '" + faultText + "'";
        return false;
    }
    if (star != std::string::npos && !info->takesOccurrence) {
        *error = std::string(info->name) + " takes no *K";
        return false;
    }
    f.kind = info->kind;
    const bool hasArgs = colon != std::string::npos;
    if (!ParseArgs(*info, hasArgs ? body.substr(colon + 1) : std::string(), hasArgs, &f, error)) {
        *error = "fault '" + faultText + "': " + *error;
        return false;
    }
    *out = std::move(f);
    return true;
}

std::string FaultHelp() {
    std::string text;
    auto indented = [&text](const std::string& block) {
        size_t pos = 0;
        while (pos < block.size()) {
            size_t nl = block.find('\n', pos);
            if (nl == std::string::npos) nl = block.size();
            text += "    " + block.substr(pos, nl - pos) + "\n";
            pos = nl + 1;
        }
    };
    for (const KindInfo& k : kKinds) indented(k.help);
    indented(
        "CMD is one of sync, get, version, id, read, go, write, erase. The final reply is\n"
        "the one that ends the exchange: sync's ACK, the whole reply of get, version and\n"
        "id, the ACK and data after read's count, go's ACK to its address, write's ACK\n"
        "after the data, erase's ACK after the page block. HEX is a comma-separated byte\n"
        "list such as 79,1F. Numbers are decimal or 0x-prefixed hex. A trailing *K makes\n"
        "a fault act only on its K-th match (nack:write*3: the third Write Memory only);\n"
        "without *K a fault acts every time. Occurrences count across resets.\n"
        "Examples: nack:read@0x08004000  nack:erase@2  short:get:10  reply:go:79,1F\n"
        "          corrupt:0x08000405  delay:get:400  stall:read:1:600  unplug:500*1");
    return text;
}

}  // namespace sim
