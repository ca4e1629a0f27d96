// libFuzzer target for the file readers: any bytes as a whole file through LoadHexFile (under
// either rules), LoadSrecFile and LoadElfFile and their checks, and each line through
// ParseHexRecord. Besides crashes and leaks it stops on results that break what FlashImage.h
// promises.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FlashImage.h"

namespace {

constexpr uint32_t kPageSize = 1024;
constexpr uint32_t kBase = 0x08000000;

void Fail(const char* what) {
    std::fprintf(stderr, "hex_fuzz: %s\n", what);
    std::abort();
}

// One file for the whole process, unlinked at once and reached through /proc, so that a
// crash leaves nothing behind in the temporary folder.
const std::string& ScratchPath(int& fd) {
    static int s_fd = -1;
    static std::string s_path;
    if (s_fd < 0) {
        const char* dir = std::getenv("TMPDIR");
        std::string name =
            std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kestrel-hex-fuzz-XXXXXX";
        s_fd = mkstemp(name.data());
        if (s_fd < 0) Fail("no temporary file");
        unlink(name.c_str());
        s_path = "/proc/self/fd/" + std::to_string(s_fd);
    }
    fd = s_fd;
    return s_path;
}

void WriteScratch(int fd, const uint8_t* data, size_t size) {
    if (ftruncate(fd, 0) != 0) Fail("cannot truncate the temporary file");
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) Fail("cannot write the temporary file");
        done += static_cast<size_t>(n);
    }
}

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The header's rule for a valid record, written out independently: ':', a count of at most
// kMaxData, enough characters for it, hex digits throughout, and bytes adding up to 0.
bool ExpectedValid(const std::string& line, uint8_t bytes[HexRecord::kMaxData + 5]) {
    if (line.empty() || line[0] != ':' || line.size() < 3) return false;
    const int countHigh = Digit(line[1]);
    const int countLow = Digit(line[2]);
    if (countHigh < 0 || countLow < 0) return false;
    const size_t count = static_cast<size_t>(countHigh * 16 + countLow);
    if (count > HexRecord::kMaxData || line.size() < 11 + 2 * count) return false;
    uint8_t sum = 0;
    for (size_t i = 0; i < count + 5; ++i) {
        const int high = Digit(line[1 + 2 * i]);
        const int low = Digit(line[2 + 2 * i]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum == 0;
}

void CheckRecord(const std::string& line) {
    HexRecord record;
    std::memset(&record, 0xA5, sizeof(record));
    const HexRecord before = record;
    ParseHexRecord(line, record);

    uint8_t bytes[HexRecord::kMaxData + 5];
    const bool valid = ExpectedValid(line, bytes);
    if (record.valid != (valid ? 1u : 0u)) Fail("ParseHexRecord: wrong valid flag");
    if (line.empty() || line[0] != ':') {
        // Field by field: padding need not survive the copy into before.
        if (record.address != before.address || record.type != before.type ||
            record.count != before.count ||
            std::memcmp(record.data, before.data, sizeof(record.data)) != 0) {
            Fail("ParseHexRecord: a line without ':' changed the record");
        }
        return;
    }
    if (!valid) return;
    if (record.count != bytes[0] || record.type != bytes[3] ||
        record.address != ((static_cast<uint32_t>(bytes[1]) << 8) | bytes[2]) ||
        std::memcmp(record.data, bytes + 4, record.count) != 0) {
        Fail("ParseHexRecord: fields differ from the line");
    }
}

// Success: pages 0, 1, 2, ... all full; failure: nothing left. A check before the target is
// known passes every file a load takes.
void CheckImage(const FlashImage& image, int result, int checked) {
    if (result == 1 && checked != 1) Fail("a check refused a file its load took");
    if (result != 0 && result != 1) Fail("load: result neither 0 nor 1");
    if (result == 0) {
        if (image.PageCount() != 0 || image.TotalBytes() != 0 || image.FindPage(0) != nullptr) {
            Fail("load: a failed load left pages");
        }
        return;
    }
    if (image.PageCount() == 0) Fail("load: success without a page");
    if (image.TotalBytes() != image.PageCount() * kPageSize) Fail("load: a page not full");
    uint32_t pages = 0;
    for (const FlashPage* page = image.FindPage(0); page != nullptr; page = page->next) {
        if (page->index != static_cast<int32_t>(pages)) Fail("load: pages out of order");
        if (page->capacity != kPageSize || page->length != kPageSize) {
            Fail("load: page of the wrong size");
        }
        ++pages;
    }
    if (pages != image.PageCount()) Fail("load: chain and page count differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = -1;
    const std::string& path = ScratchPath(fd);
    WriteScratch(fd, data, size);
    FlashImage image;
    CheckImage(image, image.LoadHexFile(path, kPageSize, kBase),
               CheckHexFile(path, HexRules::Lenient, nullptr));
    std::vector<LoadWarning> warnings;
    CheckImage(image,
               image.LoadHexFile(path, kPageSize, kBase, HexRules::Strict, nullptr, &warnings),
               CheckHexFile(path, HexRules::Strict, nullptr));
    CheckImage(image, image.LoadSrecFile(path, kPageSize, kBase, nullptr, &warnings),
               CheckSrecFile(path, nullptr));
    CheckImage(image, image.LoadElfFile(path, kPageSize, kBase, nullptr),
               CheckElfFile(path, nullptr));

    // Lines as the loader cuts them when none is over-long: up to and including '\n'.
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        const size_t stop = end == std::string::npos ? text.size() : end + 1;
        CheckRecord(text.substr(start, stop - start));
        start = stop;
    }
    return 0;
}
