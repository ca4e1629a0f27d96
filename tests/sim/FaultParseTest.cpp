// The --fault grammar.
#include <gtest/gtest.h>

#include "Fault.h"

namespace {

sim::Fault Parsed(const std::string& faultText) {
    sim::Fault f;
    std::string error;
    EXPECT_TRUE(sim::ParseFault(faultText, &f, &error)) << faultText << ": " << error;
    return f;
}

std::string Rejection(const std::string& faultText) {
    sim::Fault f;
    std::string error;
    EXPECT_FALSE(sim::ParseFault(faultText, &f, &error)) << faultText;
    return error;
}

TEST(FaultParse, SilentAndGet12TakeNothing) {
    EXPECT_EQ(Parsed("silent").kind, sim::FaultKind::Silent);
    EXPECT_EQ(Parsed("get12").kind, sim::FaultKind::Get12);
    EXPECT_FALSE(Rejection("silent:1").empty());
}

TEST(FaultParse, NackWithAddressKeepsCommandAndAddress) {
    const sim::Fault f = Parsed("nack:write@0x08000100");
    EXPECT_EQ(f.kind, sim::FaultKind::Nack);
    EXPECT_EQ(f.cmd, sim::FaultCmd::Write);
    EXPECT_TRUE(f.hasWhere);
    EXPECT_EQ(f.where, 0x08000100u);
}

TEST(FaultParse, NackOfErasePageTakesDecimalPage) {
    const sim::Fault f = Parsed("nack:erase@2");
    EXPECT_EQ(f.cmd, sim::FaultCmd::Erase);
    EXPECT_EQ(f.where, 2u);
}

TEST(FaultParse, NackWithoutAddressHasNoWhere) {
    const sim::Fault f = Parsed("nack:sync");
    EXPECT_EQ(f.cmd, sim::FaultCmd::Sync);
    EXPECT_FALSE(f.hasWhere);
}

TEST(FaultParse, AddressOnlyForCommandsThatCarryOne) {
    EXPECT_FALSE(Rejection("nack:get@1").empty());
    EXPECT_FALSE(Rejection("nack:sync@0x08000000").empty());
}

TEST(FaultParse, ShortDelayAndUnplugTakeNumbers) {
    const sim::Fault s = Parsed("short:get:10");
    EXPECT_EQ(s.kind, sim::FaultKind::Short);
    EXPECT_EQ(s.cmd, sim::FaultCmd::Get);
    EXPECT_EQ(s.number, 10u);
    EXPECT_EQ(Parsed("delay:read:1500").number, 1500u);
    EXPECT_EQ(Parsed("unplug:300").number, 300u);
}

TEST(FaultParse, ExtraAndReplyTakeByteLists) {
    EXPECT_EQ(Parsed("reply:go:79,1F").bytes, (std::vector<uint8_t>{0x79, 0x1F}));
    EXPECT_EQ(Parsed("extra:get:0x79").bytes, (std::vector<uint8_t>{0x79}));
    EXPECT_FALSE(Rejection("reply:go:").empty());
    EXPECT_FALSE(Rejection("reply:go:79,,1F").empty());
    EXPECT_FALSE(Rejection("extra:get:123").empty());
    EXPECT_FALSE(Rejection("extra:get:zz").empty());
}

TEST(FaultParse, CorruptTakesAnAddress) {
    const sim::Fault f = Parsed("corrupt:0x08000405");
    EXPECT_EQ(f.kind, sim::FaultKind::Corrupt);
    EXPECT_EQ(f.where, 0x08000405u);
}

TEST(FaultParse, EraseCodeIsOneByte) {
    EXPECT_EQ(Parsed("erase-code:0x45").number, 0x45u);
    EXPECT_FALSE(Rejection("erase-code:0x145").empty());
}

TEST(FaultParse, OccurrenceSuffix) {
    EXPECT_EQ(Parsed("nack:read@0x08004000*3").occurrence, 3u);
    EXPECT_EQ(Parsed("nack:read@0x08004000").occurrence, 0u);
    EXPECT_FALSE(Rejection("nack:get*0").empty());
    EXPECT_FALSE(Rejection("get12*2").empty());
}

TEST(FaultParse, UnknownKindsAndCommandsRejected) {
    EXPECT_NE(Rejection("explode").find("explode"), std::string::npos);
    EXPECT_NE(Rejection("nack:frobnicate").find("frobnicate"), std::string::npos);
    EXPECT_FALSE(Rejection("short:get").empty());
    EXPECT_FALSE(Rejection("short:get:x").empty());
    EXPECT_FALSE(Rejection("unplug:0").empty());
    EXPECT_FALSE(Rejection("nack").empty());
}

TEST(FaultParse, HelpNamesEveryKind) {
    const std::string help = sim::FaultHelp();
    for (const char* kind : {"silent", "nack:", "short:", "extra:", "corrupt:", "delay:", "get12",
                             "erase-code:", "unplug:", "reply:", "stall:"}) {
        EXPECT_NE(help.find(kind), std::string::npos) << kind;
    }
}

}  // namespace

namespace {

TEST(FaultParseLate, ExtraTakesOptionalMilliseconds) {
    sim::Fault f;
    std::string error;
    ASSERT_TRUE(sim::ParseFault("extra:read:79,1F:250", &f, &error)) << error;
    EXPECT_EQ(f.bytes, (std::vector<uint8_t>{0x79, 0x1F}));
    EXPECT_EQ(f.ms, 250u);
    ASSERT_TRUE(sim::ParseFault("extra:read:79", &f, &error)) << error;
    EXPECT_EQ(f.ms, 0u);
    EXPECT_FALSE(sim::ParseFault("extra:read:79:soon", &f, &error));
}

TEST(FaultParseLate, StallTakesCountAndMilliseconds) {
    sim::Fault f;
    std::string error;
    ASSERT_TRUE(sim::ParseFault("stall:read:1:10400*2", &f, &error)) << error;
    EXPECT_EQ(f.kind, sim::FaultKind::Stall);
    EXPECT_EQ(f.cmd, sim::FaultCmd::Read);
    EXPECT_EQ(f.number, 1u);
    EXPECT_EQ(f.ms, 10400u);
    EXPECT_EQ(f.occurrence, 2u);
    EXPECT_FALSE(sim::ParseFault("stall:read:1", &f, &error));
}

}  // namespace
