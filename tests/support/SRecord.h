// Motorola S-record text for test images, beside IntelHex.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testsrec {

// One record, no terminator: S, the type, the count, an address of the type's width (S0, S1,
// S5, S9: 2 bytes; S2, S6, S8: 3; S3, S7: 4), the data and the checksum.
inline std::string Record(int type, uint32_t address, const std::vector<uint8_t>& data) {
    static const int kWidth[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const int width = kWidth[type];
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string line = "S" + std::to_string(type);
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
    }
    return line;
}

// bytes from address on: an S0 header, data records of up to 16 bytes with addresses of
// width bytes (2: S1, 3: S2, 4: S3), an S5 count and the matching end record.
inline std::vector<std::string> Lines(const std::vector<uint8_t>& bytes, uint32_t address,
                                      int width = 4) {
    std::vector<std::string> lines = {Record(0, 0, {'t', 'e', 's', 't'})};
    for (size_t at = 0; at < bytes.size(); at += 16) {
        const size_t n = std::min<size_t>(16, bytes.size() - at);
        lines.push_back(Record(width - 1, address + static_cast<uint32_t>(at),
                               std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + n)));
    }
    lines.push_back(Record(5, static_cast<uint32_t>(lines.size() - 1), {}));
    lines.push_back(Record(11 - width, address, {}));
    return lines;
}

inline std::string Text(const std::vector<std::string>& lines, const char* eol = "\r\n") {
    std::string text;
    for (const std::string& line : lines) text += line + eol;
    return text;
}

}  // namespace testsrec
