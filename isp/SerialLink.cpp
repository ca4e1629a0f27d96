#include "SerialLink.h"

#include "SerialPort.h"

namespace {
// The bootloader's line: 8 data bits, even parity; modem-line changes are reported.
constexpr int kEvenParity = 2;
constexpr int kDataBits = 8;
constexpr int kMonitorModem = 1;
}  // namespace

CSerialLink::CSerialLink() : m_ring(m_ownRing) {}

CSerialLink::CSerialLink(RxRing& ring) : m_ring(ring) {}

CSerialLink::~CSerialLink() { DestroyPort(); }

void CSerialLink::CreatePort() {
    if (m_pPort == nullptr) m_pPort = new CSerialPort;
    m_pPort->SetCallback(OnSerialEvent);
    // The process ring stays the callback's default, as it has always been.
    m_pPort->SetCallbackContext(&m_ring == &g_rxRing ? nullptr : &m_ring);
    // Where the backend can, the client reads its replies itself: no thread stands between
    // the line and the client, so a reply costs no hand-over.
    m_callerReads = m_pPort->SetCallerReads(true);
}

void CSerialLink::DestroyPort() {
    if (m_pPort == nullptr) return;
    m_pPort->Close();
    delete m_pPort;
    m_pPort = nullptr;
}

int CSerialLink::Open(const std::string& name, int baudRate) {
    if (m_pPort == nullptr) return 0;
    m_interrupted = false;
    m_errorsAtArm = 0;  // the port counts afresh from each Open
    return m_pPort->Open(name, static_cast<uint32_t>(baudRate), kEvenParity, kDataBits,
                         kMonitorModem) == OpenOk
               ? 1
               : 0;
}

void CSerialLink::Close() {
    if (m_pPort != nullptr) m_pPort->Close();
}

bool CSerialLink::IsOpen() const { return m_pPort != nullptr && m_pPort->IsOpen(); }

int CSerialLink::LastOpenFailure() const {
    return m_pPort != nullptr ? m_pPort->LastOpenFailure() : OpenFailureOther;
}

bool CSerialLink::Gone() const { return m_pPort != nullptr && m_pPort->IsGone(); }

void CSerialLink::Send(const unsigned char* bytes, int length) {
    if (m_pPort == nullptr || !m_pPort->IsOpen()) return;
    m_pPort->Send(bytes, length);
}

void CSerialLink::SetLine(LinkLine line, bool on) {
    if (m_pPort == nullptr) return;
    if (line == LinkLine::Dtr) {
        m_pPort->SetDtr(on);
    } else {
        m_pPort->SetRts(on);
    }
}

void CSerialLink::Arm() {
    // Nobody read while the ring was disarmed: what came meanwhile is dropped now, before
    // capture starts, as the event thread would have dropped it on arrival.
    if (m_callerReads && m_pPort != nullptr) m_pPort->DropReceived();
    // Taken before capture starts: an error can only be counted too early (a retry), never
    // missed for a byte the ring kept.
    m_errorsAtArm = m_pPort != nullptr ? m_pPort->LineErrorCount() : 0;
    m_ring.Arm();
}
void CSerialLink::Clear() { m_ring.Clear(); }
void CSerialLink::Disarm() { m_ring.Disarm(); }
int CSerialLink::Count() const { return m_ring.Count(); }
unsigned char CSerialLink::ByteAt(int k) const { return m_ring.ByteAt(k); }
bool CSerialLink::Take(unsigned char* out) { return m_ring.Take(out); }
void CSerialLink::Reframe(int k, int n) { m_ring.Reframe(k, n); }

int CSerialLink::WaitForCount(int target, uint64_t deadlineUs) {
    if (m_interrupted) return m_ring.Count();
    const uint64_t now = RealClock().NowUs();
    if (now >= deadlineUs) return m_ring.Count();
    if (m_callerReads && m_pPort != nullptr && m_pPort->IsOpen()) {
        return m_pPort->ReceiveInto(m_ring, target, deadlineUs - now);
    }
    // The ring sleeps in whole milliseconds: round up, never wake before the deadline.
    const uint64_t ms = (deadlineUs - now + 999) / 1000;
    return m_ring.WaitForCount(target, static_cast<unsigned long>(ms));
}

int CSerialLink::LineErrors() const {
    if (m_pPort == nullptr) return 0;
    const int errors = m_pPort->LineErrorCount() - m_errorsAtArm;
    return errors > 0 ? errors : 0;
}

LatencyTimerNote CSerialLink::LatencyTimer() const {
    return m_pPort != nullptr ? m_pPort->LatencyTimer() : LatencyTimerNote();
}

void CSerialLink::Interrupt() {
    m_interrupted = true;
    m_ring.Abort();
    if (m_callerReads && m_pPort != nullptr) m_pPort->StopReceiving();
}

bool CSerialLink::Interrupted() const { return m_interrupted; }

IClock& CSerialLink::Clock() { return RealClock(); }
