// The page store: a singly linked chain of pages, each one calloc'd block.
#include "FlashImage.h"

#include <cstdlib>
#include <new>

#include "PagePlacer.h"

FlashImage::FlashImage() : m_pHead(nullptr), m_pTail(nullptr) {}

FlashImage::~FlashImage() { Clear(); }

int FlashImage::Clear() {
    // free() cannot refuse a block, so this always succeeds.
    FlashPage* page = m_pHead;
    while (page != nullptr) {
        FlashPage* next = page->next;
        std::free(page);
        page = next;
    }
    m_pHead = nullptr;
    m_pTail = nullptr;
    std::vector<FlashPage*>().swap(m_pages);
    m_dataBytes = 0;
    return 1;
}

FlashPage* FlashImage::AddPage(uint32_t capacity, int32_t index) {
    if (capacity > kMaxPageSize) return nullptr;
    // Pages must carry 0, 1, 2, ... in chain order; anything else would break FindPage users.
    const int32_t expected = (m_pTail == nullptr) ? 0 : m_pTail->index + 1;
    if (index != expected) return nullptr;
    // Room in the index first, so that a refusal there leaves nothing to undo.
    if (m_pages.size() == m_pages.capacity()) {
        try {
            m_pages.reserve(m_pages.empty() ? 64 : 2 * m_pages.size());
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    void* block = std::calloc(1, sizeof(FlashPage) + capacity);
    if (block == nullptr) return nullptr;

    FlashPage* page = static_cast<FlashPage*>(block);
    page->data = reinterpret_cast<unsigned char*>(page + 1);
    page->capacity = capacity;
    page->length = 0;
    page->index = index;
    page->hasData = false;
    page->next = nullptr;

    if (m_pTail == nullptr) {
        m_pHead = page;
    } else {
        m_pTail->next = page;
    }
    m_pTail = page;
    m_pages.push_back(page);  // cannot throw: the room was made above
    return page;
}

FlashPage* FlashImage::FindPage(int32_t index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_pages.size()) return nullptr;
    return m_pages[static_cast<size_t>(index)];
}

uint32_t FlashImage::PageCount() const { return static_cast<uint32_t>(m_pages.size()); }

uint32_t FlashImage::TotalBytes() const {
    uint32_t total = 0;
    for (const FlashPage* page = m_pHead; page != nullptr; page = page->next) {
        total += page->length;
    }
    return total;
}

int FlashImage::LoadThrough(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                            LoadError* error, const FileReader& fill) {
    LoadError local;
    LoadError& why = error != nullptr ? *error : local;
    why = LoadError();
    if (PageCount() != 0) Clear();
    if (pageSize == 0 || pageSize > kMaxPageSize) {
        why.fault = LoadFault::PageSize;
        return 0;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        why.fault = LoadFault::Open;
        return 0;
    }
    CPagePlacer placer(*this, pageSize, minAddress);
    const bool ok = fill(file, placer, why);
    std::fclose(file);
    // A failed load leaves nothing that could be mistaken for firmware.
    if (!ok) Clear();
    return ok ? 1 : 0;
}

int CheckThrough(const std::string& path, LoadError* error, const FileReader& read) {
    LoadError local;
    LoadError& why = error != nullptr ? *error : local;
    why = LoadError();
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        why.fault = LoadFault::Open;
        return 0;
    }
    CSpanCheck check;
    const bool ok = read(file, check, why);
    std::fclose(file);
    return ok ? 1 : 0;
}
