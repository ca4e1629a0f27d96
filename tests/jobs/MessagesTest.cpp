// The log texts in both languages: every message has both, with the same conversions in
// the same order, so one argument list formats either.
#include <gtest/gtest.h>

#include <string>

#include "Messages.h"

namespace {

// The printf conversions of a format, e.g. "%s %08X %d" -> "s X d".
std::string Conversions(const char* format) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p && std::string("0123456789.-+ #l").find(*p) != std::string::npos) ++p;
        out += *p;
        out += ' ';
        if (!*p) break;
    }
    return out;
}

TEST(MessagesTest, EveryMessageHasBothLanguagesWithTheSameConversions) {
    int count = 0;
    const Message* const* all = AllMessages(&count);
    ASSERT_GT(count, 50);
    for (int i = 0; i < count; ++i) {
        const Message& m = *all[i];
        ASSERT_TRUE(m.chinese && *m.chinese && m.english && *m.english) << i;
        EXPECT_EQ(Conversions(m.chinese), Conversions(m.english)) << m.english;
        const std::string zh = m.chinese, en = m.english;
        const bool zhEnds = zh.size() >= 2 && zh.compare(zh.size() - 2, 2, "\r\n") == 0;
        const bool enEnds = en.size() >= 2 && en.compare(en.size() - 2, 2, "\r\n") == 0;
        EXPECT_EQ(zhEnds, enEnds) << "a line in one language is a line in the other: " << en;
    }
}

TEST(MessagesTest, TextFollowsTheLanguageChosen) {
    EXPECT_STREQ(kMsgRunDone.Text(), kMsgRunDone.chinese) << "Chinese until told otherwise";
    SetMessageLanguage(Language::English);
    EXPECT_EQ(std::string(kMsgRunDone), ">>Program started\r\n");
    SetMessageLanguage(Language::Chinese);
    EXPECT_STREQ(static_cast<const char*>(kMsgRunDone), kMsgRunDone.chinese);
}

}  // namespace
