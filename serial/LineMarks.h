// Input as a Linux tty hands it over with PARMRK: a byte received with a parity or framing
// error comes as 0xFF 0x00 X, a break as 0xFF 0x00 0x00, and a real 0xFF as 0xFF 0xFF.
#pragma once

// Turns that input back into the bytes that came over the line, counting the ones received
// in error. A mark may be split across two reads, so the decoder keeps its place between
// calls; one decoder per open period.
class LineMarkDecoder {
public:
    struct Result {
        int length;  // bytes left at the start of the buffer, in the order they came
        int errors;  // how many of them were received in error
    };

    // Decodes length bytes in place: what is left is never longer than what was given.
    // A break counts as a 0x00 received in error, as a framing error of that byte would;
    // a 0xFF followed by anything but 0xFF or 0x00 (which a tty never hands over) counts
    // as one error, and only the byte after it is kept.
    Result Decode(unsigned char* data, int length);

    // True when the bytes so far end inside a mark: its rest comes with the next read.
    bool InsideMark() const { return m_state != State::Plain; }

private:
    enum class State { Plain, AfterFF, AfterFF00 };
    State m_state = State::Plain;
};
