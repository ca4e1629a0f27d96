// The loaders against a real toolchain: HEX files that arm-none-eabi-objcopy makes from binary
// blobs, and an ELF file from the ARM assembler and linker, loaded and compared with the
// gap-filled binary that objcopy makes of the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "FlashImage.h"
#include "HexTestKit.h"

namespace {

constexpr uint32_t kBase = 0x08000000;
constexpr uint32_t kPage = 1024;
constexpr const char* kObjcopy = "arm-none-eabi-objcopy";

struct Section {
    uint32_t address;
    Bytes bytes;
};

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string HexNumber(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

class ObjcopyCrossCheck : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string probe =
            std::string(kObjcopy) + " --version > " + Quote(m_dir.File("version.txt")) + " 2>&1";
        ASSERT_EQ(std::system(probe.c_str()), 0)
            << kObjcopy << " did not run. It comes with the Debian package "
            << "binutils-arm-none-eabi, which the install script provides.";
    }

    void Run(const std::string& command) {
        ASSERT_EQ(std::system((command + " 2> " + Quote(m_dir.File("stderr.txt"))).c_str()), 0)
            << command << "\n"
            << Slurp(m_dir.File("stderr.txt"));
    }

    static std::string Slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // One HEX file from objcopy: the first section is the binary input moved with
    // --change-addresses, the others are added sections placed at their addresses.
    std::string MakeHex(const std::vector<Section>& sections, const std::string& name) {
        std::string command = std::string(kObjcopy) + " -I binary -O ihex --change-addresses " +
                              HexNumber(sections[0].address);
        for (size_t i = 0; i < sections.size(); ++i) {
            const std::string blob = m_dir.File(name + "-" + std::to_string(i) + ".bin");
            WriteBytes(blob, sections[i].bytes);
            if (i == 0) continue;
            const std::string section = ".s" + std::to_string(i);
            command += " --add-section " + section + "=" + Quote(blob) + " --set-section-flags " +
                       section + "=alloc,load,contents --change-section-address " + section + "=" +
                       HexNumber(sections[i].address);
        }
        const std::string hex = m_dir.File(name + ".hex");
        command += " " + Quote(m_dir.File(name + "-0.bin")) + " " + Quote(hex);
        Run(command);
        return hex;
    }

    Bytes ObjcopyBinary(const std::string& hex) {
        const std::string bin = hex + ".ref.bin";
        Run(std::string(kObjcopy) + " -I ihex -O binary --gap-fill 0xff " + Quote(hex) + " " +
            Quote(bin));
        return ReadBytes(bin);
    }

    // objcopy's binary starts at the lowest address given; the image starts at the base and
    // runs to whole pages, 0xFF wherever no record gave a byte.
    void ExpectImageMatchesObjcopy(const std::string& hex, const std::vector<Section>& sections) {
        ASSERT_EQ(m_image.LoadHexFile(hex, kPage, kBase), 1) << Slurp(hex).substr(0, 400);
        const Bytes reference = ObjcopyBinary(hex);

        uint32_t lowest = sections[0].address;
        for (const Section& s : sections) lowest = std::min(lowest, s.address);
        // The fixture itself: every section sits in objcopy's binary where we put it.
        for (const Section& s : sections) {
            const size_t at = s.address - lowest;
            ASSERT_LE(at + s.bytes.size(), reference.size());
            ASSERT_TRUE(std::equal(s.bytes.begin(), s.bytes.end(), reference.begin() + at))
                << "section at " << HexNumber(s.address) << " misplaced by objcopy";
        }

        const size_t start = lowest - kBase;
        const size_t pages = (start + reference.size() + kPage - 1) / kPage;
        Bytes expected(pages * kPage, 0xFF);
        std::copy(reference.begin(), reference.end(), expected.begin() + start);

        ExpectImageBytes(m_image, expected, kPage);
    }

    CScratchDir m_dir;
    FlashImage m_image;
};

TEST_F(ObjcopyCrossCheck, ContiguousBlobsOfAssortedSizesMatchObjcopy) {
    const size_t sizes[] = {1,    15,   16,   17,    255,   256,   1000,  1023,  1024,
                            1025, 2048, 4095, 65535, 65536, 65537, 70001, 131172};
    for (size_t size : sizes) {
        SCOPED_TRACE("blob of " + std::to_string(size) + " bytes");
        const std::vector<Section> sections = {
            {kBase, RandomBytes(size, static_cast<uint32_t>(size))}};
        const std::string hex = MakeHex(sections, "blob" + std::to_string(size));
        ExpectImageMatchesObjcopy(hex, sections);
        // Toolchain output from the base is the plain concatenation, padded to whole pages.
        const Bytes actual = ImageBytes(m_image);
        ASSERT_GE(actual.size(), size);
        EXPECT_TRUE(std::equal(sections[0].bytes.begin(), sections[0].bytes.end(), actual.begin()));
    }
}

TEST_F(ObjcopyCrossCheck, SectionsWithGapsInsideAndAcrossPagesMatchObjcopy) {
    const std::vector<Section> sections = {{kBase, RandomBytes(300, 1)},
                                           {kBase + 0x140, RandomBytes(50, 2)},
                                           {kBase + 0x1230, RandomBytes(20, 3)},
                                           {kBase + 0x10005, RandomBytes(7, 4)}};
    ExpectImageMatchesObjcopy(MakeHex(sections, "gaps"), sections);
}

TEST_F(ObjcopyCrossCheck, WholeBlankPageBetweenSectionsMatchesObjcopy) {
    const std::vector<Section> sections = {{kBase, RandomBytes(1024, 5)},
                                           {kBase + 0x800, RandomBytes(1024, 6)}};
    ExpectImageMatchesObjcopy(MakeHex(sections, "blankpage"), sections);
    EXPECT_EQ(m_image.PageCount(), 3u);
    const FlashPage* middle = m_image.FindPage(1);
    ASSERT_NE(middle, nullptr);
    EXPECT_TRUE(
        std::all_of(middle->data, middle->data + kPage, [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(ObjcopyCrossCheck, FileStartingAboveTheBaseMatchesObjcopy) {
    const std::vector<Section> sections = {{kBase + 0xC00, RandomBytes(100, 7)},
                                           {kBase + 0x3001, RandomBytes(513, 8)}};
    ExpectImageMatchesObjcopy(MakeHex(sections, "above"), sections);
    EXPECT_EQ(m_image.FindPage(0)->data[0], 0xFF);
}

TEST_F(ObjcopyCrossCheck, SectionAcrossA64KiBBoundaryMatchesObjcopy) {
    const std::vector<Section> sections = {{kBase, RandomBytes(2000, 9)},
                                           {kBase + 0x1FFF0, RandomBytes(40, 10)}};
    ExpectImageMatchesObjcopy(MakeHex(sections, "boundary"), sections);
}

TEST_F(ObjcopyCrossCheck, FilesJoinedHighAddressFirstMatchObjcopy) {
    const std::vector<Section> high = {{kBase + 0x4000, RandomBytes(40, 11)}};
    const std::vector<Section> low = {{kBase + 0x10, RandomBytes(20, 12)}};
    const std::string highHex = MakeHex(high, "high");
    const std::string lowHex = MakeHex(low, "low");

    // The high file without its end-of-file record, then the low file.
    std::string joined;
    std::istringstream lines(Slurp(highHex));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(":00000001FF", 0) != 0) joined += line + "\n";
    }
    joined += Slurp(lowHex);
    const std::string hex = m_dir.File("joined.hex");
    WriteText(hex, joined);
    ExpectImageMatchesObjcopy(hex, {high[0], low[0]});
}

TEST_F(ObjcopyCrossCheck, RandomLayoutsMatchObjcopy) {
    for (uint32_t seed = 100; seed < 106; ++seed) {
        SCOPED_TRACE("layout seed " + std::to_string(seed));
        std::mt19937 engine(seed);
        std::uniform_int_distribution<int> count(2, 5);
        std::uniform_int_distribution<uint32_t> size(1, 3000);
        std::uniform_int_distribution<uint32_t> gap(1, 0x6000);
        std::vector<Section> sections;
        uint32_t next = kBase + gap(engine) % 0x800;
        for (int i = count(engine); i > 0; --i) {
            const uint32_t length = size(engine);
            sections.push_back({next, RandomBytes(length, seed * 31 + i)});
            next += length + gap(engine);
        }
        // objcopy takes the sections in any order; put the highest first.
        std::reverse(sections.begin(), sections.end());
        ExpectImageMatchesObjcopy(MakeHex(sections, "random" + std::to_string(seed)), sections);
    }
}

// Initialised data is stored in flash behind the code (its load address) and copied to RAM
// (its run address) at start-up: the image holds it at the load address; .bss is nowhere.
TEST_F(ObjcopyCrossCheck, ElfFromTheLinkerPutsDataAtItsLoadAddressAsObjcopyDoes) {
    WriteText(m_dir.File("app.s"), R"(
    .syntax unified
    .thumb
    .section .vectors, "a"
    .word 0x20001000, reset + 1
    .text
reset:
    b reset
    .data
    .word 0x11223344, 0x55667788
    .bss
    .space 64
)");
    WriteText(m_dir.File("app.ld"), R"(
MEMORY {
    FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K
    RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 20K
}
SECTIONS {
    .text : { KEEP(*(.vectors)) *(.text*) . = ALIGN(16); } > FLASH
    .data : { *(.data*) } > RAM AT> FLASH
    .bss : { *(.bss*) } > RAM
}
)");
    const std::string elf = m_dir.File("app.elf"), bin = m_dir.File("app.bin");
    Run("arm-none-eabi-as -o " + Quote(m_dir.File("app.o")) + " " + Quote(m_dir.File("app.s")));
    Run("arm-none-eabi-ld -T " + Quote(m_dir.File("app.ld")) + " -o " + Quote(elf) + " " +
        Quote(m_dir.File("app.o")));
    Run(std::string(kObjcopy) + " -O binary " + Quote(elf) + " " + Quote(bin));
    LoadError error;
    ASSERT_EQ(m_image.LoadElfFile(elf, kPage, kBase, &error), 1) << static_cast<int>(error.fault);
    const Bytes reference = ReadBytes(bin);
    ASSERT_EQ(reference.size(), 0x18u) << "16 bytes of code, then 8 of data";
    Bytes expected(kPage, 0xFF);
    std::copy(reference.begin(), reference.end(), expected.begin());
    ExpectImageBytes(m_image, expected, kPage);
    EXPECT_EQ(Bytes(expected.begin() + 0x10, expected.begin() + 0x18),
              (Bytes{0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}));
}

}  // namespace
