// The line to one board, under the bootloader client: a port opened by name, bytes out, the
// reset and boot lines, and a receive ring of its own that the client arms around each
// command and waits on. The serial link puts a serial port behind it; the tests put a
// simulated target on simulated time behind it.
#pragma once

#include <cstdint>
#include <string>

#include "Clock.h"

// The modem-control lines a link can drive.
enum class LinkLine { Dtr, Rts };

class ILink {
public:
    static constexpr int kRingSize = 1024;  // bytes the ring holds unread
    static constexpr int kMaxSend = 1023;   // longest send; longer ones are dropped

    virtual ~ILink() = default;

    // Opens the named port at baudRate, 8 data bits, even parity, one stop bit. 1 on success;
    // 0 otherwise, and LastOpenFailure says why (an OpenFailure).
    virtual int Open(const std::string& name, int baudRate) = 0;
    // Closes the port when open (on a board, closing may reset the target).
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual int LastOpenFailure() const = 0;
    // True once the device has gone away (unplugged), until the next Open. No byte will come.
    virtual bool Gone() const = 0;

    // Hands the bytes to the line and returns at once. Nothing goes while the port is closed,
    // and a send longer than kMaxSend is dropped.
    virtual void Send(const unsigned char* bytes, int length) = 0;
    // Asks for a modem line change, carried out in order with the sends.
    virtual void SetLine(LinkLine line, bool on) = 0;

    // The receive ring. Bytes that arrive while it is armed are kept in order, up to
    // kRingSize unread (newer ones are dropped then); bytes arriving while it is disarmed are
    // lost.
    virtual void Arm() = 0;     // capture on; read index and count 0; line errors 0
    virtual void Clear() = 0;   // read index and count 0, capture unchanged
    virtual void Disarm() = 0;  // capture off; nothing is kept once it has returned
    virtual int Count() const = 0;
    // The byte k places after the read index (0 <= k < Count()).
    virtual unsigned char ByteAt(int k) const = 0;
    // Removes the byte at the read index into *out (when not null); false when empty.
    virtual bool Take(unsigned char* out) = 0;
    // Moves the read index k bytes on and sets the count to n.
    virtual void Reframe(int k, int n) = 0;
    // Waits until at least target bytes are unread, the device has gone, a stop was asked
    // for, or the clock reaches deadlineUs; returns the count then.
    virtual int WaitForCount(int target, uint64_t deadlineUs) = 0;
    // Bytes received with a parity, framing or overrun error since the last Arm: the reply
    // they belong to cannot be trusted.
    virtual int LineErrors() const = 0;

    // From any thread: every wait returns at once from now on (and a waiting one wakes), until
    // the next Open. A job uses it to stop between two replies.
    virtual void Interrupt() = 0;
    virtual bool Interrupted() const = 0;

    // The clock every wait on this link, and every delay of its users, is measured on.
    virtual IClock& Clock() = 0;
};
