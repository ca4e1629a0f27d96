// A test peer on a pseudo-terminal: the test holds the master side, the code under test
// opens SlavePath() like a serial device.
#pragma once

#include <cstdint>
#include <string>
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

}  // namespace testsupport
