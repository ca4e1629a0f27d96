// CSerialLink over a pseudo-terminal: on POSIX its waits read the reply in the client's own
// thread, and what the ring judges is the same as when the event thread fed it.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <thread>

#include "PtyPeer.h"
#include "SerialLink.h"

namespace {

using testsupport::Bytes;
using testsupport::PtyPeer;
using SteadyClock = std::chrono::steady_clock;

long long MsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
        .count();
}

// Waits until the tty holds at least count unread characters: the pty has delivered them.
bool Queued(const PtyPeer& peer, int count) {
    const auto start = SteadyClock::now();
    int waiting = 0;
    while (MsSince(start) < 3000) {
        if (ioctl(peer.SlaveFd(), FIONREAD, &waiting) == 0 && waiting >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Open());
        link.CreatePort();
        ASSERT_EQ(link.Open(peer.SlavePath(), 115200), 1);
    }

    uint64_t In(int ms) { return link.Clock().NowUs() + static_cast<uint64_t>(ms) * 1000; }

    Bytes Held() const {
        Bytes bytes;
        for (int k = 0; k < link.Count(); ++k) bytes.push_back(link.ByteAt(k));
        return bytes;
    }

    PtyPeer peer;
    CSerialLink link;
};

TEST_F(SerialLinkTest, ReplyIsWaitedForAndReadWithoutTheEventThread) {
    link.Arm();
    const unsigned char get[2] = {0x00, 0xFF};
    link.Send(get, 2);
    EXPECT_EQ(peer.Read(2, 3000), Bytes({0x00, 0xFF}));
    const Bytes reply = {0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63};
    ASSERT_TRUE(peer.Write(reply));
    const int length = static_cast<int>(reply.size());
    EXPECT_EQ(link.WaitForCount(length, In(10000)), length);
    // Nobody reads between two waits: a byte that comes now waits in the tty for the next.
    ASSERT_TRUE(peer.Write({0x79}));
    ASSERT_TRUE(Queued(peer, 1));
    EXPECT_EQ(link.WaitForCount(length + 1, In(10000)), length + 1);
    link.Disarm();
    EXPECT_EQ(Held(), Concat(reply, {0x79}));
    EXPECT_EQ(link.LineErrors(), 0);
}

TEST_F(SerialLinkTest, ByteThatCameWhileDisarmedIsNotJudged) {
    link.Arm();
    link.Disarm();
    // A late duplicate of the last reply, in the tty before the next command arms the ring.
    ASSERT_TRUE(peer.Write({0x79}));
    ASSERT_TRUE(Queued(peer, 1));
    link.Arm();
    ASSERT_TRUE(peer.Write({0x1F}));
    EXPECT_EQ(link.WaitForCount(1, In(10000)), 1);
    EXPECT_EQ(link.WaitForCount(2, In(100)), 1);
    link.Disarm();
    EXPECT_EQ(Held(), Bytes({0x1F}));
}

TEST_F(SerialLinkTest, InterruptFromAnotherThreadEndsTheWaitUntilTheNextOpen) {
    link.Arm();
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        link.Interrupt();
    });
    const auto start = SteadyClock::now();
    link.WaitForCount(1, In(10000));
    stop.join();
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(link.Interrupted());
    EXPECT_FALSE(link.Gone());
    link.Disarm();
    link.Close();
    ASSERT_EQ(link.Open(peer.SlavePath(), 115200), 1);
    link.Arm();
    ASSERT_TRUE(peer.Write({0x79}));
    EXPECT_EQ(link.WaitForCount(1, In(10000)), 1);
}

TEST_F(SerialLinkTest, LineErrorsAreCountedFromEachArm) {
    struct termios2 tio;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &tio), 0);
    tio.c_iflag &= ~PARMRK;  // the peer's bytes come unchanged: it writes the marks itself
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCSETS2, &tio), 0);

    link.Arm();
    ASSERT_TRUE(peer.Write({0x79, 0xFF, 0x00, 0x41}));
    EXPECT_EQ(link.WaitForCount(2, In(10000)), 2);
    link.Disarm();
    EXPECT_EQ(link.LineErrors(), 1);
    // A byte in error that came while disarmed belongs to no reply.
    ASSERT_TRUE(peer.Write({0xFF, 0x00, 0x42}));
    ASSERT_TRUE(Queued(peer, 3));
    link.Arm();
    ASSERT_TRUE(peer.Write({0x79}));
    EXPECT_EQ(link.WaitForCount(1, In(10000)), 1);
    link.Disarm();
    EXPECT_EQ(Held(), Bytes({0x79}));
    EXPECT_EQ(link.LineErrors(), 0);
}

TEST_F(SerialLinkTest, WaitAfterCloseSleepsOnTheRing) {
    link.Close();
    const auto start = SteadyClock::now();
    EXPECT_EQ(link.WaitForCount(ILink::kRingSize + 1, In(100)), 0);
    EXPECT_GE(MsSince(start), 100);
}

}  // namespace
