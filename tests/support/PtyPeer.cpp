#include "PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

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

}  // namespace testsupport
