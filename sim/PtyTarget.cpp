#include "PtyTarget.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "AdapterBuffer.h"
#include "BootloaderTarget.h"
#include "Chips.h"
#include "Fault.h"
#include "LatencyFile.h"

namespace sim {

void TargetConfig::SetChip(const chips::Chip& c) {
    chip = &c;
    flashKiB = c.defaultKiB;
    eraseCmd = c.eraseCmd;
    blVersion = c.protocol;
    pid = c.pid;
}

namespace {

using Clock = std::chrono::steady_clock;

// Longest sleep between two looks at the line (host close, stop request).
constexpr auto kIdleSlice = std::chrono::milliseconds(5);
constexpr auto kPollMs = 10;
constexpr auto kPollSlice = std::chrono::milliseconds(kPollMs);
// How long a batch waits for its latency from the file when the last one is shorter: a
// read takes microseconds unless the file is stuck, and then the last latency stands.
constexpr auto kLatencyReadWait = std::chrono::milliseconds(100);

termios RawTermios() {
    termios t{};
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    return t;
}

}  // namespace

struct PtyTarget::Impl {
    explicit Impl(TargetConfig c) : config(std::move(c)) {}

    TargetConfig config;
    std::unique_ptr<BootloaderTarget> target;

    mutable std::mutex mu;  // guards target, log, resets, path, unplugged
    std::vector<WireByte> log;
    int resets = 0;
    std::atomic<uint64_t> delayUs{0};    // flash and fault delays served so far
    std::atomic<uint64_t> latencyUs{0};  // what the adapter held after the wire
    std::string path;
    bool unplugged = false;

    std::thread thread;
    std::atomic<bool> stop{false};
    int master = -1;  // owned by the serving thread while it runs
    int watch = -1;   // inotify on the slave node: opens and closes by any host
    Clock::time_point t0;
    Clock::duration byteTime{0};
    Clock::time_point rxFree;  // when the host-to-target wire is next free
    Clock::time_point txFree;  // when the target-to-host wire is next free
    bool holding = false;      // the target's bytes go through an adapter's latency timer
    AdapterBuffer adapter;     // the serving thread's
    std::unique_ptr<LatencyFile> latencyFile;

    bool OpenPty(std::string* error);
    void StartThread();
    void StopThread();
    void Serve();
    bool HostHungUp() const;
    bool WaitUntil(Clock::time_point deadline, bool watchHost);
    short PollUntil(int fd, Clock::time_point until);
    bool HostClosed();
    bool Feed(uint8_t byte, Clock::time_point readAt);
    bool Send(const TargetOutput& out);
    bool WriteAll(const uint8_t* data, size_t n);
    bool Cross(uint8_t byte, Clock::time_point at);
    bool Release(Clock::time_point now, Clock::time_point before = Clock::time_point::max());
    void TakeLatency();
    void Record(bool fromHost, uint8_t value);
    void DropLine();
    void CloseLine();
    int DrainWatch();
};

bool PtyTarget::Impl::OpenPty(std::string* error) {
    int m = -1;
    int s = -1;
    char name[128] = {};
    termios raw = RawTermios();
    if (openpty(&m, &s, name, &raw, nullptr) != 0) {
        *error = std::string("openpty failed: ") + std::strerror(errno);
        return false;
    }
    // The slave stays closed while no host has it open: that is how a reset is seen.
    close(s);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    master = m;
    // Without the watch the idle loop still works, by sleeping; it may then miss a host
    // that opens and closes the line within one sleep without sending anything.
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && inotify_add_watch(watch, name, IN_OPEN | IN_CLOSE) < 0) {
        close(watch);
        watch = -1;
    }
    std::lock_guard<std::mutex> lock(mu);
    path = name;
    unplugged = false;
    return true;
}

void PtyTarget::Impl::StartThread() {
    stop = false;
    adapter.Clear();
    thread = std::thread([this] { Serve(); });
}

void PtyTarget::Impl::StopThread() {
    stop = true;
    if (thread.joinable()) thread.join();
}

bool PtyTarget::Impl::HostHungUp() const {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

// Sleeps until the deadline in short slices. false when asked to stop, or (with watchHost)
// when the host has closed the line meanwhile.
bool PtyTarget::Impl::WaitUntil(Clock::time_point deadline, bool watchHost) {
    for (;;) {
        if (stop) return false;
        if (watchHost && HostHungUp()) return false;
        const auto now = Clock::now();
        // Packets due before the deadline go on the way; later ones wait for it, and one
        // due at it takes along the byte crossing then.
        if (holding && !Release(now, deadline)) return false;
        if (now >= deadline) return true;
        const auto until = std::min(deadline, now + kIdleSlice);
        if (holding) {
            PollUntil(-1, std::min(until, adapter.Due()));
        } else {
            std::this_thread::sleep_until(until);
        }
    }
}

// Sleeps until `until`, or until fd (-1: none) is readable or the latency file has an
// answer; the events of fd.
short PtyTarget::Impl::PollUntil(int fd, Clock::time_point until) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {latencyFile ? latencyFile->WakeFd() : -1, POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::max(Clock::duration::zero(), until - Clock::now()))
                          .count();
    const timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    ppoll(fds, 2, &ts, nullptr);
    if ((fds[1].revents & POLLIN) != 0) latencyFile->Drain();
    return fds[0].revents;
}

void PtyTarget::Impl::Record(bool fromHost, uint8_t value) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
    log.push_back({static_cast<uint64_t>(us), fromHost, value});
}

// The host closed its side: that is the reset. Stale bytes in either direction are
// dropped, and the line is made raw and shareable again for a host that does not set it
// up (exclusive mode set by the last host outlives its close). The reset is counted only
// once the watch has been read past our own open and close, so a host that comes and goes
// right after the count is seen. True when another host opened the line meanwhile.
bool PtyTarget::Impl::HostClosed() {
    adapter.Clear();
    uint8_t junk[256];
    while (read(master, junk, sizeof junk) > 0) {
    }
    termios raw = RawTermios();
    tcsetattr(master, TCSANOW, &raw);
    std::string slave;
    {
        std::lock_guard<std::mutex> lock(mu);
        slave = path;
    }
    const int s = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int ownOpens = 0;
    if (s >= 0) {
        ownOpens = 1;
        ioctl(s, TIOCNXCL);
        tcflush(s, TCIFLUSH);
        close(s);
    }
    const bool another = DrainWatch() > ownOpens;
    std::lock_guard<std::mutex> lock(mu);
    ++resets;
    target->Reset();
    return another;
}

bool PtyTarget::Impl::WriteAll(const uint8_t* data, size_t n) {
    while (n > 0) {
        const ssize_t w = write(master, data, n);
        if (w > 0) {
            data += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, kPollMs);
        if (stop || (p.revents & POLLHUP) != 0) return false;
    }
    return true;
}

// The latency read from the file: the batch that asked for it takes it while it waits, the
// batches to come in any case. A file that could not be read keeps the last latency.
void PtyTarget::Impl::TakeLatency() {
    LatencyFile::Answer a;
    if (!latencyFile || !latencyFile->TakeAnswer(&a)) return;
    const uint32_t ms = a.ok ? a.ms : adapter.Latency();
    if (a.tag == adapter.Batch() && !adapter.Empty()) {
        adapter.SettleBatch(ms);
    } else {
        adapter.SetLatency(ms);
    }
}

// Hands the adapter's waiting bytes to the host if they are due by now, and before
// `before`; false when the host went away.
bool PtyTarget::Impl::Release(Clock::time_point now, Clock::time_point before) {
    TakeLatency();
    AdapterBuffer::Packet packet;
    if (adapter.Due() >= before || !adapter.TakeDue(now, &packet)) return true;
    latencyUs += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(packet.held).count());
    return WriteAll(packet.bytes.data(), packet.bytes.size());
}

// A target byte has crossed the wire at `at` into the adapter. The first byte of a batch
// has the file read again; the batch waits for that latency (within kLatencyReadWait).
// Bytes crossing at one moment (unpaced, a whole reply) go out together: a batch due then
// is released after them, at the next look.
bool PtyTarget::Impl::Cross(uint8_t byte, Clock::time_point at) {
    if (!Release(at, at)) return false;
    {
        std::lock_guard<std::mutex> lock(mu);
        Record(false, byte);
    }
    if (adapter.Put(byte, at) && latencyFile && latencyFile->Ask(adapter.Batch())) {
        adapter.AwaitLatency(kLatencyReadWait);
    }
    return !adapter.Full() || Release(at);  // a full packet goes at once
}

// Sends one piece of output after its delay; false when the host went away meanwhile.
// Bytes are logged before they are written, so a host that has read a reply always finds
// it in the log.
bool PtyTarget::Impl::Send(const TargetOutput& out) {
    if (out.delayUs != 0 &&
        !WaitUntil(Clock::now() + std::chrono::microseconds(out.delayUs), true)) {
        return false;
    }
    delayUs += out.delayUs;
    if (byteTime.count() == 0 && holding) {
        const auto now = Clock::now();
        for (uint8_t b : out.bytes) {
            if (!Cross(b, now)) return false;
        }
        return true;
    }
    if (byteTime.count() == 0) {
        {
            std::lock_guard<std::mutex> lock(mu);
            for (uint8_t b : out.bytes) Record(false, b);
        }
        return WriteAll(out.bytes.data(), out.bytes.size());
    }
    // One byte time per byte on the wire. Deadlines count from when the reply was ready,
    // not from each wake-up, so late wake-ups do not add up.
    const auto ready = Clock::now();
    for (uint8_t b : out.bytes) {
        // A byte reaches the host once its last bit has crossed the wire.
        txFree = std::max(ready, txFree) + byteTime;
        if (!WaitUntil(txFree, true)) return false;
        if (holding) {
            // Across the wire now, into the adapter.
            if (!Cross(b, txFree)) return false;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mu);
            Record(false, b);
        }
        if (!WriteAll(&b, 1)) return false;
    }
    return true;
}

// Hands one host byte to the target once it has crossed the wire. false when the line
// must be dropped or the host went away.
bool PtyTarget::Impl::Feed(uint8_t byte, Clock::time_point readAt) {
    if (byteTime.count() != 0) {
        // Bytes read together crossed the wire one after another, from when they were read.
        rxFree = std::max(readAt, rxFree) + byteTime;
        if (!WaitUntil(rxFree, true)) return false;
    }
    std::vector<TargetOutput> outs;
    {
        std::lock_guard<std::mutex> lock(mu);
        Record(true, byte);
        target->Receive(byte, &outs);
        if (target->UnplugDue()) {
            DropLine();
            return false;
        }
    }
    for (const TargetOutput& out : outs) {
        if (!Send(out)) return false;
    }
    return true;
}

// The device is gone: close the master so the host's port fails. Called with mu held.
void PtyTarget::Impl::DropLine() {
    CloseLine();
    unplugged = true;
}

void PtyTarget::Impl::CloseLine() {
    if (master >= 0) close(master);
    if (watch >= 0) close(watch);
    master = -1;
    watch = -1;
}

// Reads the pending open/close notes; the number of opens among them.
int PtyTarget::Impl::DrainWatch() {
    if (watch < 0) return 0;
    int opens = 0;
    alignas(inotify_event) char buf[1024];
    ssize_t n;
    while ((n = read(watch, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            if ((e->mask & IN_OPEN) != 0) ++opens;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return opens;
}

void PtyTarget::Impl::Serve() {
    // Paced bytes are due every few tens of microseconds; the default timer slack (50 us)
    // would make every paced sleep late by about that much.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    bool hostOpen = false;
    bool opened = false;  // a host opened the slave since the line was last seen idle
    uint8_t buf[512];
    while (!stop && master >= 0) {
        // Held bytes wake us when they are due.
        const auto now = Clock::now();
        if (hostOpen) {
            PollUntil(master, std::min(now + kPollSlice, adapter.Due()));
        } else if (watch >= 0) {
            // The master reports POLLHUP without end while nobody has the slave open;
            // the watch is what wakes us when a host opens it.
            PollUntil(watch, std::min(now + kPollSlice, adapter.Due()));
        } else {
            PollUntil(-1, std::min(now + kIdleSlice, adapter.Due()));
        }
        // A failed write means the host is going; the next look says so.
        if (holding) Release(Clock::now());
        if (DrainWatch() > 0) opened = true;
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) continue;
        if ((p.revents & (POLLHUP | POLLERR)) != 0) {
            // Nobody has the slave open. A host that came and went between two looks
            // (an open noted, or bytes left behind) was a session too.
            const bool session = hostOpen || opened || (p.revents & POLLIN) != 0;
            hostOpen = false;
            opened = session && HostClosed();
            continue;
        }
        hostOpen = true;
        opened = false;
        if ((p.revents & POLLIN) == 0) continue;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) continue;  // EIO: the host is closing; the next poll says so
        const auto readAt = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
            if (!Feed(buf[i], readAt)) break;
        }
    }
}

PtyTarget::PtyTarget(TargetConfig config) : m_p(new Impl(std::move(config))) {}

PtyTarget::~PtyTarget() {
    Stop();
    delete m_p;
}

bool PtyTarget::Start(std::string* error) {
    Stop();
    if (!BootloaderTarget::CheckConfig(m_p->config, error)) return false;
    std::vector<Fault> faults;
    for (const std::string& faultText : m_p->config.faults) {
        Fault f;
        if (!ParseFault(faultText, &f, error)) return false;
        faults.push_back(f);
    }
    m_p->target = std::make_unique<BootloaderTarget>(m_p->config, std::move(faults));
    if (m_p->config.paceBaud != 0) {
        m_p->byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(11.0 / m_p->config.paceBaud));
    }
    const TargetConfig& c = m_p->config;
    if (c.latencyMs > kMaxLatencyMs) {
        *error = "latency must be 0 to " + std::to_string(kMaxLatencyMs) + " ms";
        return false;
    }
    m_p->holding = c.latencyMs != 0 || !c.latencyFile.empty();
    m_p->adapter = AdapterBuffer(c.latencyMs);
    if (!c.latencyFile.empty()) {
        m_p->latencyFile = std::make_unique<LatencyFile>();
        if (!m_p->latencyFile->Start(c.latencyFile, c.latencyMs, error)) return false;
    }
    m_p->t0 = Clock::now();
    m_p->rxFree = m_p->txFree = m_p->t0;
    {
        std::lock_guard<std::mutex> lock(m_p->mu);
        m_p->log.clear();
        m_p->resets = 0;
    }
    if (!m_p->OpenPty(error)) return false;
    m_p->StartThread();
    return true;
}

void PtyTarget::Stop() {
    m_p->StopThread();
    m_p->latencyFile.reset();
    std::lock_guard<std::mutex> lock(m_p->mu);
    m_p->CloseLine();
}

std::string PtyTarget::SlavePath() const {
    std::lock_guard<std::mutex> lock(m_p->mu);
    return m_p->path;
}

std::vector<uint8_t> PtyTarget::HostBytes() const {
    std::lock_guard<std::mutex> lock(m_p->mu);
    std::vector<uint8_t> bytes;
    for (const WireByte& w : m_p->log) {
        if (w.fromHost) bytes.push_back(w.value);
    }
    return bytes;
}

std::vector<uint8_t> PtyTarget::TargetBytes() const {
    std::lock_guard<std::mutex> lock(m_p->mu);
    std::vector<uint8_t> bytes;
    for (const WireByte& w : m_p->log) {
        if (!w.fromHost) bytes.push_back(w.value);
    }
    return bytes;
}

std::vector<WireByte> PtyTarget::WireLog() const {
    std::lock_guard<std::mutex> lock(m_p->mu);
    return m_p->log;
}

std::vector<WireByte> PtyTarget::TakeWireLog() {
    std::lock_guard<std::mutex> lock(m_p->mu);
    std::vector<WireByte> taken;
    taken.swap(m_p->log);
    return taken;
}

void PtyTarget::ClearLog() {
    std::lock_guard<std::mutex> lock(m_p->mu);
    m_p->log.clear();
}

std::vector<uint8_t> PtyTarget::Flash() const {
    std::lock_guard<std::mutex> lock(m_p->mu);
    if (!m_p->target) return std::vector<uint8_t>(m_p->config.flashKiB * 1024u, 0xFF);
    return m_p->target->Flash();
}

int PtyTarget::Resets() const {
    std::lock_guard<std::mutex> lock(m_p->mu);
    return m_p->resets;
}

void PtyTarget::Unplug() {
    m_p->StopThread();
    std::lock_guard<std::mutex> lock(m_p->mu);
    m_p->DropLine();
}

bool PtyTarget::Replug(std::string* error) {
    if (!m_p->target) {
        *error = "not started";
        return false;
    }
    Unplug();
    if (!m_p->OpenPty(error)) return false;
    {
        std::lock_guard<std::mutex> lock(m_p->mu);
        m_p->target->Replugged();
    }
    m_p->StartThread();
    return true;
}

bool PtyTarget::IsUnplugged() const {
    std::lock_guard<std::mutex> lock(m_p->mu);
    return m_p->unplugged;
}

uint64_t PtyTarget::DelayUs() const { return m_p->delayUs; }

uint64_t PtyTarget::LatencyUs() const { return m_p->latencyUs; }

}  // namespace sim
