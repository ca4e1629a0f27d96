// Helpers for the image tests: a scratch folder, files, a small Intel HEX writer, and the
// image read back as one byte string.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "FlashImage.h"

using Bytes = std::vector<uint8_t>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class CScratchDir {
public:
    CScratchDir();
    ~CScratchDir();
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;

    std::string File(const std::string& name) const;

private:
    std::filesystem::path m_path;
};

void WriteText(const std::string& path, const std::string& text);
void WriteBytes(const std::string& path, const Bytes& bytes);
Bytes ReadBytes(const std::string& path);

// One record line, upper-case digits, right checksum, no terminator.
std::string HexLine(uint8_t type, uint16_t address, const Bytes& data);
std::string DataLine(uint16_t address, const Bytes& data);
std::string UpperLine(uint16_t upper);  // type 0x04
std::string EndLine();                  // type 0x01

// Lines joined, each ending in "\r\n" (the usual toolchain output).
std::string HexText(const std::vector<std::string>& lines);

// count bytes: first, first + 1, ... (modulo 256).
Bytes Ramp(size_t count, uint8_t first = 0);
// count bytes from a fixed seed.
Bytes RandomBytes(size_t count, uint32_t seed);

// The chain from page 0, each page up to its length; throws when the chain does not run
// 0, 1, 2, ... for exactly PageCount pages.
Bytes ImageBytes(const FlashImage& image);

// The image is exactly expected (whole pages of pageSize), naming the first differing offset.
void ExpectImageBytes(const FlashImage& image, const Bytes& expected, uint32_t pageSize);
