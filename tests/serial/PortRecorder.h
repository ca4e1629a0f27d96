// Records what a CSerialPort reports through its callback, for the port tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "SerialPort.h"

class PortRecorder {
public:
    // Installs this recorder as the receiver of RecordingCallback.
    void Install();
    void Uninstall();

    void OnEvent(CSerialPort* port, int event);

    // Waits until pred holds (checked under the recorder's lock) or timeoutMs passes.
    bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);
    bool WaitForEvent(int event, int occurrences, int timeoutMs);
    bool WaitForBytes(size_t count, int timeoutMs);

    int EventCount(int event);
    std::vector<int> Events();
    std::vector<unsigned char> Received();
    // The port's LineErrorCount as the callback read it at each DataReceived.
    std::vector<int> ErrorCountsSeen();

    // Settings for the next callbacks.
    bool requestRead = true;     // DataReceived asks for the next read
    bool holdConnected = false;  // Connected blocks until Release
    void Release();

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<int> m_events;
    std::vector<unsigned char> m_received;
    std::vector<int> m_errorCounts;
    bool m_released = false;
};

void RecordingCallback(CSerialPort* port, int event);
