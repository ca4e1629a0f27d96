// Loads one HEX file the way the programming job does and prints the time taken.
// Usage: kestrel-hexload-bench file.hex
#include <chrono>
#include <cstdio>

#include "FlashImage.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s file.hex\n", argv[0]);
        return 2;
    }
    FlashImage image;
    const auto start = std::chrono::steady_clock::now();
    const int loaded = image.LoadHexFile(argv[1], 1024, 0x08000000);
    const auto end = std::chrono::steady_clock::now();
    if (!loaded) {
        std::fprintf(stderr, "%s: load failed\n", argv[1]);
        return 1;
    }
    const double ms = std::chrono::duration<double, std::milli>(end - start).count();
    std::printf("%.1f ms %u pages\n", ms, image.PageCount());
    return 0;
}
