// Windows backend of CSerialPort: overlapped I/O, all of it on one event thread per open
// period, driven by eleven events whose index is also their priority.
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "FtdiLatencyWin32.h"
#include "RxRing.h"
#include "SerialPort.h"
#include "SerialSignals.h"  // one event object per signal, lowest index first

namespace {

// The completion events of the three overlapped records are manual-reset.
const BOOL kManualReset[kSerialSignalCount] = {FALSE, TRUE,  FALSE, TRUE,  FALSE, TRUE,
                                               FALSE, FALSE, FALSE, FALSE, FALSE};

// Line changes per request event: EscapeCommFunction code.
struct LineRequest {
    int event;
    DWORD function;
};
const LineRequest kLineRequests[] = {
    {evSetDtr, SETDTR}, {evSetRts, SETRTS}, {evClearDtr, CLRDTR}, {evClearRts, CLRRTS}};

// Parity selection 0/1/2 -> DCB parity and whether it is checked; others mean none.
struct ParityMode {
    BYTE parity;
    DWORD check;
};
const ParityMode kParityModes[] = {{NOPARITY, 0}, {ODDPARITY, 1}, {EVENPARITY, 1}};

// The errors ClearCommError reports that make a received byte untrustworthy (or lose one).
const DWORD kLineErrorFlags[] = {CE_RXPARITY, CE_FRAME, CE_OVERRUN, CE_RXOVER};

// An adapter's latency timer above this is worth a word to the user.
const unsigned long kLatencyHintAboveMs = 2;

const DWORD kModemEvents = EV_RING | EV_RLSD;  // 0x120
const DWORD kThreadWaitMs = 2000;
const DWORD kReadRequestSize = 1;
// Bytes already waiting behind the one that completed a read are taken with it, up to this.
const DWORD kRxCapacity = 4096;

void BuildLineSettings(DCB* dcb, uint32_t baudRate, int parity, int byteSize) {
    const ParityMode mode = (parity >= 0 && parity <= 2) ? kParityModes[parity] : kParityModes[0];
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = baudRate;
    dcb->ByteSize = static_cast<BYTE>(byteSize);
    dcb->Parity = mode.parity;
    dcb->fParity = mode.check;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = 1;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDsrSensitivity = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fTXContinueOnXoff = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fErrorChar = 0;
    dcb->fNull = 0;
    dcb->fAbortOnError = 0;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    dcb->XonLim = 2;
    dcb->XoffLim = 4;
}

// A plain name such as "COM12" opens only through the device namespace (a bare name
// works for COM1 to COM9 alone); a name that already starts with \\ is used as it is.
std::string DevicePath(const std::string& name) {
    if (name.compare(0, 2, "\\\\") == 0) return name;
    return "\\\\.\\" + name;
}

bool Continues(BOOL ok) { return ok || GetLastError() == ERROR_IO_PENDING; }

// The port name the driver's settings know it by: "COM12" for "\\.\COM12".
std::string PortName(const std::string& name) {
    const std::string prefix = "\\\\.\\";
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

LatencyTimerNote LatencyNoteFor(const std::string& name) {
    LatencyTimerNote note;
    note.port = name;
    unsigned long ms = 0;
    if (CurrentFtdiLatencyReader()(PortName(name), &ms) && ms > kLatencyHintAboveMs) {
        note.kind = LatencyTimerNote::HighInSettings;
        note.foundMs = static_cast<int>(ms);
    }
    return note;
}

// Errors with which a failed request says the device was removed (a USB adapter pulled).
bool IsRemovalError(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_OPERATION_ABORTED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
            return true;
        default:
            return false;
    }
}

// Why CreateFileA refused the device. A port held by another program is refused as
// access denied on Windows.
int OpenFailureOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            return OpenFailureNoDevice;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OpenFailureInUse;
        default:
            return OpenFailureOther;
    }
}

}  // namespace

// Baud rate, parity and monitor modem live in CSerialPort itself. The event thread holds
// its own reference, so everything it uses stays alive until it ends, even when the port
// object is destroyed while the thread still runs.
struct CSerialPort::Backend {
    Backend() {
        for (int i = 0; i < kSerialSignalCount; ++i)
            events[i] = CreateEventA(nullptr, kManualReset[i], FALSE, nullptr);
    }
    ~Backend() {
        for (HANDLE& h : events) {
            if (h) CloseHandle(h);
            h = nullptr;
        }
        CloseDevice();
    }
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    HANDLE events[kSerialSignalCount] = {};
    unsigned nThreadId = 0;
    std::atomic<HANDLE> hPort{INVALID_HANDLE_VALUE};
    // The device still to be closed. Equal to hPort except after a Close whose wait ran
    // out: the late thread then still closes its device instead of leaking it.
    std::atomic<HANDLE> hDevice{INVALID_HANDLE_VALUE};
    HANDLE hThread = nullptr;
    OVERLAPPED readRecord = {};
    OVERLAPPED writeRecord = {};
    OVERLAPPED modemRecord = {};
    std::atomic<BYTE> bWriteBusy{0};
    BYTE bReadPending = 0;
    BYTE bModemWaitPending = 0;
    // Monitor modem for this open period. Turned off when the device refuses the
    // modem-status wait (Wine on a pseudo-terminal, some virtual COM drivers), instead of
    // losing the port.
    int bMonitoring = 0;
    unsigned char rxBuffer[kRxCapacity] = {};
    DWORD nReadRequestSize = kReadRequestSize;
    DWORD nRxCount = 0;
    unsigned char txBuffer[CSerialPort::kTxCapacity] = {};
    DWORD nTxLength = 0;
    DWORD nModemEventMask = 0;
    SerialEventCallback callback = nullptr;
    void* context = nullptr;
    int lastOpenFailure = OpenFailureNone;
    LatencyTimerNote latencyNote;  // of the last Open
    // Errors the driver reported in this open period; counted on the event thread.
    std::atomic<int> lineErrors{0};
    // The port object the callback is told about; null once it has been destroyed.
    std::atomic<CSerialPort*> owner{nullptr};
    // From the start of an event thread to its very end, also after Close stopped waiting.
    std::atomic<bool> bThreadRunning{false};
    // The period ended because the device went away; kept through Close, until Open.
    std::atomic<bool> bGone{false};

    static unsigned __stdcall ThreadMain(void* arg);

    void Notify(int event) {
        CSerialPort* const port = owner.load();
        if (callback && port) callback(port, event);
    }
    bool AnyEventInvalid() const {
        for (HANDLE h : events)
            if (h == nullptr) return true;
        return false;
    }
    void CloseDevice() {
        const HANDLE h = hDevice.exchange(INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        hPort = INVALID_HANDLE_VALUE;
    }
    // Asks a thread still held to end (its own stop request; Close is not needed first),
    // then forgets it. False when it was still running after the limit.
    bool StopThread() {
        if (hThread && events[evStop]) SetEvent(events[evStop]);
        return ForgetThread();
    }
    // Releases the handle of an event thread that has ended (or not, after the limit).
    bool ForgetThread() {
        if (!hThread) return true;
        const bool ended = WaitForSingleObject(hThread, kThreadWaitMs) == WAIT_OBJECT_0;
        CloseHandle(hThread);
        hThread = nullptr;
        nThreadId = 0;
        return ended;
    }

    bool Dispatch(HANDLE device, int event);
    bool ReadDone(HANDLE device);
    // Reads into the buffer, behind what a read delivered, bytes the driver holds already.
    bool TakeWaiting(HANDLE device, DWORD waiting);
    bool ReadRequest(HANDLE device);
    bool WriteDone(HANDLE device);
    bool WriteRequest(HANDLE device);
    bool ModemDone(HANDLE device);
    bool ModemRequest(HANDLE device);
};

namespace {
// The backend whose event thread runs this code, and the port it was started for: calls
// that the callback makes on its own port go to that backend without touching the port
// object, which may be gone.
thread_local CSerialPort::Backend* t_ownBackend = nullptr;
thread_local const CSerialPort* t_ownPort = nullptr;

CSerialPort::Backend* OwnBackend(const CSerialPort* port) {
    return (t_ownBackend && t_ownPort == port) ? t_ownBackend : nullptr;
}
}  // namespace

unsigned __stdcall CSerialPort::Backend::ThreadMain(void* arg) {
    // The reference handed over by Open: released when this thread ends.
    const std::unique_ptr<std::shared_ptr<Backend>> hold(
        static_cast<std::shared_ptr<Backend>*>(arg));
    const std::shared_ptr<Backend> keep = *hold;
    Backend& b = *keep;
    t_ownBackend = &b;
    t_ownPort = b.owner.load();
    HANDLE device = b.hDevice.load();
    b.bWriteBusy = 0;
    b.bReadPending = 0;
    b.bModemWaitPending = 0;
    b.Notify(SerialConnected);
    SetEvent(b.events[evReadRequest]);
    if (b.bMonitoring) SetEvent(b.events[evModemRequest]);

    for (;;) {
        const DWORD r = WaitForMultipleObjects(kSerialSignalCount, b.events, FALSE, INFINITE);
        if (r >= WAIT_OBJECT_0 + kSerialSignalCount) break;
        const int event = static_cast<int>(r - WAIT_OBJECT_0);
        if (!b.Dispatch(device, event)) {
            // Read first: the failed request's error is the thread's last.
            if (event != evStop && IsRemovalError(GetLastError())) b.bGone = true;
            break;
        }
    }

    // Close only if nobody else (a new Open) has taken the device meanwhile.
    HANDLE expected = device;
    if (device != INVALID_HANDLE_VALUE &&
        b.hDevice.compare_exchange_strong(expected, INVALID_HANDLE_VALUE)) {
        CloseHandle(device);
        expected = device;
        b.hPort.compare_exchange_strong(expected, INVALID_HANDLE_VALUE);
    }
    b.Notify(SerialDisconnected);
    t_ownBackend = nullptr;
    t_ownPort = nullptr;
    b.bThreadRunning = false;
    return 0;
}

// One action per wake-up; false ends the loop.
bool CSerialPort::Backend::Dispatch(HANDLE device, int event) {
    switch (event) {
        case evStop:
            return false;
        case evReadDone:
            return ReadDone(device);
        case evReadRequest:
            return ReadRequest(device);
        case evWriteDone:
            return WriteDone(device);
        case evWriteRequest:
            return WriteRequest(device);
        case evModemDone:
            return ModemDone(device);
        case evModemRequest:
            return ModemRequest(device);
        default:
            break;
    }
    for (const LineRequest& line : kLineRequests) {
        // A pseudo-terminal under Wine has no modem lines and refuses; that is harmless.
        if (line.event == event) EscapeCommFunction(device, line.function);
    }
    return true;
}

bool CSerialPort::Backend::ReadDone(HANDLE device) {
    DWORD count = 0;
    if (!Continues(GetOverlappedResult(device, &readRecord, &count, FALSE))) return false;
    ResetEvent(events[evReadDone]);
    nRxCount = count;
    bReadPending = 0;
    // The driver's errors since the last look belong to these bytes (or were lost before
    // them); counted before the bytes are handed on, so whoever has them has their errors.
    DWORD errors = 0;
    COMSTAT status = {};
    if (ClearCommError(device, &errors, &status)) {
        for (DWORD flag : kLineErrorFlags) {
            if (errors & flag) ++lineErrors;
        }
        // What waits behind the first byte is read now, in one go, rather than one byte and
        // one completion at a time: it is there, so the read ends at once.
        if (count == 1 && status.cbInQue > 0 && !TakeWaiting(device, status.cbInQue)) return false;
    }
    // A reply cannot precede the write that asked for it: a write completed at the same
    // time is reported first, or the client's next send would find the port still busy
    // and be dropped, costing it a whole reply window.
    if (bWriteBusy && WaitForSingleObject(events[evWriteDone], 0) == WAIT_OBJECT_0 &&
        !WriteDone(device)) {
        return false;
    }
    if (count != 0) Notify(SerialDataReceived);
    return true;
}

bool CSerialPort::Backend::TakeWaiting(HANDLE device, DWORD waiting) {
    const DWORD room = static_cast<DWORD>(sizeof(rxBuffer)) - nRxCount;
    const DWORD wanted = waiting < room ? waiting : room;
    DWORD more = 0;
    if (!ReadFile(device, rxBuffer + nRxCount, wanted, &more, &readRecord)) {
        // A device gone away fails here as it would at the next read.
        if (GetLastError() != ERROR_IO_PENDING) return false;
        if (!GetOverlappedResult(device, &readRecord, &more, TRUE)) return false;
    }
    ResetEvent(events[evReadDone]);
    nRxCount += more;
    return true;
}

bool CSerialPort::Backend::ReadRequest(HANDLE device) {
    if (bReadPending) return true;
    bReadPending = 1;
    return Continues(ReadFile(device, rxBuffer, nReadRequestSize, nullptr, &readRecord));
}

bool CSerialPort::Backend::WriteDone(HANDLE device) {
    DWORD count = 0;
    if (!Continues(GetOverlappedResult(device, &writeRecord, &count, FALSE))) return false;
    ResetEvent(events[evWriteDone]);
    bWriteBusy = 0;
    Notify(SerialDataSent);
    return true;
}

bool CSerialPort::Backend::WriteRequest(HANDLE device) {
    return Continues(WriteFile(device, txBuffer, nTxLength, nullptr, &writeRecord));
}

bool CSerialPort::Backend::ModemDone(HANDLE device) {
    DWORD count = 0;
    if (!GetOverlappedResult(device, &modemRecord, &count, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_NOT_SUPPORTED) {
            ResetEvent(events[evModemDone]);
            bModemWaitPending = 0;
            bMonitoring = 0;
            return true;
        }
        if (error != ERROR_IO_PENDING) return false;
    }
    ResetEvent(events[evModemDone]);
    bModemWaitPending = 0;
    DWORD status = 0;
    GetCommModemStatus(device, &status);
    if ((nModemEventMask & EV_RING) && (status & MS_RING_ON)) Notify(SerialRing);
    if (nModemEventMask & EV_RLSD)
        Notify((status & MS_RLSD_ON) ? SerialCarrierDetected : SerialCarrierLost);
    SetEvent(events[evModemRequest]);
    return true;
}

bool CSerialPort::Backend::ModemRequest(HANDLE device) {
    if (bModemWaitPending || !bMonitoring) return true;
    bModemWaitPending = 1;
    if (WaitCommEvent(device, &nModemEventMask, &modemRecord)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return true;
    if (error == ERROR_NOT_SUPPORTED) {
        bModemWaitPending = 0;
        bMonitoring = 0;
        return true;
    }
    return false;
}

CSerialPort::CSerialPort() : m_p(std::make_shared<Backend>()) { m_p->owner = this; }

CSerialPort::~CSerialPort() {
    // A thread still running after the limit keeps the backend alive through its own
    // reference and tells nobody any more; the last reference closes events and device.
    const bool ended = m_p->StopThread();
    if (!ended || m_p->bThreadRunning) m_p->owner = nullptr;
}

void CSerialPort::SetCallback(SerialEventCallback callback) { m_p->callback = callback; }

void CSerialPort::SetCallbackContext(void* context) { m_p->context = context; }

void* CSerialPort::CallbackContext() const {
    const Backend* own = OwnBackend(this);
    return (own ? own : m_p.get())->context;
}

int CSerialPort::Open(std::string name, uint32_t baudRate, int parity, int byteSize,
                      int monitorModem) {
    Backend& b = *m_p;
    COMMTIMEOUTS timeouts;
    DCB dcb;
    std::memset(&timeouts, 0, sizeof(timeouts));
    std::memset(&dcb, 0, sizeof(dcb));
    // The previous period's thread ends before anything of it is reused; one that outlived
    // the limit keeps the old backend to itself, and this period gets fresh events.
    const bool ended = b.StopThread();
    if (!ended || b.bThreadRunning) {
        const std::shared_ptr<Backend> fresh = std::make_shared<Backend>();
        fresh->callback = b.callback;
        fresh->context = b.context;
        fresh->owner = this;
        b.owner = nullptr;
        m_p = fresh;
        return Open(std::move(name), baudRate, parity, byteSize, monitorModem);
    }
    b.CloseDevice();
    b.lastOpenFailure = OpenFailureNone;
    b.latencyNote = LatencyTimerNote();
    b.lineErrors = 0;
    b.bGone = false;

    int result = OpenOk;
    if (name.empty()) {
        result = OpenEmptyName;
    } else {
        std::memset(&b.readRecord, 0, sizeof(OVERLAPPED));
        std::memset(&b.writeRecord, 0, sizeof(OVERLAPPED));
        std::memset(&b.modemRecord, 0, sizeof(OVERLAPPED));
        BuildLineSettings(&dcb, baudRate, parity, byteSize);

        const HANDLE h = CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        b.hDevice = h;
        b.hPort = h;
        b.readRecord.hEvent = b.events[evReadDone];
        b.writeRecord.hEvent = b.events[evWriteDone];
        b.modemRecord.hEvent = b.events[evModemDone];

        if (h == INVALID_HANDLE_VALUE) {
            result = OpenDeviceFailed;
            b.lastOpenFailure = OpenFailureOf(GetLastError());
        } else {
            if (!SetCommMask(h, monitorModem ? kModemEvents : 0)) result = OpenModemMaskFailed;
            if (!SetCommTimeouts(h, &timeouts)) result = OpenTimeoutsFailed;
            if (!SetCommState(h, &dcb)) result = OpenLineSettingsFailed;
        }
    }
    if (b.AnyEventInvalid()) result = OpenEventInvalid;

    if (result != OpenOk) {
        b.CloseDevice();
        return result;
    }
    b.latencyNote = LatencyNoteFor(name);
    // A fresh period starts with no request pending: a stop that found no thread, or a
    // send made while closed, must not act on this one.
    for (HANDLE h : b.events) ResetEvent(h);
    b.bMonitoring = monitorModem;
    auto* reference = new std::shared_ptr<Backend>(m_p);
    b.bThreadRunning = true;
    b.hThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &Backend::ThreadMain, reference, 0, &b.nThreadId));
    if (!b.hThread) {
        b.bThreadRunning = false;
        delete reference;
    }
    return result;
}

void CSerialPort::Close() {
    Backend& b = *m_p;
    if (b.events[evStop]) SetEvent(b.events[evStop]);
    if (b.hThread)
        b.ForgetThread();
    else
        b.CloseDevice();  // no thread was started that would close it
    b.hPort = INVALID_HANDLE_VALUE;
}

bool CSerialPort::IsOpen() const { return m_p->hPort.load() != INVALID_HANDLE_VALUE; }

bool CSerialPort::IsGone() const {
    const Backend* own = OwnBackend(this);
    return (own ? own : m_p.get())->bGone.load();
}

void CSerialPort::Send(const unsigned char* data, int length) {
    Backend& b = *m_p;
    if (b.bWriteBusy || length >= kTxCapacity || length < 0 || data == nullptr) return;
    b.bWriteBusy = 1;
    std::memcpy(b.txBuffer, data, static_cast<size_t>(length));
    b.nTxLength = static_cast<DWORD>(length);
    SetEvent(b.events[evWriteRequest]);
}

void CSerialPort::SetDtr(bool on) {
    if (IsOpen()) SetEvent(m_p->events[on ? evSetDtr : evClearDtr]);
}

void CSerialPort::SetRts(bool on) {
    if (IsOpen()) SetEvent(m_p->events[on ? evSetRts : evClearRts]);
}

// From a callback the calls go to the calling event thread's own backend.
void CSerialPort::RequestRead() {
    Backend* own = OwnBackend(this);
    SetEvent((own ? own : m_p.get())->events[evReadRequest]);
}

unsigned char* CSerialPort::GetRxData() {
    Backend* own = OwnBackend(this);
    return (own ? own : m_p.get())->rxBuffer;
}

int CSerialPort::GetRxCount() const {
    const Backend* own = OwnBackend(this);
    return static_cast<int>((own ? own : m_p.get())->nRxCount);
}

int CSerialPort::LastOpenFailure() const { return m_p->lastOpenFailure; }

LatencyTimerNote CSerialPort::LatencyTimer() const { return m_p->latencyNote; }

int CSerialPort::LineErrorCount() const {
    const Backend* own = OwnBackend(this);
    return (own ? own : m_p.get())->lineErrors.load();
}

// The event thread reads, always: there is no caller-side mode here.
bool CSerialPort::SetCallerReads(bool) { return false; }

int CSerialPort::ReceiveInto(RxRing& ring, int, uint64_t) { return ring.Count(); }

void CSerialPort::DropReceived() {}

void CSerialPort::StopReceiving() {}
