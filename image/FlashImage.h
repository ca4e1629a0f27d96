// Firmware image: an Intel HEX, S-record, ELF or raw binary file read into a chain of equally
// sized pages.
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
// line terminator) are ignored, as the dialog has always read lines. A line without ':'
// leaves the other fields as they were.
void ParseHexRecord(std::string line, HexRecord& record);

// Why a load failed.
enum class LoadFault {
    None,
    Open,            // the file cannot be opened
    Read,            // reading it failed part-way
    PageSize,        // the page size is 0 or above 1024
    Record,          // a line is not a well-formed record
    Checksum,        // a record's bytes do not add up to what its checksum says
    UpperAddress,    // a type 0x04 record does not hold two bytes
    SegmentAddress,  // a type 0x02 record does not hold two bytes
    RecordType,      // a record of a type the reader does not know
    Conflict,        // a record gives a byte another line gave otherwise
    RecordCount,     // an S5/S6 record's count is not the number of data records before it
    BelowBase,       // a byte lies below the lowest address allowed
    TooHigh,         // a byte lies in page kMaxPages or above, or past 0xFFFFFFFF
    NoData,          // no data byte at all (an empty binary file, too)
    NoEnd,           // no end record
    Memory,          // a page could not be allocated
    ElfHeader,       // the ELF header or program header table is cut short or malformed
    ElfSegment,      // a segment's bytes run past the end of the file
    ElfClass,        // not a 32-bit ELF file (value: its word size in bits)
    ElfEncoding,     // a big-endian ELF file
    ElfMachine,      // an ELF file for another machine than ARM (value: its e_machine)
    ElfTooLarge,     // the loadable segments hold more file bytes together than an image can
};

// A failed load's fault and the line it was found on (1 for the first line, blank lines
// counted; 0 when no one line is to blame, and always in a binary file). In an ELF file
// "lines" are segments, by their index in the program header table (from 0, as readelf
// numbers them), and only a conflict names them.
struct LoadError {
    LoadFault fault = LoadFault::None;
    uint32_t line = 0;
    // Conflict: the first line (segment) that gave the byte at address otherwise.
    uint32_t earlierLine = 0;
    uint32_t address = 0;
    // ElfClass, ElfMachine: what the file says.
    uint32_t value = 0;
};

// How the HEX reader takes records a careful tool would question. Both honour type 0x02
// (extended segment address) records and ignore types 0x03 and 0x05.
enum class HexRules {
    // The dialog's, as it has always read: records after an end-of-file record still count,
    // unknown record types are ignored, and a later record's byte replaces an earlier one's.
    Lenient,
    // The command line's: a UTF-8 byte-order mark before line 1 is skipped; reading stops at
    // the end-of-file record (a warning names the first line behind it that is not blank);
    // unknown record types, and two records that give one address different bytes, are
    // refused. A record holds up to 255 data bytes; nothing but blanks may follow its
    // checksum, and a line is at most 1024 characters.
    Strict,
};

// What a load accepted yet a user should hear of.
enum class LoadNote {
    AfterEnd,  // lines stand behind the end record; they were not read
};
struct LoadWarning {
    LoadNote note;
    uint32_t line;
};

class IByteSink;

class FlashImage {
public:
    static constexpr uint32_t kMaxPageSize = 1024;
    // Most pages a loaded image may have: pages 0 to kMaxPages - 1, so a byte whose image
    // offset divided by the page size reaches kMaxPages fails the load. With 1024-byte pages
    // this is 16 MiB less one page, eight times the largest STM32 flash: a file that reaches
    // further is not firmware for one (a stray address record), and its memory stays bounded.
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
    // How many addresses the loaded file gave a byte to (each counted once, however often
    // the file gives it); 0 when nothing is loaded.
    uint32_t DataBytes() const { return m_dataBytes; }
    void SetDataBytes(uint32_t count) { m_dataBytes = count; }

    // Builds the image from the Intel HEX file at path: each data byte at its address minus
    // minAddress, pages of pageSize bytes, every byte no record gives 0xFF. 1 on success;
    // 0 on failure, after which the image must not be used. The dialog's load: Lenient rules.
    //
    // The address of a data byte is the base plus the load offset plus its position in the
    // record. The base is 0 until a type 0x04 record sets it to its value << 16 or a type
    // 0x02 record to its value * 16; the latest of them holds. On success the pages run from
    // index 0 to the page of the highest byte given and all of them are full, so TotalBytes
    // is PageCount * pageSize; hasData marks the pages a data byte landed in.
    // The load fails, leaving the image empty, when: the file cannot be opened; a line is not
    // a valid record; a type 0x02 or 0x04 record does not hold two bytes; a data byte lies
    // below minAddress (before any type 0x04 record too), in page kMaxPages or above, or
    // above 0xFFFFFFFF (a record running off the top of the address space); the file gives
    // no data byte at all; a page cannot be allocated; pageSize is 0 or above 1024; or no
    // end-of-file record (type 0x01) has been read by the end of the file; and, under Strict
    // rules, at a record of an unknown type or a conflicting byte. A blank line (nothing but
    // spaces and tabs before its terminator) is skipped wherever it stands. Lines are read
    // up to 259 characters at a time; the rest of a longer line is parsed as a line of its
    // own. (Strict rules read lines of up to 1024 characters and refuse longer ones.)
    int LoadHexFile(std::string path, uint32_t pageSize, uint32_t minAddress);
    // The same load under the given rules; a failure also fills *error (when not null), and
    // what it accepted but should be told is added to *warnings (when not null).
    int LoadHexFile(const std::string& path, uint32_t pageSize, uint32_t minAddress, HexRules rules,
                    LoadError* error, std::vector<LoadWarning>* warnings = nullptr);

    // Builds the image from a Motorola S-record file, as a Strict HEX load does: S0 (header)
    // ignored; S1, S2 and S3 data with 16-, 24- and 32-bit addresses; S5 and S6 counts
    // checked against the data records before them; S7, S8 or S9 ends the file (required;
    // the first non-blank line behind it is warned of, not read); every checksum (the ones'
    // complement of the sum of count, address and data bytes) checked; a byte given twice
    // differently refused; S4 (reserved) refused. A line is at most 1024 characters.
    int LoadSrecFile(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                     LoadError* error, std::vector<LoadWarning>* warnings = nullptr);

    // Builds the image from a 32-bit little-endian ELF file for ARM: the file bytes
    // (p_filesz of them, none of the zero fill up to p_memsz) of every PT_LOAD segment at its
    // physical address p_paddr, where initialised data is loaded from. Segments without
    // file bytes are skipped. Refused, besides what any load refuses (bytes below
    // minAddress, too high, no data): another class, encoding or machine; a header or
    // program header table cut short or malformed; a segment running past the end of the
    // file; segments that hold more file bytes together than kMaxPages pages of
    // kMaxPageSize (before any is copied); two segments that give one address different
    // bytes.
    int LoadElfFile(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                    LoadError* error);

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
                    const std::function<bool(std::FILE*, IByteSink&, LoadError&)>& fill);

    FlashPage* m_pHead;
    FlashPage* m_pTail;  // last page, so that appending does not walk the chain
    // The same pages as the chain, by index: AddPage keeps page i at position i.
    std::vector<FlashPage*> m_pages;
    uint32_t m_dataBytes = 0;
};

// Read a file through without keeping its bytes, to judge it before a target is known: 1 when
// the load would accept it with some base and page size (all it refuses but bytes below the
// base: a byte past 0xFFFFFFFF, or bytes further apart than kMaxPages pages of
// kMaxPageSize, are refused); 0 otherwise, with *error (when not null) filled.
int CheckHexFile(const std::string& path, HexRules rules, LoadError* error);
int CheckSrecFile(const std::string& path, LoadError* error);
int CheckElfFile(const std::string& path, LoadError* error);
