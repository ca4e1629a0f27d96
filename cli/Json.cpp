#include "Json.h"

#include <cstdio>

namespace {

// The well-formed UTF-8 sequence at text[at]: its length, with *valid; else, with *valid
// false, the length of its longest start that could have begun one (at least 1), which
// becomes one U+FFFD, as the Unicode standard recommends.
size_t SequenceAt(const std::string& text, size_t at, bool* valid) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    *valid = true;
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        *valid = false;
        return 1;
    }
    for (size_t i = 1; i < length; ++i) {
        const bool fits = at + i < text.size() && byte(at + i) >= (i == 1 ? low : 0x80) &&
                          byte(at + i) <= (i == 1 ? high : 0xBF);
        if (!fits) {
            *valid = false;
            return i;
        }
    }
    return length;
}

}  // namespace

std::string RepairedUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        bool valid = false;
        const size_t length = SequenceAt(text, at, &valid);
        if (valid) {
            out.append(text, at, length);
        } else {
            out += "\xEF\xBF\xBD";
        }
        at += length;
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : RepairedUtf8(text)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string HexOfBytes(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    }
    return out;
}

std::string JsonPathMembers(const std::string& utf8, const std::string& native) {
    return "\"path\":" + JsonString(utf8) + ",\"path_hex\":\"" + HexOfBytes(native) + "\"";
}

std::string JsonErrorObject(const std::string& message, const std::string& hint, int64_t address,
                            const std::string& extra) {
    char where[16] = "null";
    if (address >= 0) {
        std::snprintf(where, sizeof where, "\"0x%08X\"", static_cast<unsigned>(address));
    }
    return "{\"event\":\"error\",\"message\":" + JsonString(message) + ",\"address\":" + where +
           (hint.empty() ? "" : ",\"hint\":" + JsonString(hint)) + extra + "}";
}

std::string JsonWarningObject(const std::string& message, const std::string& hint) {
    return "{\"event\":\"warning\",\"message\":" + JsonString(message) +
           (hint.empty() ? "" : ",\"hint\":" + JsonString(hint)) + "}";
}

std::string JsonResultObject(const std::string& command, bool ok, int exitStatus) {
    return "{\"event\":\"result\",\"command\":" +
           (command.empty() ? std::string("null") : JsonString(command)) +
           ",\"ok\":" + (ok ? "true" : "false") + ",\"exit\":" + std::to_string(exitStatus) + "}";
}
