// The adapter's latency as a file a host may rewrite, like a real adapter's sysfs
// latency_timer. The file is read on a thread of its own, so that a slow or stuck read
// never holds up the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace sim {

// The latency a file's text gives: decimal milliseconds, blanks around them allowed.
// false for anything else or more than kMaxLatencyMs.
bool ParseLatency(const std::string& text, uint32_t* ms);

class LatencyFile {
public:
    struct Answer {
        uint64_t tag = 0;  // the Ask it answers
        bool ok = false;   // false: the file could not be read or parsed
        uint32_t ms = 0;
    };

    LatencyFile() = default;
    ~LatencyFile();  // Stop
    LatencyFile(const LatencyFile&) = delete;
    LatencyFile& operator=(const LatencyFile&) = delete;

    // Writes ms to the file and starts the reader. false with a message when the file
    // cannot be written.
    bool Start(const std::string& path, uint32_t ms, std::string* error);
    void Stop();

    // Starts a read of the file and returns at once; false while an earlier read has not
    // been answered and taken.
    bool Ask(uint64_t tag);
    // The answer to the last Ask once the read is done, once.
    bool TakeAnswer(Answer* answer);
    // Readable once an answer is ready; Drain clears it.
    int WakeFd() const { return m_wake; }
    void Drain();

private:
    enum State { kIdle, kAsked, kAnswered };

    void Read();

    std::string m_path;
    std::thread m_thread;
    int m_request = -1;  // eventfd: a read is asked for, or the reader must stop
    int m_wake = -1;     // eventfd: an answer is ready
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_state{kIdle};  // hands the answer between the two threads
    std::atomic<uint64_t> m_tag{0};
    Answer m_answer;  // written by the reader in kAsked, read by the asker in kAnswered
};

}  // namespace sim
