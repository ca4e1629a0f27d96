// Firmware image: an Intel HEX file read into a chain of equally sized pages.
#pragma once

#include <cstdint>
#include <string>

// One page: a single zero-filled heap block, this header followed by the bytes.
struct FlashPage {
    unsigned char* data;  // just behind the header, in the same block
    uint32_t capacity;    // page size, at most 1024
    uint32_t length;      // bytes filled so far
    int32_t index;        // page number, 0 for the first page
    FlashPage* next;
};

// One parsed line of an Intel HEX file.
struct HexRecord {
    static constexpr int kMaxData = 64;
    uint32_t address;  // the 16-bit load-offset field
    uint8_t type;
    uint8_t data[kMaxData];
    uint8_t count;
    uint32_t valid;  // 1: starts with ':', fits, and its checksum is right
};

// Parses one line into record; always sets record.valid.
void ParseHexRecord(std::string line, HexRecord& record);

class FlashImage {
public:
    static constexpr uint32_t kMaxPageSize = 1024;

    FlashImage();
    ~FlashImage();
    FlashImage(const FlashImage&) = delete;
    FlashImage& operator=(const FlashImage&) = delete;

    // Frees every page; the image is empty afterwards. 1, or 0 if a block could not be freed.
    int Clear();
    // Appends a zero-filled page behind page index - 1; null for capacity > 1024 or no memory.
    FlashPage* AddPage(uint32_t capacity, int32_t index);
    // First page whose index equals the argument, or null.
    FlashPage* FindPage(int32_t index) const;
    uint32_t PageCount() const;
    // Sum of the lengths of all pages.
    uint32_t TotalBytes() const;

    // Builds the image from the file at path: each data byte at its linear address minus
    // minAddress, pages of pageSize bytes, every byte no record gives 0xFF. 1 on success;
    // 0 on failure, after which the image must not be used.
    int LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress);

private:
    FlashPage* m_pHead;
    uint32_t m_nPageCount;
};
