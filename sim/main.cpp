// kestrel-sim: the simulated bootloader target served on a pseudo-terminal.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "KestrelVersion.h"
#include "PtyTarget.h"
#include "SimOptions.h"

namespace {

using sim::PtyTarget;
using sim::SimOptions;

bool ReadFile(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open '" + path + "'";
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

// Points the link at the pty, replacing an older link (but never a real file).
bool MakeLink(const std::string& link, const std::string& target, std::string* error) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = "'" + link + "' exists and is not a symbolic link";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        *error = "cannot link '" + link + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

// Drains the target's wire log into the file (or nowhere), so a long session does not
// pile it up in memory.
class WireLogWriter {
public:
    bool Open(const std::string& path) {
        if (path.empty()) return true;
        m_file = std::fopen(path.c_str(), "w");
        return m_file != nullptr;
    }
    ~WireLogWriter() {
        if (m_file != nullptr) std::fclose(m_file);
    }
    void Follow(PtyTarget& target) {
        const std::vector<sim::WireByte> entries = target.TakeWireLog();
        if (m_file == nullptr || entries.empty()) return;
        for (const sim::WireByte& w : entries) {
            std::fprintf(m_file, "%s\n", sim::FormatWireByte(w).c_str());
        }
        std::fflush(m_file);
    }

private:
    std::FILE* m_file = nullptr;
};

// Waits up to ms for SIGINT or SIGTERM; true when one came.
bool WaitForSignal(const sigset_t& set, int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    return sigtimedwait(&set, nullptr, &ts) > 0;
}

void AnnouncePath(const std::string& path) {
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
}

int Run(SimOptions& o) {
    std::string error;
    if (!o.loadPath.empty() && !ReadFile(o.loadPath, &o.target.initialFlash, &error)) {
        std::fprintf(stderr, "kestrel-sim: %s\n", error.c_str());
        return 1;
    }
    // Signals are taken synchronously in the main loop; the serving thread never sees them.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    PtyTarget target(o.target);
    WireLogWriter wireLog;
    if (!wireLog.Open(o.wireLogPath)) {
        std::fprintf(stderr, "kestrel-sim: cannot write '%s'\n", o.wireLogPath.c_str());
        return 1;
    }
    if (!target.Start(&error) ||
        (!o.linkPath.empty() && !MakeLink(o.linkPath, target.SlavePath(), &error))) {
        std::fprintf(stderr, "kestrel-sim: %s\n", error.c_str());
        return 1;
    }
    AnnouncePath(target.SlavePath());

    bool stop = false;
    while (!stop) {
        stop = WaitForSignal(set, 10);
        wireLog.Follow(target);
        if (stop || o.replugMs < 0 || !target.IsUnplugged()) continue;
        stop = WaitForSignal(set, o.replugMs);
        if (stop) break;
        if (!target.Replug(&error) ||
            (!o.linkPath.empty() && !MakeLink(o.linkPath, target.SlavePath(), &error))) {
            std::fprintf(stderr, "kestrel-sim: replug failed: %s\n", error.c_str());
            continue;
        }
        AnnouncePath(target.SlavePath());
    }

    target.Stop();
    wireLog.Follow(target);
    int rc = 0;
    if (!o.dumpPath.empty() && !WriteFile(o.dumpPath, target.Flash())) {
        std::fprintf(stderr, "kestrel-sim: cannot write '%s'\n", o.dumpPath.c_str());
        rc = 1;
    }
    if (!o.statsPath.empty()) {
        std::ofstream stats(o.statsPath, std::ios::trunc);
        stats << "delay_seconds " << std::to_string(static_cast<double>(target.DelayUs()) / 1e6)
              << "\n";
        // The adapter's holds are not the flash's: a host cannot shorten them, but another
        // adapter (or its latency timer set lower) can.
        if (o.target.latencyMs != 0 || !o.target.latencyFile.empty()) {
            stats << "latency_seconds "
                  << std::to_string(static_cast<double>(target.LatencyUs()) / 1e6) << "\n";
        }
        if (!stats) {
            std::fprintf(stderr, "kestrel-sim: cannot write '%s'\n", o.statsPath.c_str());
            rc = 1;
        }
    }
    if (!o.linkPath.empty()) unlink(o.linkPath.c_str());
    // Like the adapter's own latency_timer, the file goes with the device.
    if (!o.target.latencyFile.empty()) unlink(o.target.latencyFile.c_str());
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    std::string error;
    if (!sim::ParseSimOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "kestrel-sim: %s\n", error.c_str());
        return 2;
    }
    if (options.version) {
        std::printf("kestrel-sim %s\n", KESTREL_VERSION);
        return 0;
    }
    if (options.help) {
        std::fputs(sim::SimUsage().c_str(), stdout);
        return 0;
    }
    if (options.listChips) {
        std::fputs(sim::ChipList().c_str(), stdout);
        return 0;
    }
    return Run(options);
}
