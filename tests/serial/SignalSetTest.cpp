#include <gtest/gtest.h>

#include "SignalSet.h"

namespace {

TEST(SerialSignals, LowestRaisedIndexIsTakenFirst) {
    SignalSet set;
    set.Raise(evWriteRequest);
    set.Raise(evReadDone);
    set.Raise(evClearRts);
    EXPECT_EQ(set.TakeLowest(), evReadDone);
    EXPECT_EQ(set.TakeLowest(), evWriteRequest);
    EXPECT_EQ(set.TakeLowest(), evClearRts);
    EXPECT_EQ(set.TakeLowest(), -1);
}

TEST(SerialSignals, StopOutranksEverything) {
    SignalSet set;
    for (int i = kSerialSignalCount - 1; i >= 0; --i) set.Raise(i);
    EXPECT_EQ(set.TakeLowest(), evStop);
}

TEST(SerialSignals, LineRequestsRunRaiseDtrRaiseRtsLowerDtrLowerRts) {
    SignalSet set;
    // Issued as lower then raise: the lowering still comes last, so DTR ends low.
    set.Raise(evClearDtr);
    set.Raise(evSetDtr);
    set.Raise(evClearRts);
    set.Raise(evSetRts);
    EXPECT_EQ(set.TakeLowest(), evSetDtr);
    EXPECT_EQ(set.TakeLowest(), evSetRts);
    EXPECT_EQ(set.TakeLowest(), evClearDtr);
    EXPECT_EQ(set.TakeLowest(), evClearRts);
}

TEST(SerialSignals, RepeatedRequestBeforeTakeActsOnce) {
    SignalSet set;
    set.Raise(evReadRequest);
    set.Raise(evReadRequest);
    EXPECT_TRUE(set.IsRaised(evReadRequest));
    EXPECT_EQ(set.TakeLowest(), evReadRequest);
    EXPECT_EQ(set.TakeLowest(), -1);
    EXPECT_FALSE(set.IsRaised(evReadRequest));
}

TEST(SerialSignals, OutOfRangeIndexIsIgnored) {
    SignalSet set;
    set.Raise(-1);
    set.Raise(kSerialSignalCount);
    set.Raise(31);
    EXPECT_EQ(set.TakeLowest(), -1);
}

}  // namespace
