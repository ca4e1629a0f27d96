#include "WinTestSupport.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace wintest {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

}  // namespace

std::string SimPort() { return Env("KESTREL_SIM_PORT"); }
std::string SimPortHigh() { return Env("KESTREL_SIM_PORT_HIGH"); }
std::string DeadPort() { return Env("KESTREL_DEAD_PORT"); }
std::string WireLogPath() { return Env("KESTREL_WIRE_LOG"); }
std::string ControlDir() { return Env("KESTREL_CTL_DIR"); }

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Recorder::State {
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<int> events;
    std::vector<unsigned char> bytes;
    bool requestRead = true;
    int holdEvent = -1;
    bool holding = false;
};

Recorder::State& Recorder::S() const {
    static State state;
    return state;
}

void Recorder::Reset() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.events.clear();
    s.bytes.clear();
    s.requestRead = true;
    s.holdEvent = -1;
    s.holding = false;
}

void Recorder::OnEvent(CSerialPort* port, int event) {
    State& s = S();
    bool requestRead = false;
    {
        std::unique_lock<std::mutex> g(s.lock);
        s.events.push_back(event);
        if (event == SerialDataReceived) {
            const unsigned char* data = port->GetRxData();
            s.bytes.insert(s.bytes.end(), data, data + port->GetRxCount());
            requestRead = s.requestRead;
        }
        if (event == s.holdEvent) {
            s.holdEvent = -1;
            s.holding = true;
            s.changed.notify_all();
            s.changed.wait(g, [&] { return !s.holding; });
        }
        s.changed.notify_all();
    }
    if (requestRead) port->RequestRead();
}

int Recorder::CountOf(int event) const {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    int n = 0;
    for (int e : s.events) n += (e == event);
    return n;
}

std::vector<int> Recorder::Events() const {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.events;
}

std::vector<unsigned char> Recorder::Bytes() const {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    return s.bytes;
}

bool Recorder::WaitForEvent(int event, int count, int ms) const {
    State& s = S();
    std::unique_lock<std::mutex> g(s.lock);
    return s.changed.wait_for(g, std::chrono::milliseconds(ms), [&] {
        int n = 0;
        for (int e : s.events) n += (e == event);
        return n >= count;
    });
}

bool Recorder::WaitForBytes(size_t n, int ms) const {
    State& s = S();
    std::unique_lock<std::mutex> g(s.lock);
    return s.changed.wait_for(g, std::chrono::milliseconds(ms),
                              [&] { return s.bytes.size() >= n; });
}

void Recorder::SetRequestRead(bool on) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.requestRead = on;
}

void Recorder::HoldOn(int event) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.holdEvent = event;
}

bool Recorder::WaitUntilHeld(int ms) const {
    State& s = S();
    std::unique_lock<std::mutex> g(s.lock);
    return s.changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return s.holding; });
}

void Recorder::Release() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.holdEvent = -1;
    s.holding = false;
    s.changed.notify_all();
}

Recorder g_recorder;

void RecordingCallback(CSerialPort* port, int event) { g_recorder.OnEvent(port, event); }

int OpenLikeProduct(CSerialPort& port, const std::string& name, int monitorModem) {
    return port.Open(name, kBaud, kEvenParity, 8, monitorModem);
}

int OpenSimLine(CSerialPort& port, const std::string& name, int monitorModem) {
    // The simulator wakes on the hang-up at once; this is ample even on a loaded machine.
    Sleep(200);
    return OpenLikeProduct(port, name, monitorModem);
}

bool SendAndWait(CSerialPort& port, const std::vector<unsigned char>& bytes, size_t expectedTotal,
                 int ms) {
    port.Send(bytes.data(), static_cast<int>(bytes.size()));
    return g_recorder.WaitForBytes(expectedTotal, ms);
}

std::vector<unsigned char> HostBytesOnWire(int waitMs) {
    Sleep(static_cast<DWORD>(waitMs));
    std::vector<unsigned char> bytes;
    FILE* f = std::fopen(WireLogPath().c_str(), "r");
    if (!f) return bytes;
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
        double seconds = 0;
        char direction = 0;
        unsigned value = 0;
        // "12.345678 H> 7F": H> from the host, T> from the target.
        if (std::sscanf(line, "%lf %c> %x", &seconds, &direction, &value) == 3 && direction == 'H')
            bytes.push_back(static_cast<unsigned char>(value));
    }
    std::fclose(f);
    return bytes;
}

bool AskRunner(const std::string& request, int ms) {
    static int sequence = 0;
    const std::string text = request + " " + std::to_string(++sequence);
    const std::string dir = ControlDir();
    const std::string pending = dir + "\\request.tmp";
    const std::string final = dir + "\\request";
    const std::string ack = dir + "\\ack";
    FILE* f = std::fopen(pending.c_str(), "w");
    if (!f) return false;
    std::fputs(text.c_str(), f);
    std::fclose(f);
    // Renamed into place so that the runner never reads a half-written request.
    if (!MoveFileExA(pending.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    const int64_t end = NowMs() + ms;
    while (NowMs() < end) {
        FILE* a = std::fopen(ack.c_str(), "r");
        if (a) {
            char line[64] = {};
            const bool got = std::fgets(line, sizeof line, a) != nullptr;
            std::fclose(a);
            if (got && std::string(line).compare(0, text.size(), text) == 0) return true;
        }
        Sleep(50);
    }
    return false;
}

}  // namespace wintest
