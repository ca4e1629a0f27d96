#include "PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>

namespace testsupport {

namespace {

using SteadyClock = std::chrono::steady_clock;

void MakeRaw(int fd) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) return;
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

bool WriteAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 10);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

PtyPeer::~PtyPeer() {
    Unplug();
    if (m_slave >= 0) close(m_slave);
}

bool PtyPeer::Open() {
    char name[128] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) return false;
    // The slave stays open here too, so the master never sees a hang-up between the
    // host's open periods.
    MakeRaw(m_slave);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slavePath = name;
    return true;
}

bool PtyPeer::Write(const Bytes& bytes) { return m_master >= 0 && WriteAll(m_master, bytes); }

Bytes PtyPeer::Read(size_t count, int timeoutMs) {
    Bytes got;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && m_master >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
                .count();
        if (left <= 0) break;
        struct pollfd p = {m_master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        uint8_t buffer[4096];
        const ssize_t n = read(m_master, buffer, std::min(sizeof(buffer), count - got.size()));
        if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

void PtyPeer::Unplug() {
    if (m_master >= 0) close(m_master);
    m_master = -1;
}

ScriptedPeer::ScriptedPeer(std::vector<ScriptStep> script) : m_script(std::move(script)) {}

ScriptedPeer::~ScriptedPeer() { Stop(); }

bool ScriptedPeer::Start() {
    if (!m_pty.Open()) return false;
    m_thread = std::thread(&ScriptedPeer::Serve, this);
    return true;
}

void ScriptedPeer::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

Bytes ScriptedPeer::HostBytes() const {
    std::lock_guard<std::mutex> hold(m_logLock);
    Bytes bytes;
    for (const HostByte& b : m_log) bytes.push_back(b.value);
    return bytes;
}

std::vector<HostByte> ScriptedPeer::HostLog() const {
    std::lock_guard<std::mutex> hold(m_logLock);
    return m_log;
}

void ScriptedPeer::Serve() {
    struct Due {
        SteadyClock::time_point when;
        Bytes bytes;
    };
    const auto start = SteadyClock::now();
    std::deque<Due> due;
    Bytes sinceStep;
    size_t step = 0;

    auto fireStep = [&](SteadyClock::time_point now) {
        auto when = now;
        for (const ReplyPiece& piece : m_script[step].pieces) {
            when += std::chrono::milliseconds(piece.delayMs);
            due.push_back({when, piece.bytes});
        }
        ++step;
        m_stepsDone = static_cast<int>(step);
        sinceStep.clear();
    };

    while (!m_stop) {
        auto now = SteadyClock::now();
        while (step < m_script.size() && m_script[step].trigger.empty()) fireStep(now);
        while (!due.empty() && due.front().when <= now) {
            WriteAll(m_pty.MasterFd(), due.front().bytes);
            due.pop_front();
        }
        int timeout = 5;
        if (!due.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(due.front().when - now)
                    .count();
            timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 5)));
        }
        struct pollfd p = {m_pty.MasterFd(), POLLIN, 0};
        if (poll(&p, 1, timeout) <= 0 || !(p.revents & POLLIN)) continue;
        uint8_t buffer[1024];
        const ssize_t n = read(m_pty.MasterFd(), buffer, sizeof(buffer));
        if (n <= 0) continue;
        now = SteadyClock::now();
        const uint64_t usec = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - start).count());
        for (ssize_t i = 0; i < n; ++i) {
            {
                std::lock_guard<std::mutex> hold(m_logLock);
                m_log.push_back({usec, buffer[i]});
            }
            sinceStep.push_back(buffer[i]);
            if (step < m_script.size()) {
                const Bytes& trigger = m_script[step].trigger;
                if (sinceStep.size() >= trigger.size() &&
                    std::equal(trigger.begin(), trigger.end(), sinceStep.end() - trigger.size())) {
                    fireStep(now);
                }
            }
        }
    }
}

int CountOccurrences(const Bytes& bytes, const Bytes& pattern) {
    if (pattern.empty() || bytes.size() < pattern.size()) return 0;
    int found = 0;
    for (size_t i = 0; i + pattern.size() <= bytes.size(); ++i) {
        if (std::equal(pattern.begin(), pattern.end(), bytes.begin() + i)) ++found;
    }
    return found;
}

}  // namespace testsupport
