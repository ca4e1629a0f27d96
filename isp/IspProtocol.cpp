#include "IspProtocol.h"

#include <cstring>
#include <vector>

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

// The link one command talks through, and how its stages went. Sends go out only while the
// port is open; when it is not, the stage waits all the same and fails by timeout, unless
// the device has gone away.
struct Session {
    ILink& link;
    const CIspProtocol::Trace* trace;  // null when tracing is off
    IspOutcome outcome = IspOutcome::Done;

    IClock& Clock() const { return link.Clock(); }
    void Send(const unsigned char* bytes, int length) const {
        if (!link.IsOpen()) return;
        link.Send(bytes, length);
        // The link drops a block this long, so it is not traced as sent.
        if (trace != nullptr && length <= ILink::kMaxSend) (*trace)(true, bytes, length);
    }
    // Nothing more can arrive, or nothing more is wanted: stages end at once instead of
    // waiting out their windows.
    bool Over() const { return link.Gone() || link.Interrupted(); }
    // At a stage's end: the reply bytes it saw.
    void TraceReply() const {
        if (trace == nullptr) return;
        const int count = link.Count();  // never above kRingSize
        if (count == 0) return;
        unsigned char seen[ILink::kRingSize];
        for (int k = 0; k < count; ++k) seen[k] = link.ByteAt(k);
        (*trace)(false, seen, count);
    }
    bool FirstIs(unsigned char value) const { return link.Count() >= 1 && link.ByteAt(0) == value; }
    bool LoneNack(int count) const { return count == 1 && link.ByteAt(0) == kNack; }
    // Why what the ring holds is not the reply; once set, later judgements keep it.
    bool Fail() {
        if (outcome != IspOutcome::Done) return false;
        if (link.Gone()) {
            outcome = IspOutcome::Gone;
        } else if (link.Interrupted()) {
            outcome = IspOutcome::Stopped;
        } else if (link.Count() == 0) {
            outcome = IspOutcome::NoAnswer;
        } else if (FirstIs(kNack)) {
            outcome = IspOutcome::Refused;
        } else {
            outcome = IspOutcome::Malformed;
        }
        return false;
    }
    // A judgement: true when ok, else the failure classified.
    bool Judge(bool ok) { return ok ? true : Fail(); }
};

// How many bytes to sleep for: the first byte (a NACK or the start of the reply), then
// the whole reply of wanted bytes, then any further byte.
int WakeAt(int count, int wanted) {
    if (count == 0) return 1;
    return count < wanted ? wanted : count + 1;
}

uint64_t Us(unsigned long ms) { return uint64_t{ms} * 1000; }

// Sends the stage's bytes and sleeps on the ring until stop(count) holds, waking for the
// first byte and for the wanted length of the reply. A window that elapses with nothing
// received sends the bytes again, up to four times; once anything has arrived the stage
// ends with its current window at the latest.
template <class StopFn>
void RunStage(const Session& s, const unsigned char* bytes, int length, unsigned long windowMs,
              int wanted, StopFn stop, int maxResends = kMaxResends) {
    IClock& clock = s.Clock();
    s.Send(bytes, length);
    uint64_t deadline = clock.NowUs() + Us(windowMs);
    int resends = 0;
    int count = s.link.Count();
    for (;;) {
        if (stop(count) || s.Over()) break;
        if (clock.NowUs() < deadline) {
            count = s.link.WaitForCount(WakeAt(count, wanted), deadline);
            continue;
        }
        // Anything received is judged as it is; silence is resent.
        count = s.link.Count();
        if (count != 0 || resends >= maxResends) break;
        s.Send(bytes, length);
        ++resends;
        deadline = clock.NowUs() + Us(windowMs);
    }
    s.TraceReply();
}

// The common stage: ends on the first byte, which must be ACK.
bool AckStage(Session& s, const unsigned char* bytes, int length, unsigned long windowMs,
              unsigned long extraWaitMs = 0) {
    // A known extra wait (an erase's worst case) is awaited once, never resent.
    RunStage(
        s, bytes, length, windowMs + extraWaitMs, 1, [](int count) { return count >= 1; },
        extraWaitMs == 0 ? kMaxResends : 0);
    return s.Judge(s.FirstIs(kAck));
}

// One ACK stage, to be run by Exchange.
auto Ack(Session& s, const unsigned char* bytes, int length, unsigned long windowMs,
         unsigned long extraWaitMs = 0) {
    return [&s, bytes, length, windowMs, extraWaitMs] {
        return AckStage(s, bytes, length, windowMs, extraWaitMs);
    };
}

// Runs a command's stages in order: arms the ring before the first, clears it between two,
// stops at the first stage that returns false, and disarms on every path. True when every
// stage returned true, the device is still there (one that went away mid-command may have
// taken any part of it along) and no byte came with a line error.
template <class... Stages>
bool Exchange(Session& s, Stages&&... stages) {
    ILink& link = s.link;
    link.Arm();
    bool first = true;
    const auto run = [&](auto& stage) {
        if (!first) link.Clear();
        first = false;
        return static_cast<bool>(stage()) && (!s.Over() || s.Fail());
    };
    bool ok = (run(stages) && ...);
    link.Disarm();
    if (ok && link.LineErrors() != 0) {
        s.outcome = IspOutcome::Malformed;
        ok = false;
    }
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
void ReadDataStage(const Session& s, const unsigned char* bytes, int length, int dataLength) {
    IClock& clock = s.Clock();
    const uint64_t dataWindow = Us(kMsPerByte * dataLength + kMsPerByte);
    s.Send(bytes, length);
    uint64_t deadline = clock.NowUs() + Us(kWindow);
    bool firstSeen = false;
    int resends = 0;
    int count = s.link.Count();
    for (;;) {
        if (count >= dataLength + 1 || s.LoneNack(count) || s.Over()) break;
        const uint64_t now = clock.NowUs();
        // Until the first byte the stage's own window runs; from it, the data window.
        if (count >= 1 && !firstSeen) {
            firstSeen = true;
            deadline = now + dataWindow;
        }
        if (now < deadline) {
            count = s.link.WaitForCount(WakeAt(count, dataLength + 1), deadline);
            continue;
        }
        if (firstSeen) break;
        count = s.link.Count();
        if (count != 0) continue;  // arrived just now: the data window applies
        if (resends >= kMaxResends) break;
        s.Send(bytes, length);
        ++resends;
        deadline = clock.NowUs() + Us(kWindow);
    }
    s.TraceReply();
}

// Stage 2 of Go. Returns true when the wait ended on a latest byte that is ACK.
bool GoAddressStage(const Session& s, const unsigned char* bytes, int length) {
    bool latestAck = false;
    RunStage(s, bytes, length, kWindow, 2, [&](int count) {
        if (count < 1) return false;
        if (s.link.ByteAt(0) == kNack) return true;
        if (count >= 2 && s.link.ByteAt(count - 1) == kAck) {
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
bool ShortReplyCommand(Session& s, unsigned char code, ShortReply shape, unsigned char* out) {
    unsigned char command[2];
    CommandBytes(code, command);
    ILink& link = s.link;
    const bool there = Exchange(s, [&] {
        RunStage(s, command, 2, kWindow, 5, [&](int count) {
            if (s.LoneNack(count)) return true;
            return count >= 5 && (!shape.waitForLeadingAck || link.ByteAt(0) == kAck);
        });
        return true;
    });
    if (!there) return false;
    // With a count byte it must say one more byte follows: anything else is not the reply
    // (a late duplicate of an earlier reply, say).
    if (!s.Judge(link.Count() == 5 && link.ByteAt(0) == kAck && link.ByteAt(4) == kAck &&
                 (!shape.countByte || link.ByteAt(1) == kIdCount))) {
        return false;
    }
    const int skip = shape.countByte ? 2 : 1;  // the ACK, and the count byte if any
    link.Reframe(skip, 5 - skip);
    for (int i = 0; i < 4 - skip; ++i) link.Take(&out[i]);
    return true;
}

constexpr unsigned char kReadoutUnprotectCode = 0x92;
constexpr unsigned char kWriteUnprotectCode = 0x73;
constexpr unsigned char kReadoutProtectCode = 0x82;
// The option-byte commands rewrite the option bytes before their second ACK.
constexpr unsigned long kOptionWriteWindow = 1000;

// Sends the command, waits for its ACK as any command stage does, then for the second ACK
// without sending anything: both arrive in one stage, since clearing the ring between two
// could drop a second ACK that came at once.
bool TwoAckCommand(Session& s, unsigned char code, unsigned long secondWindowMs) {
    unsigned char command[2];
    CommandBytes(code, command);
    ILink& link = s.link;
    return Exchange(s, [&] {
        if (!AckStage(s, command, 2, kWindow)) return false;
        if (link.Count() < 2) {
            link.WaitForCount(2, link.Clock().NowUs() + Us(secondWindowMs));
        }
        // The second reply alone decides: classified by what came after the first ACK.
        if (link.Count() >= 2 && link.ByteAt(1) == kAck) return true;
        if (link.Count() >= 2 && !s.Over()) {
            s.outcome = link.ByteAt(1) == kNack ? IspOutcome::Refused : IspOutcome::Malformed;
            return false;
        }
        if (!s.Over()) s.outcome = IspOutcome::NoAnswer;
        return s.Fail();
    });
}

}  // namespace

const char* IspOutcomeName(IspOutcome outcome) {
    static const char* const names[] = {"done",      "refused", "no answer",
                                        "malformed", "gone",    "stopped"};
    return names[static_cast<int>(outcome)];
}

CIspProtocol::CIspProtocol(ILink& link) : m_link(link) {}

int CIspProtocol::Open(const std::string& name, int baudRate) {
    return m_link.Open(name, baudRate);
}

void CIspProtocol::Close() { m_link.Close(); }

bool CIspProtocol::IsOpen() const { return m_link.IsOpen(); }

int CIspProtocol::LastOpenFailure() const { return m_link.LastOpenFailure(); }

bool CIspProtocol::DeviceGone() const { return m_link.Gone(); }

void CIspProtocol::Stop() { m_link.Interrupt(); }

IClock& CIspProtocol::Clock() { return m_link.Clock(); }

void CIspProtocol::Pause(unsigned long ms) { PauseUs(Us(ms)); }

void CIspProtocol::PauseUs(uint64_t us) {
    if (us == 0) return;
    // No count reaches past the ring's size: the wait ends at the deadline, or at a stop.
    m_link.WaitForCount(ILink::kRingSize + 1, m_link.Clock().NowUs() + us);
}

int CIspProtocol::Result(bool ok) { return ok ? 1 : 0; }

void CIspProtocol::DriveLine(ResetWiring::Line line, bool level) {
    if (line == ResetWiring::None) return;
    const bool dtr = line == ResetWiring::Dtr;
    if (m_lineObserver) m_lineObserver(dtr ? "DTR" : "RTS", level);
    m_link.SetLine(dtr ? LinkLine::Dtr : LinkLine::Rts, level);
}

int CIspProtocol::ResetAndSync() {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    if (s.Over()) {
        s.Fail();
        m_outcome = s.outcome;
        return 0;
    }
    const ResetWiring& w = m_wiring;
    const bool pulse = w.reset != ResetWiring::None;
    PauseUs(m_timing.beforeUs);
    if (pulse) {
        DriveLine(w.reset, !w.invertReset);
        DriveLine(w.boot, w.invertBoot);
    }
    PauseUs(m_timing.pulseUs);
    if (pulse) DriveLine(w.reset, w.invertReset);
    m_link.Arm();
    PauseUs(m_timing.afterUs);
    // Not cleared again: a byte that came during the pause is the one judged.
    const unsigned char sync = kSync;
    RunStage(s, &sync, 1, kSyncWindow, 1, [](int count) { return count >= 1; });
    m_link.Disarm();
    bool ok = s.Judge(s.FirstIs(kAck)) && (!s.Over() || s.Fail());
    if (ok && m_link.LineErrors() != 0) {
        s.outcome = IspOutcome::Malformed;
        ok = false;
    }
    m_outcome = s.outcome;
    return Result(ok);
}

bool CIspProtocol::SetResetWiring(const ResetWiring& wiring) {
    if (!wiring.Usable()) return false;
    m_wiring = wiring;
    return true;
}

int CIspProtocol::GetCommands() {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    ILink& link = m_link;
    const unsigned char get[2] = {0x00, 0xFF};
    // ACK, N, version, N codes, ACK: the count byte says how long the reply is.
    const auto replyLength = [&](int count) {
        return count >= 2 ? link.ByteAt(1) + 4 : kGetReplyLength;
    };
    const bool there = Exchange(s, [&] {
        RunStage(s, get, 2, kGetWindow, kGetReplyLength, [&](int count) {
            if (s.LoneNack(count)) return true;
            return count >= (m_acceptLongerGet ? replyLength(count) : kGetReplyLength);
        });
        return true;
    });
    const int count = link.Count();
    const int codes = count >= 2 ? link.ByteAt(1) : 0;
    const bool lengthOk = m_acceptLongerGet ? codes >= kGetCodeCount && codes <= kMaxCommandCount
                                            : codes == kGetCodeCount;
    const bool ok = there && s.Judge(count >= 2 && link.ByteAt(0) == kAck && lengthOk &&
                                     count == codes + 4 && link.ByteAt(count - 1) == kAck);
    m_outcome = s.outcome;
    if (!ok) return 0;
    link.Reframe(2, count - 2);
    link.Take(&m_nVersion);
    for (int i = 0; i < codes; ++i) link.Take(&m_listed[i]);
    m_listedCount = codes;
    std::memcpy(m_commands, m_listed, kCommandCount);
    for (int i = kCommandCount; i < codes; ++i) {
        if (m_listed[i] == 0x43 || m_listed[i] == 0x44) m_commands[SlotErase] = m_listed[i];
    }
    return 1;
}

int CIspProtocol::GetVersionAndProtection(unsigned char out[3]) {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    const bool ok = ShortReplyCommand(s, m_commands[SlotGetVersion], ShortReply{false, false}, out);
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::GetChipId(unsigned char out[2]) {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    const bool ok = ShortReplyCommand(s, m_commands[SlotGetId], ShortReply{true, true}, out);
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::ReadMemory(uint32_t address, uint16_t length, unsigned char* out) {
    m_outcome = IspOutcome::Malformed;  // an argument no command can carry
    if (length == 0 || length > 256) return 0;
    Session s{m_link, m_trace ? &m_trace : nullptr};
    ILink& link = m_link;
    unsigned char command[2];
    unsigned char addressBytes[5];
    const unsigned char countBytes[2] = {static_cast<unsigned char>(length - 1),
                                         static_cast<unsigned char>(0xFF - (length - 1))};
    CommandBytes(m_commands[SlotReadMemory], command);
    AddressBytes(address, addressBytes);

    const bool ok = Exchange(s, Ack(s, command, 2, kWindow), Ack(s, addressBytes, 5, kWindow), [&] {
        ReadDataStage(s, countBytes, 2, length);
        return s.Judge(link.Count() >= length + 1 && s.FirstIs(kAck));
    });
    m_outcome = s.outcome;
    if (!ok) return 0;
    link.Take(nullptr);  // the ACK
    for (int i = 0; i < length; ++i) link.Take(&out[i]);
    return 1;
}

int CIspProtocol::WriteMemory(uint32_t address, uint16_t length, const unsigned char* data) {
    m_outcome = IspOutcome::Malformed;
    if (length == 0 || length > 256 || data == nullptr) return 0;
    Session s{m_link, m_trace ? &m_trace : nullptr};
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

    const bool ok =
        Exchange(s, Ack(s, command, 2, kShortWindow), Ack(s, addressBytes, 5, kShortWindow),
                 Ack(s, block.data(), blockSize, kMsPerByte * blockSize));
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::Go(uint32_t address) {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    ILink& link = m_link;
    unsigned char command[2];
    unsigned char addressBytes[5];
    CommandBytes(m_commands[SlotGo], command);
    AddressBytes(address, addressBytes);

    bool latestAck = false;
    const bool commandAcked = Exchange(s, Ack(s, command, 2, kShortWindow), [&] {
        latestAck = GoAddressStage(s, addressBytes, 5);
        return true;
    });
    bool ok = commandAcked;
    if (ok && !latestAck) {
        const int count = link.Count();
        const bool ackThenNack = count == 2 && link.ByteAt(1) == kNack;
        ok = s.Judge(count >= 1 && link.ByteAt(0) == kAck && !ackThenNack);
        // ACK then NACK: the address was refused.
        if (!ok && ackThenNack) s.outcome = IspOutcome::Refused;
    }
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::Erase(uint16_t firstPage, uint16_t pageCount, uint32_t eraseWaitMs) {
    switch (m_commands[SlotErase]) {
        case 0x43:
            return EraseBasic(firstPage, pageCount, eraseWaitMs);
        case 0x44:
            return EraseExtended(firstPage, pageCount, eraseWaitMs);
        default:
            m_outcome = IspOutcome::Malformed;
            return 0;
    }
}

int CIspProtocol::EraseBasic(uint16_t firstPage, uint16_t pageCount, uint32_t eraseWaitMs) {
    m_outcome = IspOutcome::Malformed;
    if (pageCount == 0 || m_commands[SlotErase] != 0x43) return 0;
    std::vector<unsigned char> block;
    if (pageCount == 0xFFFF) {
        block = {0xFF, 0x00};  // the whole flash
    } else {
        // One-byte page numbers: a page above 255 cannot be named, and cutting its number
        // to the low byte would erase another page. 255 pages is a list (N = 0xFE); only
        // N = 0xFF means the whole flash.
        if (pageCount > 0xFF || firstPage + pageCount - 1u > 0xFF) return 0;
        block.push_back(static_cast<unsigned char>(pageCount - 1));
        for (unsigned i = 0; i < pageCount; ++i) {
            block.push_back(static_cast<unsigned char>(firstPage + i));
        }
        block.push_back(XorOf(block));
    }

    Session s{m_link, m_trace ? &m_trace : nullptr};
    const unsigned char command[2] = {0x43, 0xBC};
    const bool ok =
        Exchange(s, Ack(s, command, 2, kShortWindow),
                 Ack(s, block.data(), static_cast<int>(block.size()), kWindow, eraseWaitMs));
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::EraseExtended(uint16_t firstPage, uint16_t pageCount, uint32_t eraseWaitMs) {
    m_outcome = IspOutcome::Malformed;
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

    Session s{m_link, m_trace ? &m_trace : nullptr};
    const unsigned char command[2] = {0x44, 0xBB};
    // A list too long for one send never leaves; its stage then fails by timeout.
    const bool ok = Exchange(s, Ack(s, command, 2, kWindow),
                             Ack(s, block.data(), blockSize, kMsPerByte * blockSize, eraseWaitMs));
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::ReadoutUnprotect(uint32_t massEraseWaitMs) {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    const bool ok = TwoAckCommand(s, kReadoutUnprotectCode, kWindow + massEraseWaitMs);
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::WriteUnprotect() {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    const bool ok = TwoAckCommand(s, kWriteUnprotectCode, kOptionWriteWindow);
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::ReadoutProtect() {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    const bool ok = TwoAckCommand(s, kReadoutProtectCode, kOptionWriteWindow);
    m_outcome = s.outcome;
    return Result(ok);
}

int CIspProtocol::Resync() {
    Session s{m_link, m_trace ? &m_trace : nullptr};
    const unsigned char sync = kSync;
    Exchange(s, [&] {
        RunStage(s, &sync, 1, kSyncWindow, 1, [](int count) { return count >= 1; });
        return true;
    });
    const bool ok = s.Judge(s.FirstIs(kAck) || s.FirstIs(kNack));
    m_outcome = s.outcome;
    return Result(ok);
}
