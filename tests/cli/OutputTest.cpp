// What the command line shows, without a board: the progress bar's text, the stages' closing
// lines, the terminal host's drawing from a sequence of stage events, and the JSON strings.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "Json.h"
#include "MultiBoard.h"
#include "Progress.h"
#include "TerminalHost.h"

namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * 1024;

TEST(ProgressText, BarAndClosingLine) {
    // clang-format off
    const struct {
        JobStage stage;
        uint64_t done, total;
        double seconds;
        std::string bar, closing;
    } cases[] = {
        // No rate before half a second: it would tell of the start-up, not of the line.
        {JobStage::Write, 0, 64 * kKiB, 0.2, "[--------------]   0% writing 0 B/64.00 KiB",
         "wrote 0 B in 0.2 s (0 B/s)"},
        {JobStage::Write, 32 * kKiB, 64 * kKiB, 4,
         "[#######-------]  50% writing 32.00/64.00 KiB @ 8.00 KiB/s (eta 4s)",
         "wrote 32.00 KiB in 4.0 s (8.00 KiB/s)"},
        {JobStage::ReadOut, 512 * kKiB, 2 * kMiB, 60,
         "[###-----------]  25% reading 512.00 KiB/2.00 MiB @ 8.53 KiB/s (eta 3m00s)",
         "read 512.00 KiB in 60.0 s (8.53 KiB/s)"},
        {JobStage::ReadOut, kKiB, 2 * kMiB, 10,
         "[--------------]   0% reading 1.00 KiB/2.00 MiB @ 102 B/s (eta 5h41m)",
         "read 1.00 KiB in 10.0 s (102 B/s)"},
        {JobStage::Verify, 100, 50, 1, "[##############] 100% verifying 50/50 B @ 50 B/s (eta 0s)",
         "verified 100 B in 1.0 s (100 B/s)"},
        // A whole-flash erase has no size: the time it has taken.
        {JobStage::Erase, 0, 0, 75.3, "erasing ... 1m15s", "erased the whole flash in 75.3 s"},
        {JobStage::Erase, 16 * kKiB, 80 * kKiB, 0.04, "[##------------]  20% erasing 16.00/80.00 KiB",
         "erased 16.00 KiB in 0.0 s"},
        {JobStage::Connect, 0, 0, 1, "", ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(BarText(c.stage, c.done, c.total, c.seconds), c.bar) << c.bar;
        EXPECT_EQ(StageClosingText(c.stage, c.done, c.seconds), c.closing) << c.closing;
    }
    // The widest a serial line makes fits a terminal of 80 columns.
    const std::string widest = BarText(JobStage::Verify, 1000 * kKiB, 1023 * kKiB, 1000 / 87.12);
    EXPECT_LT(widest.size(), 80u) << widest;
}

std::string Contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
}

// Each of the parts, in this order, somewhere in text.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
    size_t at = 0;
    for (const std::string& part : parts) {
        const size_t found = text.find(part, at);
        if (found == std::string::npos) {
            return ::testing::AssertionFailure() << "no \"" << part << "\" after " << at << " in "
                                                 << ::testing::PrintToString(text);
        }
        at = found + part.size();
    }
    return ::testing::AssertionSuccess();
}

// The host draws the bar from the bytes the jobs tell it, on its own clock; a log line clears
// it and has it drawn again; a stage that succeeded leaves its closing line, one that failed
// none.
TEST(TerminalBar, DrawnFromTheStageEvents) {
    std::FILE* log = std::tmpfile();
    std::FILE* bar = std::tmpfile();
    ASSERT_TRUE(log && bar);
    std::atomic<double> now{100};
    {
        CTerminalHost host({}, "", true, log);
        host.SetBarOutput(bar, [&now] {
            return std::chrono::steady_clock::time_point(
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(now.load())));
        });
        host.StageBytes(JobStage::Write, 0, 2048);
        host.StageBegan(JobStage::Write, 8);
        now = 102;
        host.StageBytes(JobStage::Write, 1024, 2048);
        host.StageProgress(JobStage::Write, 4, 8);
        host.AppendLog(">>a log line\r\n");
        now = 104;
        host.StageBytes(JobStage::Write, 2048, 2048);
        host.StageProgress(JobStage::Write, 8, 8);
        host.StageEnded(JobStage::Write, true);
        host.StageBegan(JobStage::Erase, 0);
        now = 105.25;
        host.StageEnded(JobStage::Erase, true);
        host.StageBytes(JobStage::Verify, 0, 2048);
        host.StageBegan(JobStage::Verify, 8);
        host.StageEnded(JobStage::Verify, false);
        host.StageBegan(JobStage::Connect, 0);
        host.StageEnded(JobStage::Connect, true);
    }
    const std::string drawn = Contents(bar);
    EXPECT_TRUE(InOrder(drawn, {"\r[--------------]   0% writing 0 B/2.00 KiB",
                                "\r[#######-------]  50% writing 1.00/2.00 KiB @ 512 B/s (eta 2s)",
                                "\r[#######-------]  50% writing",
                                "\r[##############] 100% writing 2.00/2.00 KiB @ 512 B/s (eta 0s)",
                                "\rwrote 2.00 KiB in 4.0 s (512 B/s)\n", "\rerasing ... 0s",
                                "\rerased the whole flash in 1.2 s\n",
                                "\r[--------------]   0% verifying 0 B/2.00 KiB"}));
    EXPECT_EQ(drawn.find("verified"), std::string::npos) << "no closing line for a failed stage";
    EXPECT_EQ(drawn.find("connect"), std::string::npos) << "no bar for a connect";
    EXPECT_EQ(Contents(log), ">>a log line\n");
    std::fclose(log);
    std::fclose(bar);
}

TEST(JsonText, EveryStringIsValidUtf8) {
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        const char* name;
        std::string in, out;
    } cases[] = {
        {"ASCII", "plain /dev/ttyUSB0", "plain /dev/ttyUSB0"},
        {"two bytes", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"three bytes", "\xE4\xB8\xAD", "\xE4\xB8\xAD"},
        {"four bytes", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a lone byte",
         "a\xFF"
         "b",
         "a" + fffd + "b"},
        {"a stray continuation", "\x80", fffd},
        {"cut short at the end", "a\xE4\xB8", "a" + fffd},
        {"cut short before another", "\xF0\x9F\x98\xF0\x9F\x98\x80", fffd + "\xF0\x9F\x98\x80"},
        {"cut short by ASCII",
         "\xC3"
         "A",
         fffd + "A"},
        {"overlong", "\xC0\xAF", fffd + fffd},
        {"overlong in three", "\xE0\x80\xAF", fffd + fffd + fffd},
        {"a surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"past U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"GBK", "\xD6\xD0\xCE\xC4.bin", fffd + fffd + fffd + fffd + ".bin"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RepairedUtf8(c.in), c.out) << c.name;
        EXPECT_EQ(JsonString(c.in), "\"" + c.out + "\"") << c.name;
    }
    EXPECT_EQ(JsonString("a\"b\\c\n\r\t\x01"), "\"a\\\"b\\\\c\\n\\r\\t\\u0001\"");
    EXPECT_EQ(JsonPathMembers(RepairedUtf8("/tmp/\xFF.bin"), "/tmp/\xFF.bin"),
              "\"path\":\"/tmp/" + fffd + ".bin\",\"path_hex\":\"2f746d702fff2e62696e\"");
}

// Every board's row and object whole, however long its port's name.
TEST(SummaryTable, LongPortNamesAreKeptWhole) {
    const std::string port = "/dev/serial/by-path/" + std::string(600, 'p');
    const std::vector<BoardResult> boards = {{port, "STM32F103", BoardEnd::Ok, 12.34},
                                             {"/dev/ttyUSB1", "", BoardEnd::Stopped, 0.05}};
    EXPECT_EQ(SummaryTable(boards, true),
              "{\"event\":\"summary\",\"boards\":[{\"port\":\"" + port +
                  "\",\"chip\":\"STM32F103\",\"ok\":true,\"seconds\":12.3},"
                  "{\"port\":\"/dev/ttyUSB1\",\"chip\":null,\"ok\":false,\"seconds\":0.1}]}\n");
    const std::string pad(port.size() - 12, ' ');
    EXPECT_EQ(SummaryTable(boards, false), "port" + std::string(port.size() - 4, ' ') +
                                               "  chip       result    time\n" + port +
                                               "  STM32F103  ok        12.3 s\n/dev/ttyUSB1" + pad +
                                               "  -          stopped   0.1 s\n");
}

}  // namespace
