// The firmware file judged by content, and loaded by kind.
#include "ImageFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "Format.h"
#include "Messages.h"

namespace {

enum class Kind { Refused, Hex, Binary };

// What each load fault says, behind the file kind (and the HEX line).
struct FaultText {
    LoadFault fault;
    const Message* text;  // read when used, in the language of the moment
};
const FaultText kFaultTexts[] = {
    {LoadFault::Open, &kFaultOpen},           {LoadFault::Read, &kFaultRead},
    {LoadFault::PageSize, &kFaultPageSize},   {LoadFault::Record, &kFaultRecord},
    {LoadFault::Checksum, &kFaultChecksum},   {LoadFault::UpperAddress, &kFaultUpperAddress},
    {LoadFault::BelowBase, &kFaultBelowBase}, {LoadFault::TooHigh, &kFaultTooHigh},
    {LoadFault::NoData, &kFaultNoData},       {LoadFault::NoEnd, &kFaultNoEnd},
    {LoadFault::Memory, &kFaultMemory},
};

std::string ReasonFor(Kind kind, const LoadError& error) {
    const char* what = kFaultRead;
    for (const FaultText& entry : kFaultTexts) {
        if (entry.fault == error.fault) what = entry.text->Text();
    }
    if (kind == Kind::Binary) return Format(kReasonBinary, what);
    if (error.line != 0) return Format(kReasonHexLine, error.line, what);
    return Format(kReasonHex, what);
}

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The kind by the first character other than blanks; refused, with the reason, when the file
// is missing, a folder, unreadable or empty.
Kind KindOf(const std::string& path, std::string* reason) {
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
    int c = std::fgetc(file);
    const bool empty = c == EOF;
    while (IsBlank(c)) c = std::fgetc(file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        *reason = kReasonUnreadable.Text();
        return Kind::Refused;
    }
    if (empty) {
        *reason = kReasonEmpty.Text();
        return Kind::Refused;
    }
    return c == ':' ? Kind::Hex : Kind::Binary;
}

}  // namespace

bool CheckImageFile(const std::string& path, std::string* kind, std::string* reason) {
    const Kind found = KindOf(path, reason);
    *kind = found == Kind::Hex ? "hex" : found == Kind::Binary ? "bin" : "";
    if (found != Kind::Hex) return found == Kind::Binary;
    LoadError error;
    if (CheckHexFile(path, &error)) return true;
    *reason = ReasonFor(found, error);
    return false;
}

bool LoadImageFile(FlashImage& image, const std::string& path, uint32_t pageSize, uint32_t base,
                   uint32_t binaryAddress, std::string* reason) {
    image.Clear();
    const Kind kind = KindOf(path, reason);
    if (kind == Kind::Refused) return false;
    LoadError error;
    const int loaded = kind == Kind::Hex
                           ? image.LoadHexFile(path, pageSize, base, &error)
                           : image.LoadBinaryFile(path, pageSize, base, binaryAddress, &error);
    if (!loaded) *reason = ReasonFor(kind, error);
    return loaded != 0;
}
