// Lays loaded bytes into an image's pages by address, for the HEX and the binary reader alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FlashImage.h"

// Adds pages (0xFF throughout) as far as the bytes need.
class CPagePlacer {
public:
    CPagePlacer(FlashImage& image, uint32_t pageSize, uint32_t minAddress)
        : m_image(image), m_nPageSize(pageSize), m_nMinAddress(minAddress) {}

    // count bytes from address on. 64 bits, so that bytes running past 0xFFFFFFFF cannot
    // wrap round to low addresses. None when placed, else why not.
    LoadFault Place(uint64_t address, const uint8_t* bytes, uint32_t count) {
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
            offset += n;
            bytes += n;
            count -= n;
        }
        return LoadFault::None;
    }

    // Every page full: bytes no record gave are already 0xFF. Until then the pages before
    // the last are full and the last one counts as empty. False when no byte was placed: a
    // page of 0xFF alone is no firmware, yet the job would erase the chip for it.
    bool Finish() {
        const uint32_t count = m_image.PageCount();
        if (count == 0) return false;
        m_image.FindPage(static_cast<int32_t>(count - 1))->length = m_nPageSize;
        return true;
    }

private:
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
};
