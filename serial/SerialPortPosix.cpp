// POSIX backend of CSerialPort (Linux): a tty configured through termios2, and one event
// thread per open period that waits with poll() on a wake-up eventfd and the device. With
// caller reads the client's own thread reads, writes and drives the lines, and the event
// thread only watches for the device going away.
//
// <asm/termbits.h> and <termios.h> cannot meet in one translation unit; this file uses
// only the former (termios2 also gives arbitrary rates through BOTHER).
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "LineMarks.h"
#include "LowLatency.h"
#include "RxRing.h"
#include "SerialPort.h"
#include "SignalSet.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kModemPollMs = 50;  // how often the modem lines are sampled while watched
constexpr auto kStopWait = std::chrono::milliseconds(2000);
// A sleep shorter than this costs about what the wake-ups it saves would.
constexpr auto kShortestNap = std::chrono::microseconds(100);

// Modem event bits, as the Windows interface names them.
constexpr uint32_t kEvRing = 0x0100;
constexpr uint32_t kEvRlsd = 0x0020;

enum class IoStep { Done, Pending, Failed };

// Errors by which a device says it has no modem status to offer (pseudo-terminals, some
// virtual COM drivers), as opposed to errors of a device that went away.
bool RefusesModemStatus(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS;
}

// Errors by which a device says it is no longer there (a USB adapter pulled out).
bool IsRemovalError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// No timeouts: a read completes only when its byte has arrived. (VMIN 0 would make an
// empty non-blocking read return 0, which could not be told from a device gone away.)
bool SetNoTimeouts(int fd) {
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

// Rates with a speed code of their own: set that way, tools such as stty show the rate.
struct StandardRate {
    uint32_t baud;
    tcflag_t code;
};
const StandardRate kStandardRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

tcflag_t SpeedCode(uint32_t baudRate) {
    for (const StandardRate& rate : kStandardRates) {
        if (rate.baud == baudRate) return rate.code;
    }
    return BOTHER;
}

bool SetLineSettings(int fd, uint32_t baudRate, int parity, int byteSize) {
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (byteSize < 5 || byteSize > 8 || baudRate == 0) return false;
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;

    // Raw binary bytes, no flow control of any kind. A Read Memory reply has no checksum:
    // parity is its only guard, so errors are checked (INPCK) and marked in the input
    // (PARMRK: 0xFF 0x00 X for a byte in error, 0xFF 0xFF for a real 0xFF), which the event
    // thread undoes and counts. A break is marked too (no IGNBRK, no BRKINT).
    tio.c_iflag &=
        ~(IGNBRK | BRKINT | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IGNPAR);
    tio.c_iflag |= INPCK | PARMRK;
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    tio.c_cflag |= kSizes[byteSize - 5] | CREAD | CLOCAL | SpeedCode(baudRate);
    if (parity == 1) tio.c_cflag |= PARENB | PARODD;
    if (parity == 2) tio.c_cflag |= PARENB;
    tio.c_ispeed = baudRate;
    tio.c_ospeed = baudRate;
    // A pseudo-terminal accepts PARENB and quietly drops it; that is still a success.
    return ioctl(fd, TCSETS2, &tio) == 0;
}

// Why open() or the lock refused the device.
int OpenFailureOf(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return OpenFailureNoDevice;
        case EACCES:
        case EPERM:
        case EROFS:
            return OpenFailurePermission;
        case EBUSY:
        case EWOULDBLOCK:
            return OpenFailureInUse;
        default:
            return OpenFailureOther;
    }
}

// Overruns are not marked in the input; a driver that keeps counts (TIOCGICOUNT) tells them.
class OverrunCount {
public:
    void Start(int fd) { m_known = Read(fd, &m_seen); }
    // Overruns since the last call; 0 for a device without counts (a pseudo-terminal).
    int Since(int fd) {
        int now = 0;
        if (!m_known || !Read(fd, &now)) return 0;
        const int fresh = now - m_seen;
        m_seen = now;
        return fresh > 0 ? fresh : 0;
    }

private:
    static bool Read(int fd, int* overruns) {
        struct serial_icounter_struct counts {};
        if (ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;
        *overruns = counts.overrun + counts.buf_overrun;
        return true;
    }
    bool m_known = false;
    int m_seen = 0;
};

void ChangeModemLine(int fd, int line, bool on) {
    // Fire-and-forget: a device without modem lines refuses, and nobody is told.
    int bits = line;
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace

// Everything one open period needs. The thread holds it, so a thread that outlives a
// Close (a callback that never returns) can neither touch nor disturb the next period.
struct PortSession {
    PortSession(int device, int wake, CSerialPort* port, SerialEventCallback cb, void* cbContext,
                bool watchModem, const struct termios2& found)
        : fd(device),
          wakeFd(wake),
          self(port),
          callback(cb),
          context(cbContext),
          monitor(watchModem),
          saved(found) {}

    ~PortSession() {
        if (stopFd >= 0) close(stopFd);
        if (thread.joinable()) {
            if (thread.get_id() == std::this_thread::get_id()) {
                thread.detach();
            } else {
                thread.join();
            }
        }
        if (wakeFd >= 0) close(wakeFd);
        if (fd >= 0) {
            // No event thread ever ran to put the line back.
            RestoreLine();
            close(fd);
        }
    }

    // From any thread: raise the signal and wake the poll.
    void Signal(int index) {
        signals.Raise(index);
        const uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof(one));
    }

    // Caller reads: a caller waiting for bytes returns, and every later wait at once; when
    // the period ends, a caller waiting to send too.
    void StopCaller(bool periodEnds) {
        if (stopFd < 0) return;
        receiveStopped.store(true, std::memory_order_release);
        if (periodEnds) ending.store(true, std::memory_order_release);
        const uint64_t one = 1;
        (void)!write(stopFd, &one, sizeof(one));
    }

    // Once the port object is gone (its destructor gave up waiting), nobody is told.
    void Notify(int event) {
        if (callback != nullptr && !orphaned.load(std::memory_order_acquire)) {
            callback(self, event);
        }
    }

    // Puts back the adapter's latency and the line settings found at open, and lifts the
    // exclusive mode, so that the port is left as it was for the next program; a device gone
    // away refuses, harmlessly.
    void RestoreLine() {
        latency.Restore(fd);
        (void)ioctl(fd, TCSETS2, &saved);
        (void)ioctl(fd, TIOCNXCL);
    }

    int fd;
    const int wakeFd;
    CSerialPort* const self;  // compared, and handed to the callback; never dereferenced here
    const SerialEventCallback callback;
    void* const context;
    std::atomic<bool> orphaned{false};

    SignalSet signals;
    std::atomic<bool> deviceOpen{true};
    std::atomic<bool> gone{false};  // set by the event thread before it ends the period
    std::atomic<int> lineErrors{0};
    CLowLatency latency;  // set up by Open, put back by RestoreLine

    // Caller reads; set by Open before the thread starts. The caller holds fdLock shared
    // while it uses fd (waits included); the event thread holds it alone to close fd, after
    // StopCaller has made the caller let go. stopFd is never drained: a stop stays.
    bool callerReads = false;
    int stopFd = -1;
    std::shared_mutex fdLock;
    std::atomic<bool> receiveStopped{false};
    std::atomic<bool> ending{false};
    SteadyClock::duration byteTime{0};  // one character on the line
    // The caller's last send: when it began, and how many bytes.
    std::atomic<SteadyClock::rep> sentAt{0};
    std::atomic<int> sentLength{0};
    bool overrunsUnread = false;  // the caller's reads since the driver's count was asked

    // Transmit side, shared with Send: the buffer is written only while writeBusy is clear.
    std::atomic<bool> writeBusy{false};
    unsigned char txBuffer[CSerialPort::kTxCapacity] = {};
    int txLength = 0;

    // Event thread only.
    bool monitor;  // turned off for the rest of the period when the device refuses
    bool readPending = false;
    bool writing = false;
    int txDone = 0;
    bool modemPending = false;
    bool modemFired = false;
    int modemBaseline = 0;
    uint32_t modemMask = 0;
    SteadyClock::time_point nextModemPoll;
    // Whatever is waiting is read at once: one read, one append, one wake-up of the client.
    unsigned char rxBuffer[CSerialPort::kRxCapacity] = {};
    int rxCount = 0;
    LineMarkDecoder marks;
    OverrunCount overruns;
    const struct termios2 saved;

    std::thread thread;
    std::mutex endLock;
    std::condition_variable endCv;
    bool ended = false;
};

struct CSerialPort::Backend {
    SerialEventCallback callback = nullptr;
    void* context = nullptr;
    bool callerReads = false;

    std::mutex lock;  // guards current, lastGone and lastLineErrors
    std::shared_ptr<PortSession> current;
    bool lastGone = false;  // the closed period's device had gone away
    int lastLineErrors = 0;
    LatencyTimerNote latencyNote;  // of the last Open
    unsigned char idleRx[4] = {};
    int lastOpenFailure = OpenFailureNone;

    std::shared_ptr<PortSession> Current() {
        std::lock_guard<std::mutex> hold(lock);
        return current;
    }
};

namespace {

// The session whose event thread is running this code, if any.
thread_local PortSession* t_ownSession = nullptr;

// Both end the period (false); the device has gone away, or has if err says so.
bool Lost(PortSession& s) {
    s.gone.store(true, std::memory_order_release);
    return false;
}
bool FailedWith(PortSession& s, int err) { return IsRemovalError(err) ? Lost(s) : false; }

IoStep TryRead(PortSession& s) {
    for (;;) {
        const ssize_t n = read(s.fd, s.rxBuffer, sizeof(s.rxBuffer));
        if (n > 0) {
            const LineMarkDecoder::Result bytes = s.marks.Decode(s.rxBuffer, static_cast<int>(n));
            // Counted before the bytes are handed on: whoever has them has their errors.
            const int errors = bytes.errors + s.overruns.Since(s.fd);
            if (errors != 0) s.lineErrors.fetch_add(errors, std::memory_order_acq_rel);
            // A read that held only the start of a mark: its rest is already waiting.
            if (bytes.length == 0) continue;
            s.rxCount = bytes.length;
            s.signals.Raise(evReadDone);
            return IoStep::Done;
        }
        if (n == 0) {  // end of file: the device is gone
            Lost(s);
            return IoStep::Failed;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStep::Pending;
        FailedWith(s, errno);
        return IoStep::Failed;
    }
}

IoStep TryWrite(PortSession& s) {
    while (s.txDone < s.txLength) {
        const ssize_t n = write(s.fd, s.txBuffer + s.txDone, s.txLength - s.txDone);
        if (n > 0) {
            s.txDone += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            return IoStep::Pending;
        } else {
            FailedWith(s, errno);
            return IoStep::Failed;
        }
    }
    // Only now is the write complete: DataSent follows the last byte handed to the device.
    s.writing = false;
    s.signals.Raise(evWriteDone);
    return IoStep::Done;
}

// Starts a modem-status wait by taking the current line state as the baseline.
bool StartModemWait(PortSession& s) {
    if (s.modemPending || !s.monitor) return true;
    int status = 0;
    if (ioctl(s.fd, TIOCMGET, &status) != 0) {
        if (!RefusesModemStatus(errno)) return FailedWith(s, errno);
        // The watch is only a diagnostic: without it the port still works.
        s.monitor = false;
        return true;
    }
    s.modemPending = true;
    s.modemFired = false;
    s.modemBaseline = status;
    s.nextModemPoll = SteadyClock::now() + std::chrono::milliseconds(kModemPollMs);
    return true;
}

bool PollModem(PortSession& s) {
    int status = 0;
    if (ioctl(s.fd, TIOCMGET, &status) != 0) {
        if (!RefusesModemStatus(errno)) return FailedWith(s, errno);
        s.monitor = false;
        s.modemPending = false;
        return true;
    }
    const int changed = status ^ s.modemBaseline;
    s.modemBaseline = status;
    const uint32_t mask =
        ((changed & TIOCM_RI) ? kEvRing : 0u) | ((changed & TIOCM_CD) ? kEvRlsd : 0u);
    if (mask != 0) {
        s.modemMask = mask;
        s.modemFired = true;
        s.signals.Raise(evModemDone);
    } else {
        s.nextModemPoll += std::chrono::milliseconds(kModemPollMs);
    }
    return true;
}

void DispatchModem(PortSession& s) {
    int status = 0;
    if (ioctl(s.fd, TIOCMGET, &status) != 0) {
        status = 0;
        if (RefusesModemStatus(errno)) s.monitor = false;
    }
    if ((s.modemMask & kEvRing) && (status & TIOCM_RI)) s.Notify(SerialRing);
    if (s.modemMask & kEvRlsd) {
        s.Notify((status & TIOCM_CD) ? SerialCarrierDetected : SerialCarrierLost);
    }
    s.signals.Raise(evModemRequest);
}

// Acts on one signal; false ends the loop.
bool HandleSignal(PortSession& s, int index) {
    switch (index) {
        case evStop:
            return false;
        case evReadDone:
            s.readPending = false;
            if (s.rxCount > 0) s.Notify(SerialDataReceived);
            return true;
        case evReadRequest:
            // The read itself waits for poll to report bytes (at once when some are
            // waiting), which spares a read that would only find the line empty. With caller
            // reads the bytes are the caller's.
            s.readPending = !s.callerReads;
            return true;
        case evWriteDone:
            s.writeBusy.store(false, std::memory_order_release);
            s.Notify(SerialDataSent);
            return true;
        case evWriteRequest:
            s.writing = true;
            s.txDone = 0;
            return TryWrite(s) != IoStep::Failed;
        case evModemDone:
            s.modemPending = false;
            s.modemFired = false;
            DispatchModem(s);
            return true;
        case evModemRequest:
            return StartModemWait(s);
        case evSetDtr:
            ChangeModemLine(s.fd, TIOCM_DTR, true);
            return true;
        case evSetRts:
            ChangeModemLine(s.fd, TIOCM_RTS, true);
            return true;
        case evClearDtr:
            ChangeModemLine(s.fd, TIOCM_DTR, false);
            return true;
        case evClearRts:
            ChangeModemLine(s.fd, TIOCM_RTS, false);
            return true;
        default:
            return false;
    }
}

// Waits until the device or a request has something; false on an I/O error.
bool WaitForWork(PortSession& s) {
    struct pollfd fds[2];
    fds[0] = {s.wakeFd, POLLIN, 0};
    // Hang-ups and errors are reported even with no events asked for.
    fds[1] = {s.fd, static_cast<short>((s.readPending ? POLLIN : 0) | (s.writing ? POLLOUT : 0)),
              0};
    int timeout = -1;
    const bool sampleModem = s.modemPending && !s.modemFired;
    if (sampleModem) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(s.nextModemPoll -
                                                                                SteadyClock::now())
                              .count();
        timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    if (poll(fds, 2, timeout) < 0) return errno == EINTR;

    if (fds[0].revents & POLLIN) {
        uint64_t drained = 0;
        (void)!read(s.wakeFd, &drained, sizeof(drained));
    }
    const short device = fds[1].revents;
    if (device & POLLNVAL) return Lost(s);
    const bool hangUp = (device & (POLLHUP | POLLERR)) != 0;
    if (s.readPending && (device & (POLLIN | POLLHUP | POLLERR))) {
        // A byte still buffered is delivered; the hang-up is met again at the next wait.
        const IoStep step = TryRead(s);
        if (step == IoStep::Failed) return false;
        if (step == IoStep::Pending && hangUp) return Lost(s);
    } else if (hangUp) {
        return Lost(s);
    }
    if (s.writing && (device & POLLOUT) && TryWrite(s) == IoStep::Failed) return false;
    if (sampleModem && SteadyClock::now() >= s.nextModemPoll && !PollModem(s)) return false;
    return true;
}

void RunEventThread(std::shared_ptr<PortSession> session) {
    PortSession& s = *session;
    t_ownSession = &s;
    s.readPending = false;
    s.modemPending = false;
    s.Notify(SerialConnected);
    if (!s.callerReads) s.signals.Raise(evReadRequest);
    if (s.monitor) s.signals.Raise(evModemRequest);

    for (;;) {
        const int index = s.signals.TakeLowest();
        if (index < 0) {
            if (!WaitForWork(s)) break;
        } else if (!HandleSignal(s, index)) {
            break;
        }
    }

    s.StopCaller(true);
    {
        std::unique_lock<std::shared_mutex> hold(s.fdLock);
        s.RestoreLine();
        close(s.fd);
        s.fd = -1;
    }
    s.deviceOpen.store(false, std::memory_order_release);
    s.Notify(SerialDisconnected);
    t_ownSession = nullptr;
    {
        std::lock_guard<std::mutex> hold(s.endLock);
        s.ended = true;
    }
    s.endCv.notify_all();
}

// Signals stop and gives the thread up to two seconds; a thread that does not end in time
// is let go and finishes on its own, keeping its session alive until then. False when it
// was let go still running.
bool StopSession(const std::shared_ptr<PortSession>& s) {
    s->Signal(evStop);
    if (!s->thread.joinable()) return true;
    if (s->thread.get_id() == std::this_thread::get_id()) {
        s->thread.detach();  // a callback closing its own port: the loop ends after it
        return true;
    }
    bool ended = false;
    {
        std::unique_lock<std::mutex> hold(s->endLock);
        ended = s->endCv.wait_for(hold, kStopWait, [&] { return s->ended; });
    }
    if (ended) {
        s->thread.join();
    } else {
        s->thread.detach();
    }
    return ended;
}

// --- caller reads: the calling thread holds fdLock shared throughout ---

// How long a character takes on the line: start bit, data bits, parity, one stop bit.
SteadyClock::duration CharacterTime(uint32_t baudRate, int parity, int byteSize) {
    const int bits = 1 + byteSize + (parity != 0 ? 1 : 0) + 1;
    return std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(static_cast<double>(bits) / static_cast<double>(baudRate)));
}

timespec PollTimeout(SteadyClock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns <= 0) return timespec{0, 0};
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// A failure the event thread would have ended the period on: it is asked to, and the caller
// waits no more.
void EndFromCaller(PortSession& s, int err) {
    FailedWith(s, err);
    s.StopCaller(true);
    s.Signal(evStop);
}

// One read of what is waiting: decoded, its errors counted, then into the ring (nowhere when
// null). Done with bytes; Pending when none had come.
IoStep ReadForCaller(PortSession& s, RxRing* ring) {
    for (;;) {
        const ssize_t n = read(s.fd, s.rxBuffer, sizeof(s.rxBuffer));
        if (n > 0) {
            s.overrunsUnread = true;
            const LineMarkDecoder::Result bytes = s.marks.Decode(s.rxBuffer, static_cast<int>(n));
            // Counted before the ring has the bytes, as the event thread counts them.
            if (bytes.errors != 0) s.lineErrors.fetch_add(bytes.errors, std::memory_order_acq_rel);
            if (bytes.length == 0) continue;  // the start of a mark: its rest is waiting
            if (ring != nullptr) ring->Append(s.rxBuffer, bytes.length);
            return IoStep::Done;
        }
        if (n == 0) {
            Lost(s);
            return IoStep::Failed;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStep::Pending;
        EndFromCaller(s, errno);
        return IoStep::Failed;
    }
}

// Overruns are not marked in the input: the driver's count is asked once the reads are done,
// before the caller looks at what they brought.
void CountOverruns(PortSession& s) {
    if (!s.overrunsUnread) return;
    s.overrunsUnread = false;
    const int overruns = s.overruns.Since(s.fd);
    if (overruns != 0) s.lineErrors.fetch_add(overruns, std::memory_order_acq_rel);
}

bool CallerMayReceive(const PortSession& s) {
    return s.fd >= 0 && !s.receiveStopped.load(std::memory_order_acquire) &&
           !s.gone.load(std::memory_order_acquire);
}

int ReceiveForCaller(PortSession& s, RxRing& ring, int target, SteadyClock::time_point deadline) {
    int count = ring.Count();
    while (count < target && CallerMayReceive(s)) {
        const auto now = SteadyClock::now();
        if (now >= deadline) break;
        // A reply begun: the target cannot have sent its last byte before our send and the
        // whole reply crossed the line one character after another, so the device is left
        // alone until then (but for a hang-up) instead of waking for each byte. Counted from
        // the send, not from what has come: a line that held bytes back (an adapter, or a
        // target that fell behind) may hand them over faster than it carries them.
        auto until = deadline;
        bool nap = false;
        if (count > 0) {
            const auto due = SteadyClock::time_point(
                                 SteadyClock::duration(s.sentAt.load(std::memory_order_relaxed))) +
                             s.byteTime * (s.sentLength.load(std::memory_order_relaxed) + target);
            if (due - now >= kShortestNap) {
                nap = true;
                until = std::min(due, deadline);
            }
        }
        struct pollfd fds[2];
        fds[0] = {s.stopFd, POLLIN, 0};
        fds[1] = {s.fd, static_cast<short>(nap ? 0 : POLLIN), 0};
        const auto wait = PollTimeout(until - now);
        const int ready = ppoll(fds, 2, &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        const short device = fds[1].revents;
        if (device & POLLNVAL) {
            Lost(s);
            break;
        }
        if (ready == 0 && !nap) continue;  // the deadline
        // A byte still buffered is delivered; the hang-up is met again at the next wait.
        const IoStep step = ReadForCaller(s, &ring);
        if (step == IoStep::Failed) break;
        if (step == IoStep::Pending && (device & (POLLHUP | POLLERR))) {
            Lost(s);
            break;
        }
        count = ring.Count();
    }
    if (s.fd >= 0) CountOverruns(s);
    return ring.Count();
}

void DropForCaller(PortSession& s) {
    while (CallerMayReceive(s) && ReadForCaller(s, nullptr) == IoStep::Done) {
    }
    if (s.fd >= 0) CountOverruns(s);
}

// The whole send, waiting for room in the device's buffer; dropped while another is under
// way, and given up after kStopWait without room (the stage then fails as one unanswered).
// A stop of the receiving side does not stop it; the end of the period does. True once all
// of it is written.
bool SendFromCaller(PortSession& s, const unsigned char* data, int length) {
    if (s.fd < 0 || s.writeBusy.exchange(true, std::memory_order_acq_rel)) return false;
    const auto start = SteadyClock::now();
    s.sentAt.store(start.time_since_epoch().count(), std::memory_order_relaxed);
    s.sentLength.store(length, std::memory_order_relaxed);
    const auto deadline = start + kStopWait;
    int done = 0;
    while (done < length && !s.ending.load(std::memory_order_acquire) &&
           !s.gone.load(std::memory_order_acquire)) {
        const ssize_t n = write(s.fd, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            EndFromCaller(s, errno);
            break;
        }
        const auto now = SteadyClock::now();
        if (now >= deadline) break;
        // Once receiving has stopped the stop stays signalled: only the device is watched.
        const bool watchStop = !s.receiveStopped.load(std::memory_order_acquire);
        struct pollfd fds[2];
        fds[0] = {s.fd, POLLOUT, 0};
        fds[1] = {s.stopFd, POLLIN, 0};
        const auto wait = PollTimeout(deadline - now);
        if (ppoll(fds, watchStop ? 2 : 1, &wait, nullptr) < 0 && errno != EINTR) break;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) break;
    }
    s.writeBusy.store(false, std::memory_order_release);
    return done == length;
}

}  // namespace

CSerialPort::CSerialPort() : m_p(new Backend) {}

CSerialPort::~CSerialPort() {
    std::shared_ptr<PortSession> session = m_p->Current();
    if (session && !StopSession(session)) {
        // The thread still runs and owns its session; it must not call back into a port
        // object that no longer exists.
        session->orphaned.store(true, std::memory_order_release);
    }
}

void CSerialPort::SetCallback(SerialEventCallback callback) { m_p->callback = callback; }

void CSerialPort::SetCallbackContext(void* context) { m_p->context = context; }

void* CSerialPort::CallbackContext() const {
    if (t_ownSession != nullptr && t_ownSession->self == this) return t_ownSession->context;
    return m_p->context;
}

int CSerialPort::Open(std::string name, uint32_t baudRate, int parity, int byteSize,
                      int monitorModem) {
    // A period still in force ends first: its thread must not outlive its descriptor.
    Close();
    m_p->lastOpenFailure = OpenFailureNone;
    m_p->latencyNote = LatencyTimerNote();
    {
        std::lock_guard<std::mutex> hold(m_p->lock);
        m_p->lastGone = false;
        m_p->lastLineErrors = 0;
    }
    if (name.empty()) return OpenEmptyName;

    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_p->lastOpenFailure = OpenFailureOf(errno);
        return OpenDeviceFailed;
    }
    // Unshared: flock holds even against root, whom TIOCEXCL does not stop.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_p->lastOpenFailure = OpenFailureOf(errno);
        close(fd);
        return OpenDeviceFailed;
    }
    // What the port was set to before, put back when this period ends.
    struct termios2 found {};
    const bool isTerminal = ioctl(fd, TCGETS2, &found) == 0;
    (void)ioctl(fd, TIOCEXCL);

    int result = OpenOk;
    // Modem events can be selected only on a terminal device.
    if (!isatty(fd)) result = OpenModemMaskFailed;
    if (!SetNoTimeouts(fd)) result = OpenTimeoutsFailed;
    if (!SetLineSettings(fd, baudRate, parity, byteSize)) result = OpenLineSettingsFailed;

    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int stopFd = m_p->callerReads ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (wakeFd < 0 || (m_p->callerReads && stopFd < 0)) result = OpenEventInvalid;
    if (result != OpenOk) {
        if (wakeFd >= 0) close(wakeFd);
        if (stopFd >= 0) close(stopFd);
        if (isTerminal) (void)ioctl(fd, TCSETS2, &found);
        (void)ioctl(fd, TIOCNXCL);
        close(fd);
        return result;
    }

    // DTR and RTS are raised when the device opens.
    ChangeModemLine(fd, TIOCM_DTR | TIOCM_RTS, true);

    auto session = std::make_shared<PortSession>(fd, wakeFd, this, m_p->callback, m_p->context,
                                                 monitorModem != 0, found);
    session->callerReads = m_p->callerReads;
    session->stopFd = stopFd;
    session->byteTime = CharacterTime(baudRate, parity, byteSize);
    session->latency.Lower(fd, name, SysfsRoot());
    m_p->latencyNote = session->latency.Note();
    session->overruns.Start(fd);
    try {
        session->thread = std::thread(RunEventThread, session);
    } catch (const std::system_error&) {
        // The result does not tell whether the thread started; the port is open but idle.
    }
    std::lock_guard<std::mutex> hold(m_p->lock);
    m_p->current = session;
    return OpenOk;
}

void CSerialPort::Close() {
    std::shared_ptr<PortSession> session = m_p->Current();
    if (session) StopSession(session);
    std::lock_guard<std::mutex> hold(m_p->lock);
    if (session && m_p->current == session) {
        m_p->lastGone = session->gone.load(std::memory_order_acquire);
        m_p->lastLineErrors = session->lineErrors.load(std::memory_order_acquire);
        m_p->current.reset();
    }
}

bool CSerialPort::IsOpen() const {
    std::shared_ptr<PortSession> session = m_p->Current();
    return session && session->deviceOpen.load(std::memory_order_acquire);
}

bool CSerialPort::IsGone() const {
    // The callback asks about its own period, which Close may already have let go.
    if (t_ownSession != nullptr && t_ownSession->self == this) {
        return t_ownSession->gone.load(std::memory_order_acquire);
    }
    std::lock_guard<std::mutex> hold(m_p->lock);
    return m_p->current ? m_p->current->gone.load(std::memory_order_acquire) : m_p->lastGone;
}

void CSerialPort::Send(const unsigned char* data, int length) {
    if (data == nullptr || length < 0 || length >= kTxCapacity) return;
    std::shared_ptr<PortSession> session = m_p->Current();
    if (session && session->callerReads) {
        std::shared_lock<std::shared_mutex> hold(session->fdLock);
        const bool sent = SendFromCaller(*session, data, length);
        hold.unlock();
        // Told with the device let go of: the callback may close the port.
        if (sent) session->Notify(SerialDataSent);
        return;
    }
    if (!session || session->writeBusy.load(std::memory_order_acquire)) return;
    session->writeBusy.store(true, std::memory_order_release);
    std::memcpy(session->txBuffer, data, length);
    session->txLength = length;
    session->Signal(evWriteRequest);
}

namespace {
// With caller reads the change is made at once, in order with the caller's sends.
void ChangeLine(const std::shared_ptr<PortSession>& session, int line, bool on) {
    if (!session || !session->deviceOpen.load()) return;
    if (session->callerReads) {
        std::shared_lock<std::shared_mutex> hold(session->fdLock);
        if (session->fd >= 0) ChangeModemLine(session->fd, line, on);
        return;
    }
    if (line == TIOCM_DTR) {
        session->Signal(on ? evSetDtr : evClearDtr);
    } else {
        session->Signal(on ? evSetRts : evClearRts);
    }
}
}  // namespace

void CSerialPort::SetDtr(bool on) { ChangeLine(m_p->Current(), TIOCM_DTR, on); }

void CSerialPort::SetRts(bool on) { ChangeLine(m_p->Current(), TIOCM_RTS, on); }

void CSerialPort::RequestRead() {
    // From a callback the request belongs to the calling thread's own period.
    if (t_ownSession != nullptr && t_ownSession->self == this) {
        // The thread itself looks at its signals before it waits again: no wake-up needed.
        t_ownSession->signals.Raise(evReadRequest);
        return;
    }
    std::shared_ptr<PortSession> session = m_p->Current();
    if (session) session->Signal(evReadRequest);
}

unsigned char* CSerialPort::GetRxData() {
    if (t_ownSession != nullptr && t_ownSession->self == this) return t_ownSession->rxBuffer;
    std::shared_ptr<PortSession> session = m_p->Current();
    return session ? session->rxBuffer : m_p->idleRx;
}

int CSerialPort::GetRxCount() const {
    if (t_ownSession != nullptr && t_ownSession->self == this) return t_ownSession->rxCount;
    std::shared_ptr<PortSession> session = m_p->Current();
    return session ? session->rxCount : 0;
}

int CSerialPort::LastOpenFailure() const { return m_p->lastOpenFailure; }

LatencyTimerNote CSerialPort::LatencyTimer() const { return m_p->latencyNote; }

int CSerialPort::LineErrorCount() const {
    if (t_ownSession != nullptr && t_ownSession->self == this) {
        return t_ownSession->lineErrors.load(std::memory_order_acquire);
    }
    std::lock_guard<std::mutex> hold(m_p->lock);
    return m_p->current ? m_p->current->lineErrors.load(std::memory_order_acquire)
                        : m_p->lastLineErrors;
}

bool CSerialPort::SetCallerReads(bool on) {
    m_p->callerReads = on;
    return true;
}

int CSerialPort::ReceiveInto(RxRing& ring, int target, uint64_t waitUs) {
    std::shared_ptr<PortSession> session = m_p->Current();
    if (!session || !session->callerReads) return ring.Count();
    const auto deadline = SteadyClock::now() + std::chrono::microseconds(waitUs);
    std::shared_lock<std::shared_mutex> hold(session->fdLock);
    return ReceiveForCaller(*session, ring, target, deadline);
}

void CSerialPort::DropReceived() {
    std::shared_ptr<PortSession> session = m_p->Current();
    if (!session || !session->callerReads) return;
    std::shared_lock<std::shared_mutex> hold(session->fdLock);
    DropForCaller(*session);
}

void CSerialPort::StopReceiving() {
    std::shared_ptr<PortSession> session = m_p->Current();
    if (session) session->StopCaller(false);
}
