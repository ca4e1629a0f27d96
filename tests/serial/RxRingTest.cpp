#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "RxRing.h"

namespace {

std::vector<unsigned char> Sequence(int count, int first = 0) {
    std::vector<unsigned char> bytes(count);
    for (int i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(first + i);
    return bytes;
}

TEST(RxRingCapture, AppendWhileDisarmedStoresNothing) {
    RxRing ring;
    const auto bytes = Sequence(8);
    ring.Append(bytes.data(), 8);
    EXPECT_EQ(ring.Count(), 0);

    ring.Arm();
    ring.Append(bytes.data(), 3);
    ring.Disarm();
    ring.Append(bytes.data(), 5);
    EXPECT_EQ(ring.Count(), 3);
    ring.Append(bytes.data(), 1);  // still disarmed
    EXPECT_EQ(ring.Count(), 3);
}

TEST(RxRingCapture, ArmEmptiesWhatArrivedBefore) {
    RxRing ring;
    const auto bytes = Sequence(4, 0x40);
    ring.Arm();
    ring.Append(bytes.data(), 4);
    ring.Disarm();
    ring.Arm();
    EXPECT_EQ(ring.Count(), 0);
    EXPECT_EQ(ring.ByteAt(0), 0x40);  // reading starts at position 0 again
    ring.Append(bytes.data(), 1);     // armed: stored
    EXPECT_EQ(ring.Count(), 1);
}

TEST(RxRingCapture, ClearEmptiesButKeepsCapturing) {
    RxRing ring;
    const auto bytes = Sequence(6, 1);
    ring.Arm();
    ring.Append(bytes.data(), 6);
    unsigned char b = 0;
    ring.Take(&b);
    ring.Clear();
    EXPECT_EQ(ring.Count(), 0);
    EXPECT_EQ(ring.ByteAt(0), 1);  // reading starts at position 0 again, not behind the take
    ring.Append(bytes.data() + 5, 1);
    EXPECT_EQ(ring.Count(), 1);
    EXPECT_EQ(ring.ByteAt(0), 6);
}

TEST(RxRingCapture, ZeroOrNegativeLengthStoresNothing) {
    RxRing ring;
    const auto bytes = Sequence(4);
    ring.Arm();
    ring.Append(bytes.data(), 0);
    ring.Append(bytes.data(), -3);
    EXPECT_EQ(ring.Count(), 0);
}

TEST(RxRingOverflow, ThousandThirtyAppendedKeepsOldestThousandTwentyFour) {
    RxRing ring;
    std::vector<unsigned char> bytes(1030);
    for (int i = 0; i < 1030; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    ring.Arm();
    ring.Append(bytes.data(), 1030);
    ASSERT_EQ(ring.Count(), 1024);
    for (int k = 0; k < 1024; ++k) ASSERT_EQ(ring.ByteAt(k), bytes[k]) << "at " << k;
}

TEST(RxRingOverflow, LaterAppendsToFullRingAreDroppedUntilTaken) {
    RxRing ring;
    const auto first = Sequence(1024);
    ring.Arm();
    ring.Append(first.data(), 1024);
    const unsigned char extra[] = {0xEE, 0xEF};
    ring.Append(extra, 2);
    EXPECT_EQ(ring.Count(), 1024);

    unsigned char b = 0;
    ASSERT_TRUE(ring.Take(&b));
    EXPECT_EQ(b, 0);
    ring.Append(extra, 2);  // room for one
    EXPECT_EQ(ring.Count(), 1024);
    EXPECT_EQ(ring.ByteAt(1022), 0xFF);  // the last of the first batch
    EXPECT_EQ(ring.ByteAt(1023), 0xEE);
}

TEST(RxRingReading, ReframeStepsOverHeaderAndLimitsCount) {
    RxRing ring;
    const auto bytes = Sequence(15, 0x10);
    ring.Arm();
    ring.Append(bytes.data(), 15);
    ring.Disarm();
    ring.Reframe(2, 13);
    EXPECT_EQ(ring.ByteAt(0), 0x12);  // the third byte that arrived
    EXPECT_EQ(ring.Count(), 13);
    unsigned char b = 0;
    ASSERT_TRUE(ring.Take(&b));
    EXPECT_EQ(b, 0x12);  // the read position moved by two
}

TEST(RxRingReading, TakeOnEmptyRingYieldsNothingAndChangesNothing) {
    RxRing ring;
    const auto bytes = Sequence(3);
    ring.Arm();
    ring.Append(bytes.data(), 3);
    unsigned char b = 0;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring.Take(&b));
    // One before the read position: the last byte taken.
    const unsigned char lastTakenBefore = ring.ByteAt(RxRing::kSize - 1);
    b = 0x5A;
    EXPECT_FALSE(ring.Take(&b));
    EXPECT_EQ(b, 0x5A);
    EXPECT_EQ(ring.Count(), 0);
    EXPECT_EQ(ring.ByteAt(RxRing::kSize - 1), lastTakenBefore);
}

TEST(RxRingReading, TakeYieldsBytesInArrivalOrder) {
    RxRing ring;
    const unsigned char bytes[] = {0x79, 0x22, 0x00, 0x00, 0x79};
    ring.Arm();
    ring.Append(bytes, 5);
    ring.Disarm();
    for (unsigned char expected : bytes) {
        unsigned char b = 0;
        ASSERT_TRUE(ring.Take(&b));
        EXPECT_EQ(b, expected);
    }
    EXPECT_EQ(ring.Count(), 0);
}

TEST(RxRingWrap, ReadIndex1020Count10SpansEndAndStart) {
    RxRing ring;
    const auto filler = Sequence(1020);
    ring.Arm();
    ring.Append(filler.data(), 1020);
    unsigned char b = 0;
    for (int i = 0; i < 1020; ++i) ASSERT_TRUE(ring.Take(&b));
    // One before the read position (1020): position 1019.
    ASSERT_EQ(ring.ByteAt(RxRing::kSize - 1), filler[1019]);

    const auto bytes = Sequence(10, 0xA0);
    ring.Append(bytes.data(), 10);
    ASSERT_EQ(ring.Count(), 10);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(ring.ByteAt(k), 0xA0 + k);

    // Stepping over the four bytes at 1020..1023 lands on position 0, which holds the fifth.
    ring.Reframe(4, 6);
    EXPECT_EQ(ring.ByteAt(RxRing::kSize - 1), 0xA3);  // position 1023, one before 0
    EXPECT_EQ(ring.ByteAt(0), 0xA4);
    EXPECT_EQ(ring.ByteAt(5), 0xA9);

    // The next append goes to position 6.
    const unsigned char next = 0xCC;
    ring.Append(&next, 1);
    ring.Reframe(6, 1);
    EXPECT_EQ(ring.ByteAt(RxRing::kSize - 1), 0xA9);  // position 5, one before 6
    EXPECT_EQ(ring.ByteAt(0), 0xCC);
}

TEST(RxRingWrap, TakeWrapsReadIndexToZero) {
    RxRing ring;
    const auto bytes = Sequence(1024);
    ring.Arm();
    ring.Append(bytes.data(), 1024);
    ring.Reframe(1023, 1);
    unsigned char b = 0;
    ASSERT_TRUE(ring.Take(&b));
    EXPECT_EQ(b, static_cast<unsigned char>(1023));
    EXPECT_EQ(ring.ByteAt(0), 0);  // position 0 holds the first byte appended
}

TEST(RxRingThreads, CountSeesAppendsOfAnotherThread) {
    RxRing ring;
    ring.Arm();
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            const unsigned char b = static_cast<unsigned char>(i);
            ring.Append(&b, 1);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int seen = 0; seen < 200 && std::chrono::steady_clock::now() < deadline;) {
        seen = ring.WaitForCount(seen + 1, 100);
    }
    writer.join();
    ASSERT_EQ(ring.Count(), 200);
    for (int k = 0; k < 200; ++k) ASSERT_EQ(ring.ByteAt(k), static_cast<unsigned char>(k));
}

TEST(RxRingThreads, WaitForCountWakesOnTheAppendThatReachesItLongBeforeItsLimit) {
    RxRing ring;
    ring.Arm();
    const unsigned char bytes[3] = {1, 2, 3};
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ring.Append(bytes, 3);
    });
    const auto start = std::chrono::steady_clock::now();
    const int count = ring.WaitForCount(2, 10000);
    const auto took = std::chrono::steady_clock::now() - start;
    writer.join();
    EXPECT_EQ(count, 3);  // the whole append
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(RxRingThreads, WaitForCountSleepsItsWholeLimitWhenTooFewArrive) {
    RxRing ring;
    ring.Arm();
    const unsigned char byte = 7;
    ring.Append(&byte, 1);
    // One byte of the two wanted; bytes while disarmed do not count.
    ring.Disarm();
    std::thread writer([&] { ring.Append(&byte, 1); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ring.WaitForCount(2, 60), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    writer.join();
}

TEST(RxRingThreads, NothingIsStoredAfterDisarmReturnsDespiteConcurrentWriter) {
    RxRing ring;
    std::atomic<bool> stop{false};
    std::atomic<long> appends{0};
    std::thread writer([&] {
        unsigned char b = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            ring.Append(&b, 1);
            ++b;
            appends.fetch_add(1, std::memory_order_relaxed);
            // Paced like a fast serial line, so a round rarely fills the ring.
            const auto next = std::chrono::steady_clock::now() + std::chrono::microseconds(2);
            while (std::chrono::steady_clock::now() < next) {
            }
        }
    });
    struct JoinOnExit {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~JoinOnExit() {
            stop = true;
            thread.join();
        }
    } joinOnExit{stop, writer};

    // Up to 200 rounds; on a crowded machine, where the two threads rarely run at the same
    // time, as many as ten seconds allow.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int rounds = 0;
    for (int attempt = 0;
         attempt < 5000 && rounds < 200 && std::chrono::steady_clock::now() < deadline; ++attempt) {
        ring.Arm();
        // Disarm while the writer is storing.
        while (ring.Count() == 0) {
        }
        ring.Disarm();
        const int frozen = ring.Count();
        // A full ring would not change anyway: such a round proves nothing.
        if (frozen == RxRing::kSize) continue;
        ++rounds;
        const long appendsBefore = appends.load();
        // Keep watching until the writer has made many more attempts.
        while (appends.load() < appendsBefore + 50) {
            ASSERT_EQ(ring.Count(), frozen) << "round " << rounds;
        }
    }
    EXPECT_GE(rounds, 10);
}

TEST(RxRingThreads, AbortWakesTheWaiterAtOnceAndEveryWaitAfterUntilTheNextArm) {
    RxRing ring;
    ring.Arm();
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ring.Abort();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ring.WaitForCount(1, 20000), 0);
    EXPECT_EQ(ring.WaitForCount(1, 20000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    aborter.join();
    ring.Arm();
    const auto rearmed = std::chrono::steady_clock::now();
    EXPECT_EQ(ring.WaitForCount(1, 60), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - rearmed, std::chrono::milliseconds(60));
}

}  // namespace
