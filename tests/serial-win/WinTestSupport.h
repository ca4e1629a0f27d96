// What the Windows serial tests share: the ports the runner mapped, a recording callback,
// the simulator's wire log, and requests to the runner (remove or restore the device).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SerialPort.h"

namespace wintest {

// Ports and paths the runner passes in environment variables; empty when unset.
std::string SimPort();      // COM port served by the simulator
std::string SimPortHigh();  // a port number above 9 on the same simulator
std::string DeadPort();     // a COM port mapped to a device path that does not exist
std::string WireLogPath();  // the simulator's wire log, as a Windows path
std::string ControlDir();   // where the runner takes requests

// Simulator settings the runner starts it with.
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kSimVersion = 0x22;
constexpr uint16_t kSimPid = 0x0410;

constexpr int kBaud = 115200;
constexpr int kEvenParity = 2;

// Milliseconds on a monotonic clock.
int64_t NowMs();

// Collects the notifications and received bytes of one port (through RecordingCallback).
// The callback can be made to hold the event thread on the next occurrence of one event,
// until Release: the test then controls what the thread has and has not done yet.
class Recorder {
public:
    void Reset();
    void OnEvent(CSerialPort* port, int event);

    int CountOf(int event) const;
    std::vector<int> Events() const;
    std::vector<unsigned char> Bytes() const;

    // True once at least `count` notifications `event` were seen (within ms).
    bool WaitForEvent(int event, int count, int ms) const;
    // True once at least n bytes were received (within ms).
    bool WaitForBytes(size_t n, int ms) const;

    // Whether the callback asks for the next read (as the product's callback does).
    void SetRequestRead(bool on);
    // The next notification `event` blocks the event thread inside the callback.
    void HoldOn(int event);
    bool WaitUntilHeld(int ms) const;
    void Release();

private:
    struct State;
    State& S() const;
};

extern Recorder g_recorder;
void RecordingCallback(CSerialPort* port, int event);

// Opens with the product's line settings (8E1) and monitoring as given.
int OpenLikeProduct(CSerialPort& port, const std::string& name, int monitorModem = 1);

// The same for a port served by the simulator, after giving it time to take the last
// close as a reset. That reset also puts the pseudo-terminal back in raw mode, which the
// next line settings need under Wine: on a pseudo-terminal the C library refuses a request
// for parity that changes nothing else (the kernel drops the parity bit), so settings
// identical to the last open's fail with result 4.
int OpenSimLine(CSerialPort& port, const std::string& name, int monitorModem = 1);

// Sends the bytes and waits until the recorder holds expectedTotal received bytes.
bool SendAndWait(CSerialPort& port, const std::vector<unsigned char>& bytes, size_t expectedTotal,
                 int ms);

// Bytes the simulator has received from the host so far, from its wire log (which it
// writes every few milliseconds; waitMs lets it catch up with what was sent).
std::vector<unsigned char> HostBytesOnWire(int waitMs = 300);

// Asks the runner to "unplug" (stop the simulator) or "replug" (start it again) and waits
// for its acknowledgement. false when the runner did not answer within ms.
bool AskRunner(const std::string& request, int ms);

}  // namespace wintest
