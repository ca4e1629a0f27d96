// CSerialPort through the real backend, against a pseudo-terminal held by the test.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "PortRecorder.h"
#include "PtyPeer.h"
#include "RxRing.h"
#include "SerialPort.h"

namespace {

using testsupport::Bytes;
using testsupport::PtyPeer;
using SteadyClock = std::chrono::steady_clock;

// The rates of the dialog's baud-rate list.
const uint32_t kDialogRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 43000, 56000, 57600, 115200};

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
    return bytes;
}

long long MsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start)
        .count();
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.Install();
        ASSERT_TRUE(peer.Open());
        port.SetCallback(RecordingCallback);
    }
    void TearDown() override {
        port.Close();
        recorder.Uninstall();
    }

    int OpenPeer(int monitorModem = 1) {
        return port.Open(peer.SlavePath(), 115200, 2, 8, monitorModem);
    }

    PortRecorder recorder;
    PtyPeer peer;
    CSerialPort port;
};

// --- opening ---

TEST_F(SerialPortTest, EmptyNameReturns16AndLeavesTheLineAlone) {
    ASSERT_EQ(port.Open(peer.SlavePath(), 9600, 1, 8, 0), OpenOk);
    port.Close();
    struct termios2 before;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &before), 0);
    EXPECT_EQ(port.Open("", 115200, 2, 8, 1), OpenEmptyName);
    EXPECT_FALSE(port.IsOpen());
    struct termios2 after;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_ospeed, before.c_ospeed);
}

TEST_F(SerialPortTest, MissingDeviceReturns8AndStaysClosed) {
    EXPECT_EQ(port.Open("/dev/kestrel-no-such-port", 115200, 2, 8, 1), OpenDeviceFailed);
    EXPECT_EQ(port.LastOpenFailure(), OpenFailureNoDevice);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(recorder.WaitForEvent(SerialConnected, 1, 200));
}

TEST_F(SerialPortTest, DeviceTheUserMayNotOpenIsAPermissionFailure) {
    // A device only its owner may open, tried as another user (root opens anything, so a
    // root test drops to nobody in a child process).
    char dir[] = "/tmp/kestrel-perm-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string device = std::string(dir) + "/ttyLocked";
    const int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    chmod(dir, 0755);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        if (geteuid() != 0) chmod(device.c_str(), 0);
        CSerialPort probe;
        const int result = probe.Open(device, 115200, 2, 8, 1);
        _exit(result == OpenDeviceFailed ? probe.LastOpenFailure() : 98);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    unlink(device.c_str());
    rmdir(dir);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), OpenFailurePermission);
}

TEST_F(SerialPortTest, FileThatIsNoTerminalFailsWithLineSettingsCode) {
    // Modem events, timeouts and line settings are all refused; the last failure counts.
    EXPECT_EQ(port.Open("/dev/null", 115200, 2, 8, 1), OpenLineSettingsFailed);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, UnsupportedByteSizeFailsWithLineSettingsCodeAndReleasesDevice) {
    EXPECT_EQ(port.Open(peer.SlavePath(), 115200, 2, 9, 1), OpenLineSettingsFailed);
    EXPECT_FALSE(port.IsOpen());
    // The device was closed again, so it opens now.
    EXPECT_EQ(OpenPeer(), OpenOk);
}

TEST_F(SerialPortTest, SecondOpenOfSameDeviceIsRefused) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    CSerialPort other;
    EXPECT_EQ(other.Open(peer.SlavePath(), 115200, 2, 8, 1), OpenDeviceFailed);
    EXPECT_EQ(other.LastOpenFailure(), OpenFailureInUse);
    EXPECT_FALSE(other.IsOpen());
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(SerialPortTest, CloseLeavesTheLineAsItWasFound) {
    struct termios2 before;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &before), 0);
    before.c_cflag = (before.c_cflag & ~CBAUD) | B9600;
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCSETS2, &before), 0);
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &before), 0);

    ASSERT_EQ(OpenPeer(), OpenOk);
    struct termios2 during;
    int exclusive = 0;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &during), 0);
    // A standard rate is set by its own code, so other tools read it back.
    EXPECT_EQ(during.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    ASSERT_EQ(ioctl(peer.SlaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    port.Close();
    struct termios2 after;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_ospeed, before.c_ospeed);
    ASSERT_EQ(ioctl(peer.SlaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_F(SerialPortTest, AllTenDialogRatesOpenWithEightDataBitsOneStopBit) {
    for (uint32_t rate : kDialogRates) {
        ASSERT_EQ(port.Open(peer.SlavePath(), rate, 2, 8, 1), OpenOk) << rate;
        EXPECT_TRUE(port.IsOpen()) << rate;
        struct termios2 tio;
        ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &tio), 0);
        EXPECT_EQ(tio.c_ospeed, rate);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << rate;
        EXPECT_EQ(tio.c_cflag & CSTOPB, 0u) << rate;
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u) << rate;
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u) << rate;
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u) << rate;
        // Parity errors checked and marked in the input, not dropped.
        EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK), static_cast<tcflag_t>(INPCK | PARMRK)) << rate;
        EXPECT_EQ(tio.c_iflag & (IGNPAR | IGNBRK | ISTRIP), 0u) << rate;
        port.Close();
        EXPECT_FALSE(port.IsOpen()) << rate;
    }
}

// --- the event thread ---

TEST_F(SerialPortTest, ConnectedOnOpenAndDisconnectedOnClose) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 1, 2000));
    EXPECT_TRUE(port.IsOpen());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    ASSERT_TRUE(recorder.WaitForEvent(SerialDisconnected, 1, 2000));
    const auto events = recorder.Events();
    EXPECT_EQ(events.front(), SerialConnected);
    EXPECT_EQ(events.back(), SerialDisconnected);
}

TEST_F(SerialPortTest, ReceivedBytesArriveInOrderInFewerReadsThanBytes) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    const Bytes sent = Pattern(300, 0x11);
    ASSERT_TRUE(peer.Write(sent));
    ASSERT_TRUE(recorder.WaitForBytes(300, 5000));
    EXPECT_EQ(recorder.Received(), sent);
}

TEST_F(SerialPortTest, WithoutRequestReadReceivingStopsUntilAskedThenTakesAllWaiting) {
    recorder.requestRead = false;
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_TRUE(peer.Write({0x41}));
    ASSERT_TRUE(recorder.WaitForEvent(SerialDataReceived, 1, 2000));
    ASSERT_TRUE(peer.Write({0x42, 0x43, 0x44}));
    EXPECT_FALSE(recorder.WaitForEvent(SerialDataReceived, 2, 300));
    EXPECT_EQ(recorder.Received(), Bytes({0x41}));
    // The next request takes up where it stopped, with everything waiting in one read.
    port.RequestRead();
    ASSERT_TRUE(recorder.WaitForEvent(SerialDataReceived, 2, 2000));
    EXPECT_EQ(recorder.Received(), Bytes({0x41, 0x42, 0x43, 0x44}));
    EXPECT_EQ(recorder.EventCount(SerialDataReceived), 2);
}

// --- 0xFF and line errors ---

// The tty doubles a real 0xFF in the input (PARMRK); the reader must get it once.
struct FFCase {
    const char* name;
    Bytes bytes;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes EveryByteValue(int times) {
    Bytes bytes;
    for (int t = 0; t < times; ++t) {
        for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

const FFCase kFFCases[] = {
    // Doubled, the run crosses a full read at an odd place: a mark split between reads.
    {"LongRunAfterOneByte", Concat({{0x79}, Bytes(5000, 0xFF), {0x41}})},
    {"ErasedFlashBlocks", Concat({{0x79}, Bytes(4 * 256, 0xFF), {0x79}, Bytes(256, 0xFF)})},
    {"DataShapedLikeMarks", {0xFF, 0x00, 0x41, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0xFF}},
    {"EveryByteValue", EveryByteValue(8)},
};

TEST_F(SerialPortTest, BytesFFArriveOnceAndCountNoErrors) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    Bytes sent;
    for (const FFCase& c : kFFCases) {
        ASSERT_TRUE(peer.Write(c.bytes)) << c.name;
        sent.insert(sent.end(), c.bytes.begin(), c.bytes.end());
        ASSERT_TRUE(recorder.WaitForBytes(sent.size(), 5000)) << c.name;
        EXPECT_EQ(recorder.Received(), sent) << c.name;
    }
    EXPECT_EQ(port.LineErrorCount(), 0);
}

// A pseudo-terminal cannot receive a byte in error, and it doubles every 0xFF the peer writes,
// so no mark can reach the reader through it. With the tty's marking turned off after the
// port set it, the peer's bytes come unchanged and the peer can write the marks itself.
TEST_F(SerialPortTest, MarkedBytesAreDeliveredAndCountedAsLineErrors) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    EXPECT_EQ(port.LineErrorCount(), 0);
    struct termios2 tio;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCGETS2, &tio), 0);
    tio.c_iflag &= ~PARMRK;
    ASSERT_EQ(ioctl(peer.SlaveFd(), TCSETS2, &tio), 0);

    ASSERT_TRUE(peer.Write({0x79, 0xFF, 0x00, 0x41, 0x22}));
    ASSERT_TRUE(recorder.WaitForBytes(3, 2000));
    EXPECT_EQ(recorder.Received(), Bytes({0x79, 0x41, 0x22}));
    EXPECT_EQ(port.LineErrorCount(), 1);
    // The callback that handed over the byte in error could already read its count.
    EXPECT_EQ(recorder.ErrorCountsSeen().back(), 1);

    // A read holding only the start of a mark hands over nothing and reads on.
    const int reads = recorder.EventCount(SerialDataReceived);
    ASSERT_TRUE(peer.Write({0xFF}));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(recorder.EventCount(SerialDataReceived), reads);
    ASSERT_TRUE(peer.Write({0x00, 0x00, 0xFF, 0xFF}));  // a break, then a real 0xFF
    ASSERT_TRUE(recorder.WaitForBytes(5, 2000));
    EXPECT_EQ(recorder.Received(), Bytes({0x79, 0x41, 0x22, 0x00, 0xFF}));
    EXPECT_EQ(port.LineErrorCount(), 2);

    // Kept through Close; a new open period counts afresh.
    port.Close();
    EXPECT_EQ(port.LineErrorCount(), 2);
    ASSERT_EQ(OpenPeer(), OpenOk);
    EXPECT_EQ(port.LineErrorCount(), 0);
}

// --- sending ---

TEST_F(SerialPortTest, SendOf1023BytesIsWrittenWholeThenDataSent) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    const Bytes data = Pattern(1023, 0x05);
    port.Send(data.data(), 1023);
    EXPECT_EQ(peer.Read(1023, 3000), data);
    EXPECT_TRUE(recorder.WaitForEvent(SerialDataSent, 1, 2000));
}

TEST_F(SerialPortTest, SendOf1024BytesIsRefusedAndLeavesPortFree) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    const Bytes big = Pattern(1024, 0x07);
    port.Send(big.data(), 1024);
    EXPECT_TRUE(peer.Read(1, 300).empty());
    EXPECT_EQ(recorder.EventCount(SerialDataSent), 0);
    const Bytes small = {0x01, 0x02, 0x03};
    port.Send(small.data(), 3);
    EXPECT_EQ(peer.Read(3, 2000), small);
}

TEST_F(SerialPortTest, SecondSendWhileFirstInFlightIsDroppedAndFirstUnchanged) {
    recorder.holdConnected = true;  // the event thread waits, so the first send stays pending
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 1, 2000));
    const Bytes first = Pattern(1023, 0x21);
    const Bytes second(5, 0xEE);
    port.Send(first.data(), 1023);
    port.Send(second.data(), 5);
    recorder.Release();
    EXPECT_EQ(peer.Read(1023, 3000), first);
    EXPECT_TRUE(peer.Read(1, 300).empty());
    EXPECT_EQ(recorder.EventCount(SerialDataSent), 1);
}

TEST_F(SerialPortTest, EmptySendIsAcceptedAndCompletesWithDataSent) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    const unsigned char none = 0;
    port.Send(&none, 0);
    EXPECT_TRUE(recorder.WaitForEvent(SerialDataSent, 1, 2000));
    EXPECT_TRUE(peer.Read(1, 100).empty());
}

TEST_F(SerialPortTest, SendWithoutDataIsRefused) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    port.Send(nullptr, 4);
    EXPECT_FALSE(recorder.WaitForEvent(SerialDataSent, 1, 300));
}

// --- lines and modem status ---

TEST_F(SerialPortTest, ModemWatchRefusedByDeviceLeavesPortWorking) {
    ASSERT_EQ(OpenPeer(1), OpenOk);
    // Several sampling periods pass; a pseudo-terminal refuses every modem-status request.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(recorder.EventCount(SerialDisconnected), 0);

    ASSERT_TRUE(peer.Write({0x79, 0x1F}));
    ASSERT_TRUE(recorder.WaitForBytes(2, 2000));
    const Bytes data = {0x7F};
    port.Send(data.data(), 1);
    EXPECT_EQ(peer.Read(1, 2000), data);
    for (int event : recorder.Events()) {
        EXPECT_NE(event, SerialRing);
        EXPECT_NE(event, SerialCarrierDetected);
        EXPECT_NE(event, SerialCarrierLost);
    }
}

TEST_F(SerialPortTest, LineRequestsOnDeviceWithoutModemLinesFailSilently) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    port.SetDtr(true);
    port.SetRts(false);
    port.SetDtr(false);
    port.SetRts(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(port.IsOpen());
    const Bytes data = {0x00, 0xFF};
    port.Send(data.data(), 2);
    EXPECT_EQ(peer.Read(2, 2000), data);
}

// --- open periods ---

TEST_F(SerialPortTest, UnpluggedDeviceEndsThreadWithDisconnectedAndNextOpenWorks) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 1, 2000));
    peer.Unplug();
    ASSERT_TRUE(recorder.WaitForEvent(SerialDisconnected, 1, 2000));
    EXPECT_FALSE(port.IsOpen());

    PtyPeer replugged;
    ASSERT_TRUE(replugged.Open());
    ASSERT_EQ(port.Open(replugged.SlavePath(), 115200, 2, 8, 1), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 2, 2000));
    ASSERT_TRUE(replugged.Write({0x79}));
    ASSERT_TRUE(recorder.WaitForEvent(SerialDataReceived, 1, 2000));
    EXPECT_EQ(recorder.Received(), Bytes({0x79}));
    port.Close();
}

TEST_F(SerialPortTest, UnpluggedDeviceIsNoticedWithoutPendingRead) {
    recorder.requestRead = false;
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_TRUE(peer.Write({0x01}));
    ASSERT_TRUE(recorder.WaitForEvent(SerialDataReceived, 1, 2000));
    peer.Unplug();
    ASSERT_TRUE(recorder.WaitForEvent(SerialDisconnected, 1, 2000));
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, CloseReturnsWithinAboutTwoSecondsWhenThreadHangs) {
    recorder.holdConnected = true;
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 1, 2000));
    const auto start = SteadyClock::now();
    port.Close();
    const long long took = MsSince(start);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_GE(took, 1900);
    EXPECT_LE(took, 5000);
    // Once let go, the thread still ends by itself and reports it.
    recorder.Release();
    EXPECT_TRUE(recorder.WaitForEvent(SerialDisconnected, 1, 2000));
}

TEST_F(SerialPortTest, ThreadOutlivingItsDestroyedPortCallsNobodyAndReleasesTheDevice) {
    recorder.holdConnected = true;
    auto doomed = std::make_unique<CSerialPort>();
    doomed->SetCallback(RecordingCallback);
    ASSERT_EQ(doomed->Open(peer.SlavePath(), 115200, 2, 8, 0), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 1, 2000));
    doomed.reset();  // gives up after about 2 s with the thread still in its callback
    recorder.Release();
    // The thread ends by itself; the device it held opens again once it has.
    bool reopened = false;
    for (int i = 0; i < 100 && !reopened; ++i) {
        reopened = OpenPeer(0) == OpenOk;
        if (!reopened) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(reopened);
    port.Close();
    // Only the new port's own end is reported, none for the destroyed one.
    EXPECT_EQ(recorder.EventCount(SerialDisconnected), 1);
}

TEST_F(SerialPortTest, CloseWithoutRunningThreadDoesNotEndNextOpen) {
    port.Close();
    port.Close();
    ASSERT_EQ(OpenPeer(), OpenOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(recorder.EventCount(SerialDisconnected), 0);
    ASSERT_TRUE(peer.Write({0x55}));
    EXPECT_TRUE(recorder.WaitForEvent(SerialDataReceived, 1, 2000));
}

TEST_F(SerialPortTest, ReopenAfterCloseStartsFreshPeriod) {
    recorder.holdConnected = false;
    ASSERT_EQ(OpenPeer(), OpenOk);
    port.Close();
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 2, 2000));
    const Bytes data = {0x31, 0xCE};
    port.Send(data.data(), 2);
    EXPECT_EQ(peer.Read(2, 2000), data);
    ASSERT_TRUE(peer.Write({0x79}));
    EXPECT_TRUE(recorder.WaitForEvent(SerialDataReceived, 1, 2000));
}

TEST_F(SerialPortTest, OpenWhileOpenEndsTheEarlierPeriodFirst) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    ASSERT_EQ(OpenPeer(), OpenOk);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(recorder.EventCount(SerialDisconnected), 1);
    ASSERT_TRUE(peer.Write({0x79}));
    EXPECT_TRUE(recorder.WaitForEvent(SerialDataReceived, 1, 2000));
}

TEST_F(SerialPortTest, DestroyingOpenPortStopsItsThread) {
    {
        CSerialPort other;
        other.SetCallback(RecordingCallback);
        ASSERT_EQ(other.Open(peer.SlavePath(), 115200, 2, 8, 1), OpenOk);
        ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 1, 2000));
    }
    EXPECT_EQ(recorder.EventCount(SerialDisconnected), 1);
    // The device is free again.
    EXPECT_EQ(OpenPeer(), OpenOk);
}

TEST_F(SerialPortTest, RequestsOnClosedPortAreDropped) {
    const Bytes data = {0x7F};
    port.Send(data.data(), 1);
    port.SetDtr(true);
    port.SetRts(true);
    port.RequestRead();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.GetRxCount(), 0);
    ASSERT_EQ(OpenPeer(), OpenOk);
    EXPECT_TRUE(peer.Read(1, 200).empty());
}

TEST_F(SerialPortTest, UnpluggedDeviceIsGoneThroughCloseUntilTheNextOpen) {
    ASSERT_EQ(OpenPeer(), OpenOk);
    port.Close();
    EXPECT_FALSE(port.IsGone());  // closed by the program
    ASSERT_EQ(OpenPeer(), OpenOk);
    peer.Unplug();
    ASSERT_TRUE(recorder.WaitForEvent(SerialDisconnected, 2, 2000));
    EXPECT_TRUE(port.IsGone());
    port.Close();
    EXPECT_TRUE(port.IsGone());
    PtyPeer replugged;
    ASSERT_TRUE(replugged.Open());
    ASSERT_EQ(port.Open(replugged.SlavePath(), 115200, 2, 8, 1), OpenOk);
    EXPECT_FALSE(port.IsGone());
}

// --- caller reads: the client's thread reads, writes and drives the lines ---

Bytes RingBytes(const RxRing& ring) {
    Bytes bytes;
    for (int k = 0; k < ring.Count(); ++k) bytes.push_back(ring.ByteAt(k));
    return bytes;
}

constexpr uint64_t kLongWaitUs = 10 * 1000 * 1000;

class CallerReadsTest : public SerialPortTest {
protected:
    void SetUp() override {
        SerialPortTest::SetUp();
        ASSERT_TRUE(port.SetCallerReads(true));
        ring.Arm();
    }
    int Open(uint32_t rate = 115200) { return port.Open(peer.SlavePath(), rate, 2, 8, 1); }
    void SendCommand() {
        const unsigned char command = 0x11;
        port.Send(&command, 1);
    }
    RxRing ring;
};

TEST_F(CallerReadsTest, ReplyIsReadInTheCallingThreadAndTheEventThreadReadsNothing) {
    ASSERT_EQ(Open(), OpenOk);
    ASSERT_TRUE(recorder.WaitForEvent(SerialConnected, 1, 2000));
    const Bytes reply = {0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31};
    ASSERT_TRUE(peer.Write(reply));
    EXPECT_EQ(port.ReceiveInto(ring, 9, kLongWaitUs), 9);
    EXPECT_EQ(RingBytes(ring), reply);
    EXPECT_EQ(recorder.EventCount(SerialDataReceived), 0);
    const auto start = SteadyClock::now();
    EXPECT_EQ(port.ReceiveInto(ring, 10, 100 * 1000), 9);  // ends at its time
    EXPECT_GE(MsSince(start), 100);
}

TEST_F(CallerReadsTest, BytesFFArriveOnceAndCountNoErrors) {
    ASSERT_EQ(Open(), OpenOk);
    // In reply-sized pieces, each taken before the next is written: the ring holds 1024.
    constexpr size_t kPiece = 257;
    for (const FFCase& c : kFFCases) {
        for (size_t at = 0; at < c.bytes.size(); at += kPiece) {
            const Bytes piece(c.bytes.begin() + at,
                              c.bytes.begin() + std::min(at + kPiece, c.bytes.size()));
            const int want = static_cast<int>(piece.size());
            ASSERT_TRUE(peer.Write(piece)) << c.name;
            ASSERT_EQ(port.ReceiveInto(ring, want, kLongWaitUs), want) << c.name << " " << at;
            EXPECT_EQ(RingBytes(ring), piece) << c.name << " " << at;
            ring.Clear();
        }
    }
    EXPECT_EQ(port.LineErrorCount(), 0);
}

// Once a reply has begun the caller sleeps until the send and the whole reply could have
// crossed the line (at 1200 baud a character takes 9 ms), then takes what came.
struct PacedReply {
    const char* name;
    int startMs;         // from the send to the first byte
    int restMs;          // from the first byte to the rest
    int restCount;       // bytes after the first
    long long atMostMs;  // from the first byte to the wait's end
};

const PacedReply kPacedReplies[] = {
    // Slower than the line: the sleep ends before the rest is there, and the wait goes on.
    {"SlowerThanTheLine", 0, 300, 9, 5000},
    // Held back (an adapter, a target that fell behind), then all at once: the line time
    // of the send and the reply (0.94 s) has passed, and that of the rest alone (0.92 s)
    // is not waited for.
    {"HeldBackThenAllAtOnce", 1000, 0, 100, 600},
};

TEST_F(CallerReadsTest, PacedRepliesAreTakenWholeAndNoLaterThanTheLineAllows) {
    ASSERT_EQ(Open(1200), OpenOk);
    for (const PacedReply& r : kPacedReplies) {
        ring.Arm();
        SendCommand();
        std::this_thread::sleep_for(std::chrono::milliseconds(r.startMs));
        ASSERT_TRUE(peer.Write({0x79})) << r.name;
        ASSERT_EQ(port.ReceiveInto(ring, 1, kLongWaitUs), 1) << r.name;
        const auto start = SteadyClock::now();
        std::thread target([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(r.restMs));
            peer.Write(Pattern(r.restCount, 0x30));
        });
        EXPECT_EQ(port.ReceiveInto(ring, 1 + r.restCount, kLongWaitUs), 1 + r.restCount) << r.name;
        target.join();
        EXPECT_LT(MsSince(start), r.atMostMs) << r.name;
        EXPECT_EQ(RingBytes(ring), Concat({{0x79}, Pattern(r.restCount, 0x30)})) << r.name;
    }
}

TEST_F(CallerReadsTest, HangUpEndsAWaitAtOnceAndTheDeviceIsGone) {
    // Before any byte, and in the middle of a long reply (where the caller sleeps for the
    // line time of what is missing, 9 s here).
    for (const bool replyBegun : {false, true}) {
        PtyPeer line;
        ASSERT_TRUE(line.Open());
        ASSERT_EQ(port.Open(line.SlavePath(), 1200, 2, 8, 1), OpenOk);
        ring.Arm();
        SendCommand();
        if (replyBegun) {
            ASSERT_TRUE(line.Write({0x79}));
            ASSERT_EQ(port.ReceiveInto(ring, 1, kLongWaitUs), 1);
        }
        std::thread unplug([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            line.Unplug();
        });
        const auto start = SteadyClock::now();
        port.ReceiveInto(ring, 1000, kLongWaitUs);
        unplug.join();
        EXPECT_LT(MsSince(start), 5000) << replyBegun;
        EXPECT_TRUE(port.IsGone()) << replyBegun;
        const auto again = SteadyClock::now();
        port.ReceiveInto(ring, 1000, kLongWaitUs);
        EXPECT_LT(MsSince(again), 1000) << replyBegun;
        port.Close();
    }
}

TEST_F(CallerReadsTest, UnpluggedWhileIdleIsNoticedByTheEventThread) {
    ASSERT_EQ(Open(), OpenOk);
    peer.Unplug();
    ASSERT_TRUE(recorder.WaitForEvent(SerialDisconnected, 1, 2000));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.IsGone());
    SendCommand();  // nowhere to go, and no harm
    EXPECT_EQ(port.ReceiveInto(ring, 1, kLongWaitUs), 0);
}

TEST_F(CallerReadsTest, CloseFromAnotherThreadEndsAWaitAndReleasesTheDevice) {
    ASSERT_EQ(Open(), OpenOk);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port.Close();
    });
    const auto start = SteadyClock::now();
    port.ReceiveInto(ring, 1, kLongWaitUs);
    closer.join();
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(recorder.WaitForEvent(SerialDisconnected, 1, 2000));
    CSerialPort other;
    EXPECT_EQ(other.Open(peer.SlavePath(), 115200, 2, 8, 0), OpenOk);
}

TEST_F(CallerReadsTest, SendsAndLineRequestsAreCarriedOutBeforeTheyReturn) {
    ASSERT_EQ(Open(), OpenOk);
    const Bytes block = Pattern(1023, 0x05);
    port.SetDtr(false);
    port.Send(block.data(), 1023);
    EXPECT_EQ(recorder.EventCount(SerialDataSent), 1);  // written already, by this thread
    port.SetRts(true);
    EXPECT_EQ(peer.Read(1023, 3000), block);
    const Bytes tooLong = Pattern(1024, 0x07);
    port.Send(tooLong.data(), 1024);
    EXPECT_TRUE(peer.Read(1, 200).empty());
    // Stopping the waits does not stop the sends.
    port.StopReceiving();
    EXPECT_EQ(port.ReceiveInto(ring, 1, kLongWaitUs), 0);
    port.Send(block.data(), 1);
    EXPECT_EQ(peer.Read(1, 3000), Bytes({0x05}));
}

}  // namespace
