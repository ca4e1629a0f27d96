// Several boards at once on a POSIX system: fork and exec, a pipe per stream, one poll loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Json.h"
#include "MultiBoard.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stream {
    int fd = -1;
    std::string pending;  // text of a line not yet ended
};

struct Board {
    BoardResult result;
    pid_t pid = -1;
    Stream out, err, summary;
    Clock::time_point start;
};

constexpr int kSummaryFd = 3;

// One line of a board's output, as the parent shows it.
std::string Shown(const std::string& port, const std::string& line, bool json) {
    if (json && !line.empty() && line[0] == '{') {
        return "{\"port\":" + JsonString(port) + (line.size() > 2 ? "," : "") + line.substr(1);
    }
    return "[" + port + "] " + line;
}

// Reads what is there; passes each whole line to onLine; false at the end of the stream.
template <class OnLine>
bool Drain(Stream& s, OnLine onLine) {
    char buffer[4096];
    const ssize_t n = ::read(s.fd, buffer, sizeof buffer);
    if (n > 0) {
        s.pending.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = s.pending.find('\n')) != std::string::npos) {
            onLine(s.pending.substr(0, end));
            s.pending.erase(0, end + 1);
        }
        return true;
    }
    if (!s.pending.empty()) onLine(s.pending);
    s.pending.clear();
    ::close(s.fd);
    s.fd = -1;
    return false;
}

bool Start(Board& b, const std::string& self, std::vector<std::string> args) {
    int out[2], err[2], summary[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0 || ::pipe(summary) != 0) return false;
    args.insert(args.begin(), {"--port", b.result.port});
    b.start = Clock::now();
    b.pid = ::fork();
    if (b.pid < 0) return false;
    if (b.pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::dup2(summary[1], kSummaryFd);
        for (int fd : {out[0], out[1], err[0], err[1], summary[0], summary[1]}) {
            if (fd > kSummaryFd) ::close(fd);
        }
        ::setenv(kSummaryFdVariable, "3", 1);
        std::vector<char*> argv{const_cast<char*>(self.c_str())};
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        ::execv(self.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ::close(summary[1]);
    b.out.fd = out[0];
    b.err.fd = err[0];
    b.summary.fd = summary[0];
    return true;
}

}  // namespace

int RunOnEachPort(const std::string& self, const std::vector<std::string>& args,
                  const std::vector<std::string>& ports, bool json) {
    std::vector<Board> boards(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        boards[i].result.port = ports[i];
        if (!Start(boards[i], self, args)) {
            std::fprintf(stderr, "kestrel-isp: cannot start a run for %s\n", ports[i].c_str());
            return 2;
        }
    }
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::pair<Board*, Stream*>> owners;
        for (Board& b : boards) {
            for (Stream* s : {&b.out, &b.err, &b.summary}) {
                if (s->fd < 0) continue;
                fds.push_back(pollfd{s->fd, POLLIN, 0});
                owners.emplace_back(&b, s);
            }
        }
        if (fds.empty()) break;
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Board& b = *owners[i].first;
            Stream& s = *owners[i].second;
            Drain(s, [&](const std::string& line) {
                if (&s == &b.summary) {
                    if (line.compare(0, 5, "chip ") == 0) b.result.chip = line.substr(5);
                    return;
                }
                FILE* to = &s == &b.out ? stdout : stderr;
                std::fprintf(to, "%s\n", Shown(b.result.port, line, json && to == stdout).c_str());
                std::fflush(to);
            });
        }
    }
    bool allOk = true;
    for (Board& b : boards) {
        int status = 0;
        ::waitpid(b.pid, &status, 0);
        b.result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        b.result.seconds = std::chrono::duration<double>(Clock::now() - b.start).count();
        allOk = allOk && b.result.status == 0;
    }
    std::vector<BoardResult> results;
    for (const Board& b : boards) results.push_back(b.result);
    std::fputs(SummaryTable(results, json).c_str(), stdout);
    std::fflush(stdout);
    return allOk ? 0 : 1;
}

void ReportChipToParent(const std::string& chipName) {
    const char* fdText = std::getenv(kSummaryFdVariable);
    if (fdText == nullptr || chipName.empty()) return;
    const int fd = std::atoi(fdText);
    const std::string line = "chip " + chipName + "\n";
    if (fd > 2 && ::fcntl(fd, F_GETFD) != -1) {
        (void)!::write(fd, line.data(), line.size());
    }
}
