// Intel HEX text for test images, for the native and the Windows test programs alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testhex {

// bytes placed from base + offset on: a type 04 record first and wherever the upper 16
// address bits change, data records of up to 16 bytes (none crosses a 64 KiB boundary), the
// end record; eol after every line.
inline std::string IntelHex(const std::vector<uint8_t>& bytes, uint32_t offset = 0,
                            const char* eol = "\r\n", uint32_t base = 0x08000000) {
    auto record = [eol](uint8_t type, uint32_t field, const uint8_t* data, size_t count) {
        char digits[16];
        std::snprintf(digits, sizeof digits, ":%02X%04X%02X", static_cast<unsigned>(count),
                      static_cast<unsigned>(field & 0xFFFF), type);
        std::string line = digits;
        unsigned sum = static_cast<unsigned>(count + ((field >> 8) & 0xFF) + (field & 0xFF) + type);
        for (size_t i = 0; i < count; ++i) {
            std::snprintf(digits, sizeof digits, "%02X", data[i]);
            line += digits;
            sum += data[i];
        }
        std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        return line + digits + eol;
    };
    std::string text;
    uint32_t upper = (base + offset) >> 16;
    auto upperRecord = [&record, &upper]() {
        const uint8_t high[2] = {static_cast<uint8_t>(upper >> 8),
                                 static_cast<uint8_t>(upper & 0xFF)};
        return record(0x04, 0, high, 2);
    };
    text += upperRecord();
    for (size_t at = 0; at < bytes.size();) {
        const uint32_t address = base + offset + static_cast<uint32_t>(at);
        if (address >> 16 != upper) {
            upper = address >> 16;
            text += upperRecord();
        }
        const size_t toBoundary = 0x10000 - (address & 0xFFFF);
        const size_t count = std::min({size_t{16}, bytes.size() - at, toBoundary});
        text += record(0x00, address, bytes.data() + at, count);
        at += count;
    }
    return text + record(0x01, 0, nullptr, 0);
}

}  // namespace testhex
