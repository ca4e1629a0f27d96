#include "HexTestKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

CScratchDir::CScratchDir() {
    static std::atomic<unsigned> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = fs::temp_directory_path() /
                                   ("kestrel-image-" + std::to_string(stamp) + "-" +
                                    std::to_string(entropy()) + "-" + std::to_string(serial++));
        if (fs::create_directory(candidate)) {
            m_path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder");
}

CScratchDir::~CScratchDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::string CScratchDir::File(const std::string& name) const { return (m_path / name).string(); }

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string HexLine(uint8_t type, uint16_t address, const Bytes& data) {
    Bytes record;
    record.push_back(static_cast<uint8_t>(data.size()));
    record.push_back(static_cast<uint8_t>(address >> 8));
    record.push_back(static_cast<uint8_t>(address & 0xFF));
    record.push_back(type);
    record.insert(record.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : record) sum = static_cast<uint8_t>(sum + b);
    record.push_back(static_cast<uint8_t>(0x100 - sum));

    std::string line = ":";
    char digits[3];
    for (uint8_t b : record) {
        std::snprintf(digits, sizeof(digits), "%02X", b);
        line += digits;
    }
    return line;
}

std::string DataLine(uint16_t address, const Bytes& data) { return HexLine(0x00, address, data); }

std::string UpperLine(uint16_t upper) {
    return HexLine(0x04, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
}

std::string EndLine() { return HexLine(0x01, 0, {}); }

std::string HexText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

Bytes Ramp(size_t count, uint8_t first) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

Bytes RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(byte(engine));
    return bytes;
}

Bytes ImageBytes(const FlashImage& image) {
    Bytes bytes;
    uint32_t position = 0;
    for (const FlashPage* page = image.FindPage(0); page != nullptr; page = page->next) {
        if (page->index != static_cast<int32_t>(position)) {
            throw std::runtime_error("pages out of index order");
        }
        bytes.insert(bytes.end(), page->data, page->data + page->length);
        ++position;
    }
    if (position != image.PageCount()) throw std::runtime_error("chain length is not PageCount");
    return bytes;
}

void ExpectImageBytes(const FlashImage& image, const Bytes& expected, uint32_t pageSize) {
    ASSERT_EQ(expected.size() % pageSize, 0u);
    EXPECT_EQ(image.PageCount(), expected.size() / pageSize);
    EXPECT_EQ(image.TotalBytes(), image.PageCount() * pageSize);
    const Bytes actual = ImageBytes(image);
    ASSERT_EQ(actual.size(), expected.size());
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin());
    EXPECT_TRUE(diff.first == actual.end())
        << "first difference at image offset " << (diff.first - actual.begin());
}
