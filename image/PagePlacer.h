// Where every reader's bytes go by address: an image's pages, or (to judge a file before the
// target is known) nowhere, with only what no target could take refused.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FlashImage.h"

class IByteSink {
public:
    virtual ~IByteSink() = default;
    // count bytes from address on. 64 bits, so that bytes running past 0xFFFFFFFF cannot
    // wrap round to low addresses. None when taken, else why not.
    virtual LoadFault Place(uint64_t address, const uint8_t* bytes, uint32_t count) = 0;
    // After the last byte: false when none was given.
    virtual bool Finish() = 0;
};

// Adds pages (0xFF throughout) as far as the bytes need.
class CPagePlacer : public IByteSink {
public:
    CPagePlacer(FlashImage& image, uint32_t pageSize, uint32_t minAddress)
        : m_image(image), m_nPageSize(pageSize), m_nMinAddress(minAddress) {}

    LoadFault Place(uint64_t address, const uint8_t* bytes, uint32_t count) override {
        if (count == 0) return LoadFault::None;
        const uint64_t last = address + count - 1;
        if (last > UINT32_MAX) return LoadFault::TooHigh;
        // The bytes run without a gap, so the first and the last one decide for all.
        if (address < m_nMinAddress) return LoadFault::BelowBase;
        if ((last - m_nMinAddress) / m_nPageSize >= FlashImage::kMaxPages) {
            return LoadFault::TooHigh;
        }
        uint32_t offset = static_cast<uint32_t>(address - m_nMinAddress);
        while (count > 0) {
            const uint32_t index = offset / m_nPageSize;
            const uint32_t within = offset % m_nPageSize;
            const uint32_t n = std::min(count, m_nPageSize - within);
            while (m_image.PageCount() <= index) {
                if (!AddNext()) return LoadFault::Memory;
            }
            FlashPage* page = m_image.FindPage(static_cast<int32_t>(index));
            std::memcpy(page->data + within, bytes, n);
            page->hasData = true;
            CountGiven(offset, n);
            offset += n;
            bytes += n;
            count -= n;
        }
        return LoadFault::None;
    }

    // Every page full: bytes no record gave are already 0xFF. Until then the pages before
    // the last are full and the last one counts as empty. False when no byte was placed: a
    // page of 0xFF alone is no firmware, yet the job would erase the chip for it.
    bool Finish() override {
        const uint32_t count = m_image.PageCount();
        if (count == 0) return false;
        m_image.FindPage(static_cast<int32_t>(count - 1))->length = m_nPageSize;
        m_image.SetDataBytes(m_nGiven);
        return true;
    }

private:
    // One bit an image byte, so that a byte given twice counts once.
    void CountGiven(uint32_t offset, uint32_t count) {
        const size_t needed = (size_t{offset} + count + 7) / 8;
        if (m_given.size() < needed) m_given.resize(needed, 0);
        for (uint32_t at = offset; at < offset + count; ++at) {
            uint8_t& bits = m_given[at / 8];
            const uint8_t bit = static_cast<uint8_t>(1u << (at % 8));
            if ((bits & bit) == 0) {
                bits = static_cast<uint8_t>(bits | bit);
                ++m_nGiven;
            }
        }
    }

    bool AddNext() {
        const uint32_t count = m_image.PageCount();
        FlashPage* page = m_image.AddPage(m_nPageSize, static_cast<int32_t>(count));
        if (page == nullptr) return false;
        std::memset(page->data, 0xFF, m_nPageSize);
        if (count > 0) m_image.FindPage(static_cast<int32_t>(count - 1))->length = m_nPageSize;
        return true;
    }

    FlashImage& m_image;
    uint32_t m_nPageSize;
    uint32_t m_nMinAddress;
    std::vector<uint8_t> m_given;
    uint32_t m_nGiven = 0;
};

// Keeps no byte: refuses what no base or page size could place, bytes past 0xFFFFFFFF and
// bytes further apart than the largest image holds.
class CSpanCheck : public IByteSink {
public:
    LoadFault Place(uint64_t address, const uint8_t*, uint32_t count) override {
        if (count == 0) return LoadFault::None;
        const uint64_t last = address + count - 1;
        if (last > UINT32_MAX) return LoadFault::TooHigh;
        const uint64_t lowest = m_bAny ? std::min(m_nLowest, address) : address;
        const uint64_t highest = m_bAny ? std::max(m_nHighest, last) : last;
        if (highest - lowest >= uint64_t{FlashImage::kMaxPages} * FlashImage::kMaxPageSize) {
            return LoadFault::TooHigh;
        }
        m_nLowest = lowest;
        m_nHighest = highest;
        m_bAny = true;
        return LoadFault::None;
    }
    bool Finish() override { return m_bAny; }

private:
    bool m_bAny = false;
    uint64_t m_nLowest = 0;
    uint64_t m_nHighest = 0;
};

// Reads an open file into a sink; false with the reason in the error.
using FileReader = std::function<bool(std::FILE*, IByteSink&, LoadError&)>;

// Opens the file and reads it through a span check. 1 when read has no fault to report;
// 0 otherwise, with *error (when not null) filled.
int CheckThrough(const std::string& path, LoadError* error, const FileReader& read);
