// Serial port with its own event thread. One header; one backend file per operating
// system (SerialPortPosix.cpp, SerialPortWin32.cpp), chosen by the build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "LatencyTimer.h"
#include "OpenFailure.h"

// Notification codes passed to the callback.
enum SerialEvent {
    SerialConnected = 0,        // the event thread has started
    SerialDisconnected = 1,     // the event thread is about to end; the device is closed
    SerialDataSent = 2,         // a write has completed
    SerialDataReceived = 3,     // a read completed with at least one byte
    SerialRing = 4,             // ring indicator reported and on
    SerialCarrierDetected = 5,  // carrier-detect change, carrier on
    SerialCarrierLost = 6,      // carrier-detect change, carrier off
};

// Results of CSerialPort::Open: assigned codes, not bits to combine.
enum OpenResult {
    OpenOk = 0,
    OpenModemMaskFailed = 1,
    OpenTimeoutsFailed = 2,
    OpenLineSettingsFailed = 4,
    OpenDeviceFailed = 8,
    OpenEmptyName = 16,
    OpenEventInvalid = 32,
};

class CSerialPort;
class RxRing;
typedef void (*SerialEventCallback)(CSerialPort* port, int event);

class CSerialPort {
public:
    static constexpr int kTxCapacity = 1024;
    static constexpr int kRxCapacity = 4096;  // most bytes one read delivers

    CSerialPort();
    // Waits at most 2000 ms for a running event thread. A thread that outlives the wait keeps
    // what it uses until it ends, and no longer calls the callback.
    ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Stores the receiver of all notifications; called once, right after construction.
    void SetCallback(SerialEventCallback callback);
    // Stores what the callback needs beside the port (the receive ring of the port's link);
    // set before Open. CallbackContext, also from within the callback, gives it back.
    void SetCallbackContext(void* context);
    void* CallbackContext() const;

    // Opens and configures the device (parity 0 none, 1 odd, 2 even; byteSize data bits;
    // one stop bit; no flow control) and starts the event thread. Returns an OpenResult;
    // on any non-zero result the device is closed and no thread runs.
    int Open(std::string name, uint32_t baudRate, int parity, int byteSize, int monitorModem);
    // After an Open that returned OpenDeviceFailed: an OpenFailure saying why.
    int LastOpenFailure() const;
    // What the last Open found of the USB adapter's latency timer and did about it (on Linux
    // it is lowered for the open period and put back when the period ends; on Windows only
    // the user can change it). Kept through Close, until the next Open; read it from the
    // thread that opens.
    LatencyTimerNote LatencyTimer() const;

    // Signals the event thread to stop and waits for it at most 2000 ms; IsOpen is false
    // afterwards even when the thread has not ended yet.
    void Close();

    // True while the device is open. Turns false by itself when an I/O error (the device
    // removed) ends the event thread.
    bool IsOpen() const;

    // True once the device has gone away (unplugged: a hang-up, or an I/O error of a
    // removed device) and ended the open period by itself; the callback hears Disconnected
    // after it turns true. Stays true through Close, until the next Open.
    bool IsGone() const;

    // Hands at most 1023 bytes to the event thread and returns at once. Dropped silently
    // while a write is outstanding, when length >= 1024 or data is null.
    void Send(const unsigned char* data, int length);

    // Fire-and-forget line requests, carried out on the event thread; dropped while closed.
    void SetDtr(bool on);
    void SetRts(bool on);

    // The callback calls this after taking the bytes of DataReceived: the next read. A read
    // delivers whatever has arrived, up to kRxCapacity bytes (on Windows: a first byte and what
    // waits behind it).
    void RequestRead();
    unsigned char* GetRxData();
    int GetRxCount() const;

    // Line errors in this open period: bytes received with a parity or framing error (a
    // break among them), and overruns, each error the system reports counting one. 0 at
    // Open, only ever growing while open, and still readable after Close until the next
    // Open. A read's errors are counted before its DataReceived is reported, so a client
    // that has the bytes also has their errors. Safe from any thread, also from within the
    // callback. The bytes in error are delivered all the same.
    int LineErrorCount() const;

    // Reading in the calling thread, where the backend offers it (POSIX does; Windows does
    // not and returns false, its event thread reading as before). Asked for before Open, it
    // holds for the open periods that follow: the event thread then reads nothing (no
    // DataReceived) and only watches for the device going away; received bytes wait in the
    // system until ReceiveInto reads them, and Send and the line requests are carried out in
    // the calling thread before they return (DataSent is reported from there).
    bool SetCallerReads(bool on);

    // Caller reads, from one thread at a time. Reads what has come, decoded and its line
    // errors counted as the event thread would, into ring (through RxRing::Append: kept only
    // while armed), until the ring holds target unread bytes, waitUs microseconds have
    // passed, the device has gone away or StopReceiving was called; returns the ring's count
    // then. Once a reply has begun, it leaves the device alone (but for a hang-up) until the
    // last send and the whole reply could have crossed the line, instead of waking for each
    // byte.
    int ReceiveInto(RxRing& ring, int target, uint64_t waitUs);
    // Caller reads: reads and drops whatever has come (its line errors counted), so that
    // nothing that came while nobody listened is taken for a reply.
    void DropReceived();
    // From any thread: ReceiveInto returns at once, now and for the rest of the open period.
    void StopReceiving();

    struct Backend;  // the operating system's state, private to the backend file

private:
    std::shared_ptr<Backend> m_p;  // shared with a running event thread on Windows
};

// The program's callback: trace texts to the trace stream (SerialTrace.h), received bytes to
// the RxRing that is the port's callback context (g_rxRing when it has none); a device gone
// away aborts that ring's wait.
void OnSerialEvent(CSerialPort* port, int event);
