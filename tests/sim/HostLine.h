// The host's end of the pseudo-terminal, opened with plain open() and termios, as a
// serial backend would.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

class HostLine {
public:
    // raw: also set the line raw (8 bits, no echo); false leaves it as the simulator made it.
    explicit HostLine(const std::string& path, bool raw = true) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (m_fd >= 0 && raw) {
            termios t{};
            tcgetattr(m_fd, &t);
            cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD | PARENB;
            tcsetattr(m_fd, TCSANOW, &t);
        }
    }
    ~HostLine() { Close(); }
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    bool Write(const std::vector<uint8_t>& bytes) {
        return write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until n bytes came or timeoutMs passed; returns what came.
    std::vector<uint8_t> Read(size_t n, int timeoutMs = 2000) {
        std::vector<uint8_t> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) break;
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            if ((p.revents & POLLIN) == 0) break;
            uint8_t buf[512];
            const ssize_t r = read(m_fd, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    // Write, then read the n-byte answer.
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& bytes, size_t n, int timeoutMs = 2000) {
        if (!Write(bytes)) return {};
        return Read(n, timeoutMs);
    }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

}  // namespace simtest
