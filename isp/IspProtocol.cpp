#include "IspProtocol.h"

#include <cstring>
#include <vector>

#include "Clock.h"
#include "RxRing.h"
#include "SerialPort.h"

namespace {

constexpr unsigned char kAck = CIspProtocol::kAck;
constexpr unsigned char kNack = CIspProtocol::kNack;
constexpr int kMaxResends = 4;  // so a stage goes out at most five times

// Reply windows in milliseconds.
constexpr unsigned long kSyncWindow = 100;
constexpr unsigned long kGetWindow = 300;
constexpr unsigned long kShortWindow = 100;
constexpr unsigned long kWindow = 200;
constexpr unsigned long kMsPerByte = 40;  // data-carrying stages grow with the data

// Byte counts of the accepted Get reply: ACK, N, version, 11 codes, ACK.
constexpr int kGetReplyLength = 15;
constexpr unsigned char kGetCodeCount = 0x0B;
constexpr unsigned char kIdCount = 0x01;  // ID reply: N = bytes that follow minus one

// The bootloader's line: 8 data bits, even parity; modem-line changes are reported.
constexpr int kEvenParity = 2;
constexpr int kDataBits = 8;
constexpr int kMonitorModem = 1;

// The port and ring one command talks through. Sends go out only while the port is
// open; when it is not, the stage waits all the same and fails by timeout, unless the
// device has gone away.
struct Link {
    CSerialPort* port;
    RxRing& ring;
    const CIspProtocol::Trace* trace;  // null when tracing is off

    void Send(const unsigned char* bytes, int length) const {
        if (port == nullptr || !port->IsOpen()) return;
        port->Send(bytes, length);
        // The port refuses a block this long, so it is not traced as sent.
        if (trace != nullptr && length < CSerialPort::kTxCapacity) (*trace)(true, bytes, length);
    }
    // Nothing more can arrive: stages end at once instead of waiting out their windows.
    bool Gone() const { return port != nullptr && port->IsGone(); }
    // At a stage's end: the reply bytes it saw.
    void TraceReply() const {
        if (trace == nullptr) return;
        const int count = ring.Count();  // never above kSize
        if (count == 0) return;
        unsigned char seen[RxRing::kSize];
        for (int k = 0; k < count; ++k) seen[k] = ring.ByteAt(k);
        (*trace)(false, seen, count);
    }
    bool FirstIs(unsigned char value) const { return ring.Count() >= 1 && ring.ByteAt(0) == value; }
    bool LoneNack(int count) const { return count == 1 && ring.ByteAt(0) == kNack; }
};

Link MakeLink(CSerialPort* port, const CIspProtocol::Trace& trace) {
    return Link{port, g_rxRing, trace ? &trace : nullptr};
}

// One modem-line change of the reset pulse, told to the observer first.
void DriveLine(CSerialPort* port, const CIspProtocol::LineObserver& observer,
               ResetWiring::Line line, bool level) {
    if (port == nullptr || line == ResetWiring::None) return;
    const bool dtr = line == ResetWiring::Dtr;
    if (observer) observer(dtr ? "DTR" : "RTS", level);
    if (dtr) {
        port->SetDtr(level);
    } else {
        port->SetRts(level);
    }
}

// How many bytes to sleep for: the first byte (a NACK or the start of the reply), then
// the whole reply of wanted bytes, then any further byte.
int WakeAt(int count, int wanted) {
    if (count == 0) return 1;
    return count < wanted ? wanted : count + 1;
}

// Sends the stage's bytes and sleeps on the ring until stop(count) holds, waking for the
// first byte and for the wanted length of the reply. A window that elapses with nothing
// received sends the bytes again, up to four times; once anything has arrived the stage
// ends with its current window at the latest.
template <class StopFn>
void RunStage(const Link& link, const unsigned char* bytes, int length, unsigned long windowMs,
              int wanted, StopFn stop, int maxResends = kMaxResends) {
    link.Send(bytes, length);
    unsigned long start = ClockMs();
    int resends = 0;
    int count = link.ring.Count();
    for (;;) {
        if (stop(count) || link.Gone()) break;
        const unsigned long elapsed = ElapsedMs(start, ClockMs());
        if (elapsed < windowMs) {
            count = link.ring.WaitForCount(WakeAt(count, wanted), windowMs - elapsed);
            continue;
        }
        // Anything received is judged as it is; silence is resent.
        count = link.ring.Count();
        if (count != 0 || resends >= maxResends) break;
        link.Send(bytes, length);
        ++resends;
        start = ClockMs();
    }
    link.TraceReply();
}

// The common stage: ends on the first byte, which must be ACK.
bool AckStage(const Link& link, const unsigned char* bytes, int length, unsigned long windowMs) {
    RunStage(link, bytes, length, windowMs, 1, [](int count) { return count >= 1; });
    return link.FirstIs(kAck);
}

// One ACK stage, to be run by Exchange.
auto Ack(const Link& link, const unsigned char* bytes, int length, unsigned long windowMs) {
    return [&link, bytes, length, windowMs] { return AckStage(link, bytes, length, windowMs); };
}

// The stage that ends an erase block: with a known erase time it waits that long, sent once.
auto EraseAck(const Link& link, const unsigned char* bytes, int length, unsigned long windowMs,
              unsigned long eraseWaitMs) {
    return [&link, bytes, length, windowMs, eraseWaitMs] {
        if (eraseWaitMs == 0) return AckStage(link, bytes, length, windowMs);
        RunStage(
            link, bytes, length, windowMs + eraseWaitMs, 1, [](int count) { return count >= 1; },
            0);
        return link.FirstIs(kAck);
    };
}

// Runs a command's stages in order: arms the ring before the first, clears it between two,
// stops at the first stage that returns false, and disarms on every path. True when every
// stage returned true and the device is still there: one that went away mid-command may
// have taken any part of it along.
template <class... Stages>
bool Exchange(const Link& link, Stages&&... stages) {
    RxRing& ring = link.ring;
    ring.Arm();
    bool first = true;
    const auto run = [&](auto& stage) {
        if (!first) ring.Clear();
        first = false;
        return static_cast<bool>(stage()) && !link.Gone();
    };
    const bool ok = (run(stages) && ...);
    ring.Disarm();
    return ok;
}

void CommandBytes(unsigned char code, unsigned char out[2]) {
    out[0] = code;
    out[1] = static_cast<unsigned char>(0xFF - code);
}

void AddressBytes(uint32_t address, unsigned char out[5]) {
    out[0] = static_cast<unsigned char>(address >> 24);
    out[1] = static_cast<unsigned char>(address >> 16);
    out[2] = static_cast<unsigned char>(address >> 8);
    out[3] = static_cast<unsigned char>(address);
    out[4] = static_cast<unsigned char>(out[0] ^ out[1] ^ out[2] ^ out[3]);
}

unsigned char XorOf(const std::vector<unsigned char>& bytes) {
    unsigned char sum = 0;
    for (unsigned char b : bytes) sum ^= b;
    return sum;
}

// Stage 3 of Read Memory: windows and resends only until a first byte is seen; from then
// the rest must come within 40 ms a byte plus 40, counted from that first byte.
void ReadDataStage(const Link& link, const unsigned char* bytes, int length, int dataLength) {
    const unsigned long dataWindow = kMsPerByte * dataLength + kMsPerByte;
    link.Send(bytes, length);
    unsigned long start = ClockMs();
    unsigned long firstSeenAt = 0;
    bool firstSeen = false;
    int resends = 0;
    int count = link.ring.Count();
    for (;;) {
        if (count >= dataLength + 1 || link.LoneNack(count) || link.Gone()) break;
        const unsigned long now = ClockMs();
        if (count >= 1 && !firstSeen) {
            firstSeen = true;
            firstSeenAt = now;
        }
        // Until the first byte the stage's own window runs; from it, the data window.
        const unsigned long windowStart = firstSeen ? firstSeenAt : start;
        const unsigned long window = firstSeen ? dataWindow : kWindow;
        const unsigned long elapsed = ElapsedMs(windowStart, now);
        if (elapsed < window) {
            count = link.ring.WaitForCount(WakeAt(count, dataLength + 1), window - elapsed);
            continue;
        }
        if (firstSeen) break;
        count = link.ring.Count();
        if (count != 0) continue;  // arrived just now: the data window applies
        if (resends >= kMaxResends) break;
        link.Send(bytes, length);
        ++resends;
        start = ClockMs();
    }
    link.TraceReply();
}

// Stage 2 of Go. Returns true when the wait ended on a latest byte that is ACK.
bool GoAddressStage(const Link& link, const unsigned char* bytes, int length) {
    bool latestAck = false;
    RunStage(link, bytes, length, kWindow, 2, [&](int count) {
        if (count < 1) return false;
        if (link.ring.ByteAt(0) == kNack) return true;
        if (count >= 2 && link.ring.ByteAt(count - 1) == kAck) {
            latestAck = true;
            return true;
        }
        // A lone byte other than NACK waits out its window.
        return count >= 2;
    });
    return latestAck;
}

// Commands whose whole reply is five bytes: ACK, three bytes, ACK.
struct ShortReply {
    bool waitForLeadingAck;  // five bytes without a leading ACK do not end the wait
    bool countByte;          // the second byte is a count that must say one byte follows
};

// Sends the two-byte command and, on a well-formed reply, hands out its three middle bytes
// (two after a count byte).
int ShortReplyCommand(const Link& link, unsigned char code, ShortReply shape, unsigned char* out) {
    unsigned char command[2];
    CommandBytes(code, command);
    const bool there = Exchange(link, [&] {
        RunStage(link, command, 2, kWindow, 5, [&](int count) {
            if (link.LoneNack(count)) return true;
            return count >= 5 && (!shape.waitForLeadingAck || link.ring.ByteAt(0) == kAck);
        });
        return true;
    });
    if (!there) return 0;
    RxRing& ring = link.ring;
    // With a count byte it must say one more byte follows: anything else is not the reply
    // (a late duplicate of an earlier reply, say).
    if (ring.Count() != 5 || ring.ByteAt(0) != kAck || ring.ByteAt(4) != kAck ||
        (shape.countByte && ring.ByteAt(1) != kIdCount)) {
        return 0;
    }
    const int skip = shape.countByte ? 2 : 1;  // the ACK, and the count byte if any
    ring.Reframe(skip, 5 - skip);
    for (int i = 0; i < 4 - skip; ++i) ring.Take(&out[i]);
    return 1;
}

}  // namespace

CIspProtocol::CIspProtocol() : m_nVersion(0), m_commands{}, m_pPort(nullptr) {}

CIspProtocol::~CIspProtocol() { DestroyPort(); }

int CIspProtocol::CreatePort() {
    if (m_pPort == nullptr) m_pPort = new CSerialPort;
    m_pPort->SetCallback(OnSerialEvent);
    return 1;
}

void CIspProtocol::DestroyPort() {
    if (m_pPort == nullptr) return;
    m_pPort->Close();
    delete m_pPort;
    m_pPort = nullptr;
}

int CIspProtocol::Open(const std::string& name, int baudRate) {
    if (m_pPort == nullptr) return 0;
    return m_pPort->Open(name, static_cast<uint32_t>(baudRate), kEvenParity, kDataBits,
                         kMonitorModem) == OpenOk
               ? 1
               : 0;
}

void CIspProtocol::Close() {
    if (m_pPort != nullptr) m_pPort->Close();
}

bool CIspProtocol::IsOpen() const { return m_pPort != nullptr && m_pPort->IsOpen(); }

int CIspProtocol::LastOpenFailure() const {
    return m_pPort != nullptr ? m_pPort->LastOpenFailure() : OpenFailureOther;
}

int CIspProtocol::ResetAndSync() {
    const Link link = MakeLink(m_pPort, m_trace);
    if (link.Gone()) return 0;
    const ResetWiring& w = m_wiring;
    const bool pulse = w.reset != ResetWiring::None;
    WaitMs(50);
    if (pulse) {
        DriveLine(m_pPort, m_lineObserver, w.reset, !w.invertReset);
        DriveLine(m_pPort, m_lineObserver, w.boot, w.invertBoot);
    }
    WaitMs(100);
    if (pulse) DriveLine(m_pPort, m_lineObserver, w.reset, w.invertReset);
    g_rxRing.Arm();
    WaitMs(50);
    // Not cleared again: a byte that came during the pause is the one judged.
    const unsigned char sync = kSync;
    RunStage(link, &sync, 1, kSyncWindow, 1, [](int count) { return count >= 1; });
    g_rxRing.Disarm();
    return link.FirstIs(kAck) && !link.Gone() ? 1 : 0;
}

bool CIspProtocol::SetResetWiring(const ResetWiring& wiring) {
    if (wiring.reset != ResetWiring::None && wiring.reset == wiring.boot) return false;
    m_wiring = wiring;
    return true;
}

bool CIspProtocol::DeviceGone() const { return m_pPort != nullptr && m_pPort->IsGone(); }

int CIspProtocol::GetCommands() {
    const Link link = MakeLink(m_pPort, m_trace);
    const unsigned char get[2] = {0x00, 0xFF};
    // ACK, N, version, N codes, ACK: the count byte says how long the reply is.
    const auto replyLength = [&](int count) {
        return count >= 2 ? g_rxRing.ByteAt(1) + 4 : kGetReplyLength;
    };
    const bool there = Exchange(link, [&] {
        RunStage(link, get, 2, kGetWindow, kGetReplyLength, [&](int count) {
            if (link.LoneNack(count)) return true;
            return count >= (m_acceptLongerGet ? replyLength(count) : kGetReplyLength);
        });
        return true;
    });
    const int count = g_rxRing.Count();
    if (!there || count < 2 || g_rxRing.ByteAt(0) != kAck) return 0;
    const int codes = g_rxRing.ByteAt(1);
    const bool lengthOk = m_acceptLongerGet ? codes >= kGetCodeCount && codes <= kMaxCommandCount
                                            : codes == kGetCodeCount;
    if (!lengthOk || count != codes + 4 || g_rxRing.ByteAt(count - 1) != kAck) return 0;
    g_rxRing.Reframe(2, count - 2);
    g_rxRing.Take(&m_nVersion);
    for (int i = 0; i < codes; ++i) g_rxRing.Take(&m_listed[i]);
    m_listedCount = codes;
    std::memcpy(m_commands, m_listed, kCommandCount);
    for (int i = kCommandCount; i < codes; ++i) {
        if (m_listed[i] == 0x43 || m_listed[i] == 0x44) m_commands[SlotErase] = m_listed[i];
    }
    return 1;
}

int CIspProtocol::GetVersionAndProtection(unsigned char out[3]) {
    return ShortReplyCommand(MakeLink(m_pPort, m_trace), m_commands[SlotGetVersion],
                             ShortReply{false, false}, out);
}

int CIspProtocol::GetChipId(unsigned char out[2]) {
    return ShortReplyCommand(MakeLink(m_pPort, m_trace), m_commands[SlotGetId],
                             ShortReply{true, true}, out);
}

int CIspProtocol::ReadMemory(uint32_t address, uint16_t length, unsigned char* out) {
    if (length == 0 || length > 256) return 0;
    const Link link = MakeLink(m_pPort, m_trace);
    unsigned char command[2];
    unsigned char addressBytes[5];
    const unsigned char countBytes[2] = {static_cast<unsigned char>(length - 1),
                                         static_cast<unsigned char>(0xFF - (length - 1))};
    CommandBytes(m_commands[SlotReadMemory], command);
    AddressBytes(address, addressBytes);

    const bool ok =
        Exchange(link, Ack(link, command, 2, kWindow), Ack(link, addressBytes, 5, kWindow), [&] {
            ReadDataStage(link, countBytes, 2, length);
            return true;
        });
    if (!ok || g_rxRing.Count() < length + 1 || g_rxRing.ByteAt(0) != kAck) return 0;
    g_rxRing.Take(nullptr);  // the ACK
    for (int i = 0; i < length; ++i) g_rxRing.Take(&out[i]);
    return 1;
}

int CIspProtocol::WriteMemory(uint32_t address, uint16_t length, const unsigned char* data) {
    if (length == 0 || length > 256 || data == nullptr) return 0;
    const Link link = MakeLink(m_pPort, m_trace);
    unsigned char command[2];
    unsigned char addressBytes[5];
    CommandBytes(m_commands[SlotWriteMemory], command);
    AddressBytes(address, addressBytes);

    // Count byte, data padded with 0xFF to a whole number of words, checksum.
    const int padded = (length + 3) & ~3;
    std::vector<unsigned char> block(padded + 1, 0xFF);
    block[0] = static_cast<unsigned char>(padded - 1);
    std::memcpy(block.data() + 1, data, length);
    block.push_back(XorOf(block));
    const int blockSize = static_cast<int>(block.size());

    const bool ok = Exchange(
        link, Ack(link, command, 2, kShortWindow), Ack(link, addressBytes, 5, kShortWindow),
        EraseAck(link, block.data(), blockSize, kMsPerByte * blockSize, m_eraseWaitMs));
    return ok ? 1 : 0;
}

int CIspProtocol::Go(uint32_t address) {
    const Link link = MakeLink(m_pPort, m_trace);
    unsigned char command[2];
    unsigned char addressBytes[5];
    CommandBytes(m_commands[SlotGo], command);
    AddressBytes(address, addressBytes);

    bool latestAck = false;
    const bool commandAcked = Exchange(link, Ack(link, command, 2, kShortWindow), [&] {
        latestAck = GoAddressStage(link, addressBytes, 5);
        return true;
    });
    if (!commandAcked) return 0;
    if (latestAck) return 1;
    const int count = g_rxRing.Count();
    const bool ackThenNack = count == 2 && g_rxRing.ByteAt(1) == kNack;
    return (count >= 1 && g_rxRing.ByteAt(0) == kAck && !ackThenNack) ? 1 : 0;
}

int CIspProtocol::Erase(uint16_t firstPage, uint16_t pageCount) {
    switch (m_commands[SlotErase]) {
        case 0x43:
            return EraseBasic(firstPage, pageCount);
        case 0x44:
            return EraseExtended(firstPage, pageCount);
        default:
            return 0;
    }
}

int CIspProtocol::EraseBasic(uint16_t firstPage, uint16_t pageCount) {
    if (pageCount == 0 || m_commands[SlotErase] != 0x43) return 0;
    std::vector<unsigned char> block;
    if (pageCount == 0xFFFF || pageCount == 0xFF) {
        block = {0xFF, 0x00};  // the whole flash
    } else {
        // One-byte page numbers: a page above 255 cannot be named, and cutting its number
        // to the low byte would erase another page.
        if (pageCount > 0xFF || firstPage + pageCount - 1u > 0xFF) return 0;
        block.push_back(static_cast<unsigned char>(pageCount - 1));
        for (unsigned i = 0; i < pageCount; ++i) {
            block.push_back(static_cast<unsigned char>(firstPage + i));
        }
        block.push_back(XorOf(block));
    }

    const Link link = MakeLink(m_pPort, m_trace);
    const unsigned char command[2] = {0x43, 0xBC};
    const bool ok = Exchange(
        link, Ack(link, command, 2, kShortWindow),
        EraseAck(link, block.data(), static_cast<int>(block.size()), kWindow, m_eraseWaitMs));
    return ok ? 1 : 0;
}

int CIspProtocol::EraseExtended(uint16_t firstPage, uint16_t pageCount) {
    if (pageCount == 0 || m_commands[SlotErase] != 0x44) return 0;
    if (pageCount >= 0xFFF0 && pageCount <= 0xFFFC) return 0;  // reserved counts

    std::vector<unsigned char> block;
    if (pageCount >= 0xFFFD) {
        // Mass erase (FFFF) and the two bank erases: the code and its low byte's complement.
        const unsigned char low = static_cast<unsigned char>(pageCount);
        block = {0xFF, low, static_cast<unsigned char>(0xFF - low)};
    } else {
        const unsigned n = pageCount - 1u;
        block.push_back(static_cast<unsigned char>(n >> 8));
        block.push_back(static_cast<unsigned char>(n));
        for (unsigned i = 0; i < pageCount; ++i) {
            const uint16_t page = static_cast<uint16_t>(firstPage + i);
            block.push_back(static_cast<unsigned char>(page >> 8));
            block.push_back(static_cast<unsigned char>(page));
        }
        block.push_back(XorOf(block));
    }
    const int blockSize = static_cast<int>(block.size());

    const Link link = MakeLink(m_pPort, m_trace);
    const unsigned char command[2] = {0x44, 0xBB};
    // A list too long for one send never leaves; its stage then fails by timeout.
    const bool ok =
        Exchange(link, Ack(link, command, 2, kWindow),
                 EraseAck(link, block.data(), blockSize, kMsPerByte * blockSize, m_eraseWaitMs));
    return ok ? 1 : 0;
}

namespace {

constexpr unsigned char kReadoutUnprotectCode = 0x92;
constexpr unsigned char kWriteUnprotectCode = 0x73;
constexpr unsigned char kReadoutProtectCode = 0x82;
// The option-byte commands rewrite the option bytes before their second ACK.
constexpr unsigned long kOptionWriteWindow = 1000;

// Sends the command, waits for its ACK as any command stage does, then for the second ACK
// without sending anything: both arrive in one stage, since clearing the ring between two
// could drop a second ACK that came at once.
bool TwoAckCommand(const Link& link, unsigned char code, unsigned long secondWindowMs) {
    unsigned char command[2];
    CommandBytes(code, command);
    return Exchange(link, [&] {
        if (!AckStage(link, command, 2, kWindow)) return false;
        if (link.ring.Count() < 2) link.ring.WaitForCount(2, secondWindowMs);
        return link.ring.Count() >= 2 && link.ring.ByteAt(1) == kAck;
    });
}

}  // namespace

int CIspProtocol::ReadoutUnprotect() {
    return TwoAckCommand(MakeLink(m_pPort, m_trace), kReadoutUnprotectCode, kWindow + m_eraseWaitMs)
               ? 1
               : 0;
}

int CIspProtocol::WriteUnprotect() {
    return TwoAckCommand(MakeLink(m_pPort, m_trace), kWriteUnprotectCode, kOptionWriteWindow) ? 1
                                                                                              : 0;
}

int CIspProtocol::ReadoutProtect() {
    return TwoAckCommand(MakeLink(m_pPort, m_trace), kReadoutProtectCode, kOptionWriteWindow) ? 1
                                                                                              : 0;
}

int CIspProtocol::Resync() {
    const Link link = MakeLink(m_pPort, m_trace);
    const unsigned char sync = kSync;
    Exchange(link, [&] {
        RunStage(link, &sync, 1, kSyncWindow, 1, [](int count) { return count >= 1; });
        return true;
    });
    return link.FirstIs(kAck) || link.FirstIs(kNack) ? 1 : 0;
}
