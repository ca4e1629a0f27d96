// The decoder of a Linux tty's PARMRK marks, on its own: tables of what the tty hands over
// against the bytes that came over the line.
#include <gtest/gtest.h>

#include <vector>

#include "LineMarks.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct MarkCase {
    const char* name;
    Bytes handed;  // what a read returns
    Bytes line;    // the bytes that came
    int errors;
};

const MarkCase kMarkCases[] = {
    {"Nothing", {}, {}, 0},
    {"PlainBytes", {0x79, 0x00, 0x1F, 0x7F, 0xFE}, {0x79, 0x00, 0x1F, 0x7F, 0xFE}, 0},
    {"RealFF", {0xFF, 0xFF}, {0xFF}, 0},
    {"RunOfFF", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, 0},
    {"ByteInError", {0xFF, 0x00, 0x41}, {0x41}, 1},
    {"FFInError", {0xFF, 0x00, 0xFF}, {0xFF}, 1},
    {"Break", {0xFF, 0x00, 0x00}, {0x00}, 1},
    {"TwoErrorsInARow", {0xFF, 0x00, 0x01, 0xFF, 0x00, 0x02}, {0x01, 0x02}, 2},
    {"Mixed",
     {0x79, 0xFF, 0xFF, 0x22, 0xFF, 0x00, 0x33, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00},
     {0x79, 0xFF, 0x22, 0x33, 0x00, 0xFF, 0x00},
     2},
    {"FFBeforeAnythingElseIsNoMark", {0x11, 0xFF, 0x41, 0x22}, {0x11, 0x41, 0x22}, 1},
};

class LineMarksTable : public ::testing::TestWithParam<MarkCase> {};

// Decodes the reads one after another with one decoder; the bytes left, joined.
Bytes DecodeReads(const std::vector<Bytes>& reads, int* errors) {
    LineMarkDecoder decoder;
    Bytes out;
    *errors = 0;
    for (Bytes read : reads) {
        const LineMarkDecoder::Result r =
            decoder.Decode(read.data(), static_cast<int>(read.size()));
        EXPECT_LE(r.length, static_cast<int>(read.size()));
        out.insert(out.end(), read.begin(), read.begin() + r.length);
        *errors += r.errors;
    }
    EXPECT_FALSE(decoder.InsideMark());
    return out;
}

TEST_P(LineMarksTable, OneReadGivesTheLineBytesAndCountsTheErrors) {
    const MarkCase& c = GetParam();
    int errors = -1;
    EXPECT_EQ(DecodeReads({c.handed}, &errors), c.line);
    EXPECT_EQ(errors, c.errors);
}

TEST_P(LineMarksTable, TwoReadsSplitAtEveryPositionGiveTheSame) {
    const MarkCase& c = GetParam();
    for (size_t at = 0; at <= c.handed.size(); ++at) {
        const Bytes first(c.handed.begin(), c.handed.begin() + at);
        const Bytes second(c.handed.begin() + at, c.handed.end());
        int errors = -1;
        EXPECT_EQ(DecodeReads({first, second}, &errors), c.line) << "split at " << at;
        EXPECT_EQ(errors, c.errors) << "split at " << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Marks, LineMarksTable, ::testing::ValuesIn(kMarkCases),
                         [](const ::testing::TestParamInfo<MarkCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(LineMarks, ReadEndingInsideAMarkKeepsItsStartForTheNextRead) {
    struct Step {
        Bytes handed;
        Bytes line;
        bool inside;
    };
    const Step kSteps[] = {
        {{0x11, 0xFF}, {0x11}, true},              // 0xFF at the end: a real one or a mark
        {{0xFF, 0x22, 0xFF}, {0xFF, 0x22}, true},  // it was a real 0xFF
        {{0x00}, {}, true},                        // a mark, its byte still to come
        {{0x00}, {0x00}, false},                   // a break
        {{0xFF}, {}, true},                        // a read holding only the start of a mark
        {{0x00, 0x5A, 0x33}, {0x5A, 0x33}, false},
    };
    LineMarkDecoder decoder;
    int errors = 0;
    for (const Step& step : kSteps) {
        Bytes read = step.handed;
        const LineMarkDecoder::Result r =
            decoder.Decode(read.data(), static_cast<int>(read.size()));
        EXPECT_EQ(Bytes(read.begin(), read.begin() + r.length), step.line);
        EXPECT_EQ(decoder.InsideMark(), step.inside);
        errors += r.errors;
    }
    EXPECT_EQ(errors, 2);
}

}  // namespace
