// The raw binary reader: the file's bytes one after another from a given address.
#include <cstdio>
#include <vector>

#include "FlashImage.h"
#include "PagePlacer.h"

namespace {

// Read in blocks of this size, so that no copy of the whole file is held beside the pages.
constexpr size_t kBlockSize = 64 * 1024;

LoadFault PlaceFile(FILE* file, IByteSink& placer, uint32_t address) {
    std::vector<uint8_t> block(kBlockSize);
    uint64_t at = address;
    for (;;) {
        const size_t got = std::fread(block.data(), 1, block.size(), file);
        if (got == 0) break;
        const LoadFault fault = placer.Place(at, block.data(), static_cast<uint32_t>(got));
        if (fault != LoadFault::None) return fault;
        at += got;
    }
    if (std::ferror(file)) return LoadFault::Read;
    return placer.Finish() ? LoadFault::None : LoadFault::NoData;
}

}  // namespace

int FlashImage::LoadBinaryFile(const std::string& path, uint32_t pageSize, uint32_t minAddress,
                               uint32_t address, LoadError* error) {
    return LoadThrough(path, pageSize, minAddress, error,
                       [address](FILE* file, IByteSink& placer, LoadError& why) {
                           why.fault = PlaceFile(file, placer, address);
                           return why.fault == LoadFault::None;
                       });
}
