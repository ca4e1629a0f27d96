// Test peers on a pseudo-terminal: the test holds the master side, the code under test
// opens SlavePath() like a serial device.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// A bare pseudo-terminal in raw mode, driven by the test itself.
class PtyPeer {
public:
    PtyPeer() = default;
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool Open();
    const std::string& SlavePath() const { return m_slavePath; }
    int MasterFd() const { return m_master; }
    // A descriptor of the slave side held by the peer (for reading back settings).
    int SlaveFd() const { return m_slave; }

    bool Write(const Bytes& bytes);
    // Reads until count bytes are in or timeoutMs has passed; returns what came.
    Bytes Read(size_t count, int timeoutMs);
    // The device goes away: the host's side sees a hang-up.
    void Unplug();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

// One piece of an answer: written delayMs after the previous piece (or the trigger).
struct ReplyPiece {
    int delayMs;
    Bytes bytes;
};

// When the host bytes received since the previous step end with trigger, the pieces are
// written. An empty trigger fires as soon as the step is reached.
struct ScriptStep {
    Bytes trigger;
    std::vector<ReplyPiece> pieces;
};

struct HostByte {
    uint64_t usec;  // since Start
    uint8_t value;
};

// A pty peer on its own thread: records every host byte with its time and answers the
// steps of a script in order. After the last step it stays silent.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::vector<ScriptStep> script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool Start();
    void Stop();
    const std::string& SlavePath() const { return m_pty.SlavePath(); }
    int SlaveFd() const { return m_pty.SlaveFd(); }

    // Writes bytes to the host now, outside the script.
    bool Inject(const Bytes& bytes) { return m_pty.Write(bytes); }

    Bytes HostBytes() const;
    std::vector<HostByte> HostLog() const;
    int StepsDone() const { return m_stepsDone.load(); }

private:
    void Serve();

    PtyPeer m_pty;
    std::vector<ScriptStep> m_script;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_stepsDone{0};
    std::thread m_thread;
    mutable std::mutex m_logLock;
    std::vector<HostByte> m_log;
};

// Number of times pattern occurs in bytes (overlaps counted).
int CountOccurrences(const Bytes& bytes, const Bytes& pattern);

}  // namespace testsupport
