#include "Format.h"

#include <cstdarg>

#include "Printf.h"

std::string Format(const char* format, ...) {
    std::string out;
    va_list args;
    va_start(args, format);
    AppendPrintf(out, format, args);
    va_end(args);
    return out;
}

std::string HexBytes(const unsigned char* bytes, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += Format("%02X ", bytes[i]);
    return text;
}
