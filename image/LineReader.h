// Lines of a text file in pieces of bounded length, and hexadecimal digits, for the HEX and
// S-record readers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Value of each character as a hexadecimal digit, -1 for every other character.
inline constexpr std::array<int8_t, 256> kDigitValue = [] {
    std::array<int8_t, 256> table{};
    for (int8_t& value : table) value = -1;
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
    return table;
}();

// Two digits at text, high digit first. The caller has made sure both lie inside the line.
inline bool ReadHexByte(const char* text, uint8_t& value) {
    const int high = kDigitValue[static_cast<unsigned char>(text[0])];
    const int low = kDigitValue[static_cast<unsigned char>(text[1])];
    if (high < 0 || low < 0) return false;
    value = static_cast<uint8_t>((high << 4) | low);
    return true;
}

// Only spaces and tabs before the terminator: editors and some tools leave such lines,
// most often one behind the end record. A '\r' alone at the end counts as part of a
// terminator cut at the piece limit.
inline bool IsBlankLine(const char* line, size_t length) {
    if (length > 0 && line[length - 1] == '\n') --length;
    if (length > 0 && line[length - 1] == '\r') --length;
    for (size_t i = 0; i < length; ++i) {
        if (line[i] != ' ' && line[i] != '\t') return false;
    }
    return true;
}

// Hands out the file's lines in pieces of at most pieceMax characters, terminator kept,
// straight out of a block buffer: a 46 MB file has a million lines, so none is copied.
class CPieceReader {
public:
    // skipBom: a UTF-8 byte-order mark at the very start of the file is no part of line 1.
    CPieceReader(std::FILE* file, size_t pieceMax, bool skipBom);
    ~CPieceReader();
    CPieceReader(const CPieceReader&) = delete;
    CPieceReader& operator=(const CPieceReader&) = delete;

    bool HasBuffer() const { return m_pBuffer != nullptr; }

    // The next piece; false at the end of the file or when reading failed. A piece that does
    // not end in '\n' is the start of a longer line, or the file's last line.
    bool Next(const char*& piece, size_t& length);

private:
    // Moves the unread rest (shorter than a piece) to the front and reads a block behind it.
    void Refill();

    std::FILE* m_file;
    size_t m_nPieceMax;
    char* m_pBuffer;
    size_t m_nPos = 0;  // first unread character
    size_t m_nEnd = 0;  // behind the last character read
    bool m_bAtEnd = false;
    bool m_bSkipBom;
};
