// Firmware image: an Intel HEX or raw binary file read into a chain of equally sized pages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// One page: a single zero-filled heap block, this header followed by the bytes.
struct FlashPage {
    unsigned char* data;  // just behind the header, in the same block
    uint32_t capacity;    // page size, at most 1024
    uint32_t length;      // bytes filled so far
    int32_t index;        // page number, 0 for the first page
    // A data byte of the loaded file landed here; false on pages added only to reach a
    // higher one, which page erase then leaves alone.
    bool hasData;
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

// Parses one line into record; always sets record.valid. The line is valid when it starts
// with ':', holds at least as many characters as its byte count asks for, that count is at
// most kMaxData, every character read is a hexadecimal digit (either case) and the checksum
// makes all bytes of the record add up to 0 modulo 256. Characters behind the checksum (the
// line terminator) are ignored. A line without ':' leaves the other fields as they were.
void ParseHexRecord(std::string line, HexRecord& record);

// Why a load failed.
enum class LoadFault {
    None,
    Open,          // the file cannot be opened
    Read,          // reading it failed part-way
    PageSize,      // the page size is 0 or above 1024
    Record,        // a line is not a well-formed record
    Checksum,      // a record's bytes do not add up to 0
    UpperAddress,  // a type 0x04 record does not hold two bytes
    BelowBase,     // a byte lies below the lowest address allowed
    TooHigh,       // a byte lies in page kMaxPages or above, or past 0xFFFFFFFF
    NoData,        // no data byte at all (an empty binary file, too)
    NoEnd,         // no end-of-file record
    Memory,        // a page could not be allocated
};

// A failed load's fault and the HEX line it was found on (1 for the first line, blank lines
// counted; 0 when no one line is to blame).
struct LoadError {
    LoadFault fault = LoadFault::None;
    uint32_t line = 0;
};

class CPagePlacer;

class FlashImage {
public:
    static constexpr uint32_t kMaxPageSize = 1024;
    // Most pages a loaded image may have: pages 0 to kMaxPages - 1, so a byte whose image
    // offset divided by the page size reaches kMaxPages fails the load. The job's progress
    // bar counts pages in a 16-bit range; with 1024-byte pages this is 16 MiB less one page.
    static constexpr uint32_t kMaxPages = 16383;

    FlashImage();
    ~FlashImage();
    FlashImage(const FlashImage&) = delete;
    FlashImage& operator=(const FlashImage&) = delete;

    // Frees every page; the image is empty afterwards. Always 1.
    int Clear();
    // Appends a zero-filled page (length 0, no data) behind the last page and returns it.
    // The index must continue the chain: 0 for an empty image, else the last page's index + 1.
    // Null, with the image unchanged, for capacity > 1024, an index that does not continue the
    // chain, or no memory.
    FlashPage* AddPage(uint32_t capacity, int32_t index);
    // The page with this index, or null. Constant time: the job asks for every page in turn.
    FlashPage* FindPage(int32_t index) const;
    uint32_t PageCount() const;
    // Sum of the lengths of all pages.
    uint32_t TotalBytes() const;

    // Builds the image from the file at path: each data byte at its linear address minus
    // minAddress, pages of pageSize bytes, every byte no record gives 0xFF. 1 on success;
    // 0 on failure, after which the image must not be used.
    //
    // The linear address of a data byte is (upper 16 bits of the latest type 0x04 record, 0
    // before one) << 16 plus the load offset plus its position in the record. On success the
    // pages run from index 0 to the page of the highest byte given and all of them are full,
    // so TotalBytes is PageCount * pageSize; hasData marks the pages a data byte landed in.
    // The load fails, leaving the image empty, when: the file cannot be opened; a line is not
    // a valid record; a type 0x04 record does not hold two bytes; a data byte lies below
    // minAddress (before any type 0x04 record too), in page kMaxPages or above, or above
    // 0xFFFFFFFF (a record running off the top of the address space); the file gives no data
    // byte at all; a page cannot be allocated; pageSize is 0 or above 1024; or no end-of-file
    // record (type 0x01) has been read by the end of the file. A blank line (nothing but
    // spaces and tabs before its terminator) is skipped wherever it stands. Lines are read up
    // to 259 characters at a time; the rest of a longer line is parsed as a line of its own.
    // Records after an end-of-file record still count. Types other than 0x00, 0x01 and 0x04
    // are ignored.
    int LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress);
    // The same load; a failure also fills *error (when not null) with its fault and line.
    int LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress, LoadError* error);

    // Builds the image from a raw binary file whose first byte belongs at address: pages of
    // pageSize from minAddress, every byte the file does not give 0xFF, hasData on the pages
    // the file's bytes land in, all pages full. 1 on success; 0, with the image empty and
    // *error (when not null) filled, when the file cannot be opened or read, is empty, starts
    // below minAddress, reaches page kMaxPages or past 0xFFFFFFFF, or a page cannot be
    // allocated, or pageSize is 0 or above 1024.
    int LoadBinaryFile(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                       uint32_t address, LoadError* error = nullptr);

private:
    // Clears the image, checks the page size, opens the file and hands it to fill with a
    // placer over this image; a load that fails leaves the image empty.
    int LoadThrough(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                    LoadError* error,
                    const std::function<bool(std::FILE*, CPagePlacer&, LoadError&)>& fill);

    FlashPage* m_pHead;
    FlashPage* m_pTail;  // last page, so that appending does not walk the chain
    // The same pages as the chain, by index: AddPage keeps page i at position i.
    std::vector<FlashPage*> m_pages;
};

// Reads a HEX file through without keeping its bytes, to judge it before a target is known:
// 1 when LoadHexFile would accept it with some base and page size (every line a record or
// blank, each type 0x04 record of two bytes, no byte past 0xFFFFFFFF, a data byte and an
// end-of-file record); 0 otherwise, with *error (when not null) filled.
int CheckHexFile(const std::string& path, LoadError* error);
