#include "LineReader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
// The file is read in blocks of this size; a piece is never longer than its limit.
constexpr size_t kBlockSize = 64 * 1024;
constexpr char kBom[] = "\xEF\xBB\xBF";
}  // namespace

CPieceReader::CPieceReader(std::FILE* file, size_t pieceMax, bool skipBom)
    : m_file(file),
      m_nPieceMax(pieceMax),
      m_pBuffer(static_cast<char*>(std::malloc(kBlockSize + pieceMax))),
      m_bSkipBom(skipBom) {}

CPieceReader::~CPieceReader() { std::free(m_pBuffer); }

bool CPieceReader::Next(const char*& piece, size_t& length) {
    for (;;) {
        const char* start = m_pBuffer + m_nPos;
        const size_t held = m_nEnd - m_nPos;
        const size_t window = std::min(held, m_nPieceMax);
        const void* newline = std::memchr(start, '\n', window);
        if (newline != nullptr) {
            length = static_cast<size_t>(static_cast<const char*>(newline) - start) + 1;
        } else if (held >= m_nPieceMax || (m_bAtEnd && held > 0)) {
            length = window;
        } else if (m_bAtEnd) {
            return false;
        } else {
            Refill();
            continue;
        }
        piece = start;
        m_nPos += length;
        return true;
    }
}

void CPieceReader::Refill() {
    const size_t held = m_nEnd - m_nPos;
    std::memmove(m_pBuffer, m_pBuffer + m_nPos, held);
    m_nPos = 0;
    const size_t got = std::fread(m_pBuffer + held, 1, kBlockSize, m_file);
    m_nEnd = held + got;
    // The first block holds the file's start (a block is far longer than a mark).
    if (m_bSkipBom && m_nEnd >= 3 && std::memcmp(m_pBuffer, kBom, 3) == 0) m_nPos = 3;
    m_bSkipBom = false;
    // A short read need not be the end; only a read that gives nothing is.
    if (got == 0) m_bAtEnd = true;
}
