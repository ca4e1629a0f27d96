#include "PortRecorder.h"

namespace {
PortRecorder* g_recorder = nullptr;
}

void RecordingCallback(CSerialPort* port, int event) {
    if (g_recorder != nullptr) g_recorder->OnEvent(port, event);
}

void PortRecorder::Install() { g_recorder = this; }

void PortRecorder::Uninstall() {
    if (g_recorder == this) g_recorder = nullptr;
}

void PortRecorder::OnEvent(CSerialPort* port, int event) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_events.push_back(event);
    if (event == SerialDataReceived) {
        const unsigned char* data = port->GetRxData();
        m_received.insert(m_received.end(), data, data + port->GetRxCount());
        m_errorCounts.push_back(port->LineErrorCount());
        if (requestRead) port->RequestRead();
    }
    m_cv.notify_all();
    if (event == SerialConnected && holdConnected) {
        m_cv.wait(hold, [&] { return m_released; });
    }
}

bool PortRecorder::WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_cv.wait_for(hold, std::chrono::milliseconds(timeoutMs), pred);
}

bool PortRecorder::WaitForEvent(int event, int occurrences, int timeoutMs) {
    return WaitUntil(
        [&] {
            int n = 0;
            for (int e : m_events) n += (e == event);
            return n >= occurrences;
        },
        timeoutMs);
}

int PortRecorder::EventCount(int event) {
    std::lock_guard<std::mutex> hold(m_lock);
    int n = 0;
    for (int e : m_events) n += (e == event);
    return n;
}

std::vector<int> PortRecorder::Events() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_events;
}

bool PortRecorder::WaitForBytes(size_t count, int timeoutMs) {
    return WaitUntil([&] { return m_received.size() >= count; }, timeoutMs);
}

std::vector<unsigned char> PortRecorder::Received() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_received;
}

std::vector<int> PortRecorder::ErrorCountsSeen() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_errorCounts;
}

void PortRecorder::Release() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_released = true;
    m_cv.notify_all();
}
