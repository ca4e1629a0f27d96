// The firmware file judged by content (or by the format asked for), and loaded by kind.
#include "ImageFile.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Format.h"
#include "Messages.h"

namespace {

enum class Kind { Refused, Unknown, Hex, Srec, Elf, Binary };

// Each kind a file may be: the format that asks for it, its names, and the texts its faults
// stand in.
struct KindEntry {
    Kind kind;
    ImageFormat format;
    const char* name;             // CheckImageFile's *kind
    const char* title;            // in "the file is Intel HEX, not ELF"
    const char* shortTitle;       // in a warning's "HEX file"
    const Message* reasonOnLine;  // null: faults name no line
    const Message* reason;
};
const KindEntry kKinds[] = {
    {Kind::Hex, ImageFormat::StrictHex, "hex", "Intel HEX", "HEX", &kReasonHexLine, &kReasonHex},
    {Kind::Srec, ImageFormat::SRecord, "srec", "S-record", "S-record", &kReasonSrecLine,
     &kReasonSrec},
    {Kind::Elf, ImageFormat::Elf, "elf", "ELF", "ELF", nullptr, &kReasonElf},
    {Kind::Binary, ImageFormat::Binary, "bin", "binary", "binary", nullptr, &kReasonBinary},
};

const KindEntry* EntryFor(Kind kind) {
    for (const KindEntry& entry : kKinds) {
        if (entry.kind == kind) return &entry;
    }
    return nullptr;
}

// What each load fault says, behind the file kind (and the line).
struct FaultText {
    LoadFault fault;
    const Message* text;  // read when used, in the language of the moment
};
const FaultText kFaultTexts[] = {
    {LoadFault::Open, &kFaultOpen},
    {LoadFault::Read, &kFaultRead},
    {LoadFault::PageSize, &kFaultPageSize},
    {LoadFault::Record, &kFaultRecord},
    {LoadFault::Checksum, &kFaultChecksum},
    {LoadFault::UpperAddress, &kFaultUpperAddress},
    {LoadFault::SegmentAddress, &kFaultSegmentAddress},
    {LoadFault::RecordType, &kFaultRecordType},
    {LoadFault::RecordCount, &kFaultRecordCount},
    {LoadFault::BelowBase, &kFaultBelowBase},
    {LoadFault::TooHigh, &kFaultTooHigh},
    {LoadFault::NoData, &kFaultNoData},
    {LoadFault::NoEnd, &kFaultNoEnd},
    {LoadFault::Memory, &kFaultMemory},
    {LoadFault::ElfHeader, &kFaultElfHeader},
    {LoadFault::ElfSegment, &kFaultElfSegment},
    {LoadFault::ElfTooLarge, &kFaultElfTooLarge},
};

// Machines an ELF file for the wrong target is most likely built for; others go by number.
struct Machine {
    uint32_t number;
    const char* name;
};
const Machine kMachines[] = {
    {3, "x86"},  {8, "MIPS"},    {20, "PowerPC"},  {62, "x86-64"},
    {83, "AVR"}, {94, "Xtensa"}, {183, "AArch64"}, {243, "RISC-V"},
};

std::string MachineName(uint32_t number) {
    for (const Machine& machine : kMachines) {
        if (machine.number == number) return machine.name;
    }
    return Format(kElfMachineNumber, number);
}

std::string ReasonFor(const KindEntry& kind, const LoadError& error) {
    switch (error.fault) {
        case LoadFault::ElfClass:
            return Format(kReasonElfClass, error.value);
        case LoadFault::ElfEncoding:
            return kReasonElfEncoding.Text();
        case LoadFault::ElfMachine:
            return Format(kReasonElfMachine, MachineName(error.value).c_str());
        default:
            break;
    }
    std::string what = kFaultRead.Text();
    if (error.fault == LoadFault::Conflict && kind.kind == Kind::Elf) {
        what = Format(kFaultElfConflict, error.line, error.address, error.earlierLine);
        return Format(*kind.reason, what.c_str());
    }
    if (error.fault == LoadFault::Conflict)
        what = Format(kFaultConflict, error.address, error.earlierLine);
    for (const FaultText& entry : kFaultTexts) {
        if (entry.fault == error.fault) what = entry.text->Text();
    }
    if (kind.reasonOnLine != nullptr && error.line != 0) {
        return Format(*kind.reasonOnLine, error.line, what.c_str());
    }
    return Format(*kind.reason, what.c_str());
}

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// ELF by its magic number, HEX and S-record by the first character other than blanks;
// refused, with the reason, when the file is missing, a folder, unreadable or empty.
Kind ContentKind(const std::string& path, std::string* reason) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *reason = (errno == ENOENT ? kReasonMissing : kReasonUnreadable).Text();
        return Kind::Refused;
    }
    if (S_ISDIR(st.st_mode)) {
        *reason = kReasonFolder.Text();
        return Kind::Refused;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *reason = kReasonUnreadable.Text();
        return Kind::Refused;
    }
    unsigned char head[4] = {};
    const size_t got = std::fread(head, 1, sizeof head, file);
    const bool elf = got == sizeof head && std::memcmp(head,
                                                       "\x7F"
                                                       "ELF",
                                                       sizeof head) == 0;
    std::rewind(file);
    int c = std::fgetc(file);
    // A byte-order mark some editors put before the first line.
    if (c == 0xEF && std::fgetc(file) == 0xBB && std::fgetc(file) == 0xBF) c = std::fgetc(file);
    while (IsBlank(c)) c = std::fgetc(file);
    const int next = std::fgetc(file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        *reason = kReasonUnreadable.Text();
        return Kind::Refused;
    }
    if (got == 0) {
        *reason = kReasonEmpty.Text();
        return Kind::Refused;
    }
    if (elf) return Kind::Elf;
    if (c == ':') return Kind::Hex;
    if (c == 'S' && next >= '0' && next <= '9') return Kind::Srec;
    return Kind::Unknown;
}

bool NamedBin(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".bin";
}

// The kind the file is read as; Refused with the reason.
Kind Judge(const std::string& path, ImageFormat format, std::string* reason) {
    const Kind content = ContentKind(path, reason);
    if (content == Kind::Refused || format == ImageFormat::Binary) {
        return content == Kind::Refused ? content : Kind::Binary;
    }
    if (format == ImageFormat::Auto) {
        if (content != Kind::Unknown) return content;
        if (NamedBin(path)) return Kind::Binary;
        *reason = kReasonUnknownKind.Text();
        return Kind::Refused;
    }
    const ImageFormat asked = format == ImageFormat::Hex ? ImageFormat::StrictHex : format;
    const KindEntry* wanted = &kKinds[0];
    for (const KindEntry& entry : kKinds) {
        if (entry.format == asked) wanted = &entry;
    }
    if (content == wanted->kind) return content;
    *reason = content == Kind::Unknown
                  ? Format(kReasonKindNot, wanted->title)
                  : Format(kReasonKindIs, EntryFor(content)->title, wanted->title);
    return Kind::Refused;
}

HexRules RulesFor(ImageFormat format) {
    return format == ImageFormat::Hex ? HexRules::Lenient : HexRules::Strict;
}

}  // namespace

bool CheckImageFile(const std::string& path, ImageFormat format, std::string* kind,
                    std::string* reason) {
    const Kind found = Judge(path, format, reason);
    const KindEntry* entry = EntryFor(found);
    *kind = entry != nullptr ? entry->name : "";
    LoadError error;
    int ok = 0;
    switch (found) {
        case Kind::Hex:
            ok = CheckHexFile(path, RulesFor(format), &error);
            break;
        case Kind::Srec:
            ok = CheckSrecFile(path, &error);
            break;
        case Kind::Elf:
            ok = CheckElfFile(path, &error);
            break;
        default:
            return found == Kind::Binary;
    }
    if (!ok) *reason = ReasonFor(*entry, error);
    return ok != 0;
}

bool LoadImageFile(FlashImage& image, const std::string& path, ImageFormat format,
                   uint32_t pageSize, uint32_t base, uint32_t binaryAddress, std::string* reason,
                   std::vector<std::string>* warnings) {
    image.Clear();
    const Kind kind = Judge(path, format, reason);
    if (kind == Kind::Refused) return false;
    const KindEntry& entry = *EntryFor(kind);
    LoadError error;
    std::vector<LoadWarning> notes;
    int loaded = 0;
    switch (kind) {
        case Kind::Hex:
            loaded = image.LoadHexFile(path, pageSize, base, RulesFor(format), &error, &notes);
            break;
        case Kind::Srec:
            loaded = image.LoadSrecFile(path, pageSize, base, &error, &notes);
            break;
        case Kind::Elf:
            loaded = image.LoadElfFile(path, pageSize, base, &error);
            break;
        default:
            loaded = image.LoadBinaryFile(path, pageSize, base, binaryAddress, &error);
            break;
    }
    if (!loaded) {
        *reason = ReasonFor(entry, error);
        return false;
    }
    // The one note there is: lines behind the end record.
    for (const LoadWarning& note : notes) {
        if (warnings != nullptr)
            warnings->push_back(Format(kMsgAfterEnd, entry.shortTitle, note.line));
    }
    return true;
}
