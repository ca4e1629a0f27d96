// Host side of the STM32 USART bootloader protocol, on a link.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "Link.h"
#include "OpenFailure.h"  // the reasons LastOpenFailure gives

// How the adapter's modem lines reach the target. The default is the usual board: DTR
// drives NRST (asserted = line on), RTS selects boot mode (bootloader = line off).
struct ResetWiring {
    enum Line { Dtr, Rts, None };
    Line reset = Dtr;          // None: the user resets the target by hand
    Line boot = Rts;           // None: boot mode is set on the board (jumper)
    bool invertReset = false;  // asserted = line off, released = line on
    bool invertBoot = false;   // bootloader = line on

    // One line cannot both reset the target and select its boot mode.
    bool Usable() const { return reset == None || reset != boot; }
};

// How long ResetAndSync waits: before the pulse, the pulse itself, and after it for the
// bootloader to start listening. The defaults suit the usual board and every chip.
struct ResetTiming {
    uint32_t beforeUs = 50000;
    uint32_t pulseUs = 100000;
    uint32_t afterUs = 50000;
};

// How the last operation ended, beside its result.
enum class IspOutcome {
    Done,       // every stage answered as it must
    Refused,    // the bootloader answered NACK
    NoAnswer,   // nothing came within the window (and its resends)
    Malformed,  // something came, but not the reply (wrong byte or length, a line error)
    Gone,       // the device went away
    Stopped,    // the link was interrupted (a stop was asked for)
};

// "done", "refused", "no answer", "malformed", "gone", "stopped".
const char* IspOutcomeName(IspOutcome outcome);

// Every operation runs on the caller's thread and blocks it (sleeping on the link between
// arrivals, on the link's clock), returns non-zero for success and 0 for failure, and logs
// nothing; LastOutcome then says how it ended.
class CIspProtocol {
public:
    static constexpr unsigned char kAck = 0x79;
    static constexpr unsigned char kNack = 0x1F;
    static constexpr unsigned char kSync = 0x7F;
    static constexpr int kCommandCount = 11;
    static constexpr int kMaxCommandCount = 20;

    // Slots of the command table, in the order the bootloader lists them.
    enum Slot {
        SlotGet = 0,
        SlotGetVersion = 1,
        SlotGetId = 2,
        SlotReadMemory = 3,
        SlotGo = 4,
        SlotWriteMemory = 5,
        SlotErase = 6,
    };

    explicit CIspProtocol(ILink& link);
    CIspProtocol(const CIspProtocol&) = delete;
    CIspProtocol& operator=(const CIspProtocol&) = delete;

    // The link's port: opens it at baudRate (8E1); 1 on success, else 0 and LastOpenFailure
    // says why.
    int Open(const std::string& name, int baudRate);
    void Close();
    bool IsOpen() const;
    int LastOpenFailure() const;
    // True once the port's device has gone away (unplugged), until the next Open. While it
    // is, every operation fails at once: no windows, no resends.
    bool DeviceGone() const;
    // From any thread: the operation under way ends at its next wait, and every later one at
    // once (outcome Stopped), until the next Open.
    void Stop();
    // The clock the link measures on; the callers time their own waits on it too.
    IClock& Clock();
    // Sleeps ms (or us) on that clock; a Stop ends it at once.
    void Pause(unsigned long ms);
    void PauseUs(uint64_t us);

    // The reset pulse, then sync with 0x7F. 1 when the first reply byte is ACK. The pulse (with
    // the default timing): wait 50 ms; reset line asserted, boot line to its bootloader level;
    // wait 100 ms; reset line released; wait 50 ms. Without a reset line, no line is touched
    // and only the waits remain. A device gone away fails at once, with no pulse.
    int ResetAndSync();
    void SetResetTiming(const ResetTiming& timing) { m_timing = timing; }
    const ResetTiming& GetResetTiming() const { return m_timing; }
    // The lines ResetAndSync drives. false (and the wiring kept) when reset and boot name
    // the same line.
    bool SetResetWiring(const ResetWiring& wiring);
    const ResetWiring& GetResetWiring() const { return m_wiring; }
    // Told, on the caller's thread, of every DTR/RTS change the client asks of the link, in
    // order: line is "DTR" or "RTS", level true for on. Empty (the default): nobody is told.
    using LineObserver = std::function<void(const char* line, bool level)>;
    void SetLineObserver(LineObserver observer) { m_lineObserver = std::move(observer); }
    // Told, on the caller's thread, of every send handed to the link (fromHost true) and, at
    // the end of each stage, of the reply bytes that stage saw (fromHost false; not called
    // when it saw none). Empty (the default): nothing is copied.
    using Trace = std::function<void(bool fromHost, const unsigned char* bytes, int count)>;
    void SetTrace(Trace trace) { m_trace = std::move(trace); }

    // Get: fills the version and the command table on success; a failure leaves them.
    // Only a list of exactly 11 codes is accepted unless SetAcceptLongerGet allowed more.
    int GetCommands();
    // Accepts lists of 11 to kMaxCommandCount codes (newer bootloaders add Get Checksum
    // and more): the table then holds the first 11, with the erase slot set to the erase
    // code found anywhere in the list.
    void SetAcceptLongerGet(bool accept) { m_acceptLongerGet = accept; }
    // From the last accepted Get: the version byte (0x22 is V2.2), a slot's code, and every
    // code as listed.
    unsigned char Version() const { return m_nVersion; }
    unsigned char Command(Slot slot) const { return m_commands[slot]; }
    const unsigned char* Listed() const { return m_listed; }
    int ListedCount() const { return m_listedCount; }

    // out: version, option byte 1, option byte 2.
    int GetVersionAndProtection(unsigned char out[3]);
    // out: the two product-ID bytes, most significant first. The reply's count byte must be 1.
    int GetChipId(unsigned char out[2]);
    // length 1..256; anything else fails at once without sending.
    int ReadMemory(uint32_t address, uint16_t length, unsigned char* out);
    // length 1..256, padded with 0xFF to a multiple of four on the wire.
    int WriteMemory(uint32_t address, uint16_t length, const unsigned char* data);
    // 1 when the bootloader accepted the jump (see the judgement in the source).
    int Go(uint32_t address);
    // pageCount 0xFFFF erases the whole flash; the form is chosen by slot 6 (0x43/0x44).
    // The basic form names pages in one byte: any page above 255 is refused, nothing sent.
    // eraseWaitMs: the erase's worst case, when known. The bootloader answers the page block
    // only once the erase is done, so its stage then waits that long on top of its window,
    // and is never resent (the block would arrive as a new command). 0: the usual window
    // and resends.
    int Erase(uint16_t firstPage, uint16_t pageCount, uint32_t eraseWaitMs = 0);
    int EraseBasic(uint16_t firstPage, uint16_t pageCount, uint32_t eraseWaitMs = 0);
    int EraseExtended(uint16_t firstPage, uint16_t pageCount, uint32_t eraseWaitMs = 0);

    // The protection commands. Each is answered by an ACK for the command and a second ACK
    // once the chip has done it, then the chip resets: the line is silent until a new sync.
    // 1 when both ACKs came. The command is resent while the line is silent, as others are;
    // the wait for the second ACK is never resent.
    // 0x92: lifts read-out protection by erasing all flash. The second ACK comes after the
    // mass erase, so it is awaited massEraseWaitMs on top of the usual window.
    int ReadoutUnprotect(uint32_t massEraseWaitMs);
    // 0x73: lifts write protection from every unit.
    int WriteUnprotect();
    // 0x82: sets read-out protection.
    int ReadoutProtect();
    // Brings the bootloader back in step after a failed command, without a reset: 0x7F,
    // resent while the line is silent. A bootloader waiting for a command takes the first
    // as a code and NACKs the second as a bad complement; one waiting for sync ACKs it.
    // 1 on ACK or NACK.
    int Resync();

    // How the last operation above ended (Done after a success).
    IspOutcome LastOutcome() const { return m_outcome; }

private:
    // Records how an operation ended and returns its result.
    int Result(bool ok);
    void DriveLine(ResetWiring::Line line, bool level);

    ILink& m_link;
    unsigned char m_nVersion = 0;
    unsigned char m_commands[kCommandCount] = {};
    unsigned char m_listed[kMaxCommandCount] = {};
    int m_listedCount = 0;
    bool m_acceptLongerGet = false;
    ResetWiring m_wiring;
    ResetTiming m_timing;
    LineObserver m_lineObserver;
    Trace m_trace;
    IspOutcome m_outcome = IspOutcome::Done;
};
