#include "LatencyFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "PtyTarget.h"

namespace sim {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void Signal(int fd) {
    const uint64_t one = 1;
    // An eventfd only refuses a write when its counter is full, and then it is readable.
    [[maybe_unused]] const ssize_t w = write(fd, &one, sizeof one);
}

// The file's text, up to a size no latency needs; false when it cannot be read. Opened
// without blocking, so that a FIFO put there does not stop the reader for good.
bool ReadText(const std::string& path, std::string* text) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[64];
    size_t n = 0;
    bool ok = true;
    while (n < sizeof buf) {
        const ssize_t r = read(fd, buf + n, sizeof buf - n);
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        n += static_cast<size_t>(r);
    }
    close(fd);
    if (!ok || n == sizeof buf) return false;
    text->assign(buf, n);
    return true;
}

}  // namespace

bool ParseLatency(const std::string& text, uint32_t* ms) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    if (begin == end) return false;
    uint32_t v = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<uint32_t>(text[i] - '0');
        if (v > kMaxLatencyMs) return false;
    }
    *ms = v;
    return true;
}

LatencyFile::~LatencyFile() { Stop(); }

bool LatencyFile::Start(const std::string& path, uint32_t ms, std::string* error) {
    Stop();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    const std::string text = std::to_string(ms) + "\n";
    const bool written =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int savedErrno = errno;
    if (fd >= 0) close(fd);
    if (!written) {
        *error = "cannot write '" + path + "': " + std::strerror(savedErrno);
        return false;
    }
    m_request = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_request < 0 || m_wake < 0) {
        *error = std::string("eventfd failed: ") + std::strerror(errno);
        Stop();
        return false;
    }
    m_path = path;
    m_stop = false;
    m_state = kIdle;
    m_thread = std::thread([this] { Read(); });
    return true;
}

void LatencyFile::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        Signal(m_request);
        m_thread.join();
    }
    for (int* fd : {&m_request, &m_wake}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool LatencyFile::Ask(uint64_t tag) {
    if (m_request < 0 || m_state.load(std::memory_order_acquire) != kIdle) return false;
    m_tag.store(tag, std::memory_order_relaxed);
    m_state.store(kAsked, std::memory_order_release);
    Signal(m_request);
    return true;
}

bool LatencyFile::TakeAnswer(Answer* answer) {
    if (m_state.load(std::memory_order_acquire) != kAnswered) return false;
    *answer = m_answer;
    m_state.store(kIdle, std::memory_order_release);
    return true;
}

void LatencyFile::Drain() {
    uint64_t count;
    [[maybe_unused]] const ssize_t r = read(m_wake, &count, sizeof count);
}

void LatencyFile::Read() {
    while (!m_stop) {
        pollfd p{m_request, POLLIN, 0};
        if (poll(&p, 1, -1) <= 0) continue;
        uint64_t count;
        [[maybe_unused]] const ssize_t r = read(m_request, &count, sizeof count);
        if (m_stop) break;
        if (m_state.load(std::memory_order_acquire) != kAsked) continue;
        Answer a;
        a.tag = m_tag.load(std::memory_order_relaxed);
        std::string text;
        a.ok = ReadText(m_path, &text) && ParseLatency(text, &a.ms);
        m_answer = a;
        m_state.store(kAnswered, std::memory_order_release);
        Signal(m_wake);
    }
}

}  // namespace sim
