// Drives a BootloaderTarget byte by byte, the way the pty server does, and collects what
// it answers.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "BootloaderTarget.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline std::vector<sim::Fault> ParseAll(const std::vector<std::string>& faultTexts) {
    std::vector<sim::Fault> faults;
    for (const std::string& faultText : faultTexts) {
        sim::Fault f;
        std::string error;
        EXPECT_TRUE(sim::ParseFault(faultText, &f, &error)) << faultText << ": " << error;
        faults.push_back(f);
    }
    return faults;
}

// Four address bytes, most significant first, and their XOR.
inline Bytes Addr(uint32_t a) {
    Bytes b = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
    return b;
}

// The bytes followed by the XOR of all of them.
inline Bytes WithXor(Bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x ^= v;
    b.push_back(x);
    return b;
}

inline Bytes Cmd(uint8_t code) { return {code, uint8_t(code ^ 0xFF)}; }

struct Rig {
    explicit Rig(sim::TargetConfig config = {}, const std::vector<std::string>& faults = {})
        : target(config, ParseAll(faults)) {}

    // Feeds the bytes and returns everything the target sent, delays ignored.
    Bytes Send(const Bytes& bytes) {
        last.clear();
        for (uint8_t b : bytes) target.Receive(b, &last);
        Bytes flat;
        for (const sim::TargetOutput& o : last)
            flat.insert(flat.end(), o.bytes.begin(), o.bytes.end());
        return flat;
    }
    // Total delay of the outputs of the last Send, in microseconds.
    uint64_t LastDelayUs() const {
        uint64_t us = 0;
        for (const sim::TargetOutput& o : last) us += o.delayUs;
        return us;
    }
    void Sync() { ASSERT_EQ(Send({sim::kSync}), Bytes{sim::kAck}); }

    // A whole Write Memory exchange; returns the reply to the data block.
    Bytes Write(uint32_t address, const Bytes& data) {
        EXPECT_EQ(Send(Cmd(0x31)), Bytes{sim::kAck});
        EXPECT_EQ(Send(Addr(address)), Bytes{sim::kAck});
        Bytes block = {uint8_t(data.size() - 1)};
        block.insert(block.end(), data.begin(), data.end());
        return Send(WithXor(block));
    }
    // A whole Read Memory exchange; returns the reply to the count (ACK and data).
    Bytes Read(uint32_t address, unsigned length) {
        EXPECT_EQ(Send(Cmd(0x11)), Bytes{sim::kAck});
        EXPECT_EQ(Send(Addr(address)), Bytes{sim::kAck});
        const uint8_t n = uint8_t(length - 1);
        return Send({n, uint8_t(n ^ 0xFF)});
    }
    // Erase (0x43) of the listed pages; returns the reply to the page block.
    Bytes ErasePages(const Bytes& pages) {
        EXPECT_EQ(Send(Cmd(0x43)), Bytes{sim::kAck});
        Bytes block = {uint8_t(pages.size() - 1)};
        block.insert(block.end(), pages.begin(), pages.end());
        return Send(WithXor(block));
    }
    uint8_t FlashAt(uint32_t address) const { return target.Flash().at(address - sim::kFlashBase); }

    sim::BootloaderTarget target;
    std::vector<sim::TargetOutput> last;
};

inline sim::TargetConfig WithFlash(const Bytes& contents) {
    sim::TargetConfig c;
    c.initialFlash = contents;
    return c;
}

}  // namespace simtest
