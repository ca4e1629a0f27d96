#include "BootloaderTarget.h"

#include <algorithm>

namespace sim {

namespace {

// Codes that are always known; the erase code comes from the configuration.
struct CommandCode {
    uint8_t code;
    FaultCmd cmd;
};
const CommandCode kCommandCodes[] = {
    {0x00, FaultCmd::Get},  {0x01, FaultCmd::Version}, {0x02, FaultCmd::Id},
    {0x11, FaultCmd::Read}, {0x21, FaultCmd::Go},      {0x31, FaultCmd::Write},
};

constexpr uint8_t kWriteProtect = 0x63;
constexpr uint8_t kWriteUnprotect = 0x73;
constexpr uint8_t kReadoutProtect = 0x82;
constexpr uint8_t kReadoutUnprotect = 0x92;
constexpr uint8_t kChecksumCmd = 0xA1;  // only listed, by the get12 fault

// F1 flash timing, in microseconds.
constexpr uint32_t kPageEraseUs = 20000;
constexpr uint32_t kMassEraseUs = 40000;

uint8_t XorOf(const std::vector<uint8_t>& bytes) {
    uint8_t x = 0;
    for (uint8_t b : bytes) x ^= b;
    return x;
}

bool HasFault(const std::vector<Fault>& faults, FaultKind kind) {
    return std::any_of(faults.begin(), faults.end(),
                       [kind](const Fault& f) { return f.kind == kind; });
}

}  // namespace

BootloaderTarget::BootloaderTarget(const TargetConfig& config, std::vector<Fault> faults)
    : m_config(config),
      m_faults(std::move(faults)),
      m_hits(m_faults.size(), 0),
      m_flash(static_cast<size_t>(config.flashKiB) * 1024, 0xFF),
      m_readoutProtected(config.readoutProtected),
      m_silent(HasFault(m_faults, FaultKind::Silent)) {
    std::copy(config.initialFlash.begin(), config.initialFlash.end(), m_flash.begin());
}

bool BootloaderTarget::CheckConfig(const TargetConfig& config, std::string* error) {
    if (config.flashKiB == 0 || config.flashKiB > 16384) {
        *error = "flash size must be 1 to 16384 KiB";
        return false;
    }
    if (config.pageSize == 0 || (config.flashKiB * 1024u) % config.pageSize != 0) {
        *error = "page size must be non-zero and divide the flash size";
        return false;
    }
    if (config.initialFlash.size() > config.flashKiB * 1024u) {
        *error = "initial flash contents are larger than the flash";
        return false;
    }
    return true;
}

uint32_t BootloaderTarget::PageCount() const {
    return static_cast<uint32_t>(m_flash.size() / m_config.pageSize);
}

void BootloaderTarget::Reset() {
    m_phase = TargetPhase::WaitSync;
    m_block.clear();
    m_need = 0;
}

void BootloaderTarget::Replugged() {
    Reset();
    ++m_lineIndex;
    m_lineBytes = 0;
    m_unplugDue = false;
}

uint8_t BootloaderTarget::EraseCode() const {
    uint8_t code = m_config.eraseCmd;
    for (const Fault& f : m_faults) {
        if (f.kind == FaultKind::EraseCode) code = static_cast<uint8_t>(f.number);
    }
    return code;
}

FaultCmd BootloaderTarget::CommandOf(uint8_t code) const {
    for (const CommandCode& c : kCommandCodes) {
        if (c.code == code) return c.cmd;
    }
    return code == EraseCode() ? FaultCmd::Erase : FaultCmd::None;
}

bool BootloaderTarget::Fires(size_t i) {
    ++m_hits[i];
    return m_faults[i].occurrence == 0 || m_hits[i] == m_faults[i].occurrence;
}

bool BootloaderTarget::NackFault(FaultCmd cmd, bool hasWhere, uint32_t where) {
    bool fire = false;
    for (size_t i = 0; i < m_faults.size(); ++i) {
        const Fault& f = m_faults[i];
        if (f.kind != FaultKind::Nack || f.cmd != cmd || f.hasWhere != hasWhere) continue;
        if (hasWhere && f.where != where) continue;
        if (Fires(i)) fire = true;
    }
    return fire;
}

bool BootloaderTarget::NackFaultForPages(const std::vector<uint32_t>& pages) {
    bool fire = false;
    for (size_t i = 0; i < m_faults.size(); ++i) {
        const Fault& f = m_faults[i];
        if (f.kind != FaultKind::Nack || f.cmd != FaultCmd::Erase || !f.hasWhere) continue;
        if (std::find(pages.begin(), pages.end(), f.where) == pages.end()) continue;
        if (Fires(i)) fire = true;
    }
    return fire;
}

void BootloaderTarget::Ack(std::vector<TargetOutput>* out) { out->push_back({0, {kAck}}); }

// Any error: NACK, and the next byte is a command code again.
void BootloaderTarget::Nack(std::vector<TargetOutput>* out) {
    out->push_back({0, {kNack}});
    m_phase = TargetPhase::WaitCommand;
}

void BootloaderTarget::FinalReply(FaultCmd cmd, std::vector<uint8_t> bytes, uint32_t delayUs,
                                  std::vector<TargetOutput>* out) {
    std::vector<uint8_t> extra;      // right after the reply
    std::vector<TargetOutput> late;  // extra bytes that come later
    size_t stallAt = 0;
    uint32_t stallUs = 0;
    for (size_t i = 0; i < m_faults.size(); ++i) {
        const Fault& f = m_faults[i];
        if (f.cmd != cmd) continue;
        switch (f.kind) {
            case FaultKind::Reply:
                if (Fires(i)) bytes = f.bytes;
                break;
            case FaultKind::Short:
                if (Fires(i) && bytes.size() > f.number) bytes.resize(f.number);
                break;
            case FaultKind::Extra:
                if (!Fires(i)) break;
                if (f.ms == 0) {
                    extra.insert(extra.end(), f.bytes.begin(), f.bytes.end());
                } else {
                    late.push_back({f.ms * 1000, f.bytes});
                }
                break;
            case FaultKind::Delay:
                if (Fires(i)) delayUs += f.number * 1000;
                break;
            case FaultKind::Stall:
                if (Fires(i)) {
                    stallAt = f.number;
                    stallUs = f.ms * 1000;
                }
                break;
            default:
                break;
        }
    }
    bytes.insert(bytes.end(), extra.begin(), extra.end());
    if (stallUs != 0 && stallAt < bytes.size()) {
        std::vector<uint8_t> rest(bytes.begin() + static_cast<long>(stallAt), bytes.end());
        bytes.resize(stallAt);
        out->push_back({delayUs, std::move(bytes)});
        out->push_back({stallUs, std::move(rest)});
    } else if (!bytes.empty() || delayUs != 0) {
        out->push_back({delayUs, std::move(bytes)});
    }
    out->insert(out->end(), late.begin(), late.end());
}

bool BootloaderTarget::InFlash(uint32_t address, uint32_t length) const {
    if (address < kFlashBase) return false;
    uint64_t end = static_cast<uint64_t>(address - kFlashBase) + length;
    return end <= m_flash.size();
}

void BootloaderTarget::Receive(uint8_t byte, std::vector<TargetOutput>* out) {
    ++m_lineBytes;
    for (const Fault& f : m_faults) {
        if (f.kind == FaultKind::Unplug && f.number == m_lineBytes &&
            (f.occurrence == 0 || f.occurrence == m_lineIndex)) {
            m_unplugDue = true;
        }
    }
    if (m_unplugDue || m_silent) return;

    switch (m_phase) {
        case TargetPhase::WaitSync:
            if (byte != kSync) return;  // noise before sync is ignored
            if (NackFault(FaultCmd::Sync, false, 0)) {
                out->push_back({0, {kNack}});
                return;
            }
            m_phase = TargetPhase::WaitCommand;
            FinalReply(FaultCmd::Sync, {kAck}, 0, out);
            return;
        case TargetPhase::WaitCommand:
            m_code = byte;
            m_phase = TargetPhase::WaitComplement;
            return;
        case TargetPhase::WaitComplement:
            if (byte != static_cast<uint8_t>(m_code ^ 0xFF)) {
                Nack(out);
                return;
            }
            OnCommand(m_code, out);
            return;
        case TargetPhase::Running:
            return;  // the user program does not speak the protocol
        default:
            CollectBlockByte(byte, out);
            return;
    }
}

bool BootloaderTarget::RefusesCommand(uint8_t code, FaultCmd cmd) {
    const bool known = cmd != FaultCmd::None || code == kWriteProtect || code == kWriteUnprotect ||
                       code == kReadoutProtect || code == kReadoutUnprotect;
    if (!known) return true;
    // Protected: only the identification commands and the unprotect that lifts it.
    const bool allowedProtected = cmd == FaultCmd::Get || cmd == FaultCmd::Version ||
                                  cmd == FaultCmd::Id || code == kReadoutUnprotect;
    if (m_readoutProtected && !allowedProtected) return true;
    // Checked last: a nack fault counts only the commands that got this far.
    return cmd != FaultCmd::None && NackFault(cmd, false, 0);
}

void BootloaderTarget::OnCommand(uint8_t code, std::vector<TargetOutput>* out) {
    const FaultCmd cmd = CommandOf(code);
    if (RefusesCommand(code, cmd)) {
        Nack(out);
        return;
    }
    m_cmd = cmd;
    m_block.clear();
    m_phase = TargetPhase::WaitCommand;
    if (cmd == FaultCmd::None) {
        OnProtectionCommand(code, out);
    } else {
        OnNamedCommand(code, cmd, out);
    }
}

void BootloaderTarget::OnGet(std::vector<TargetOutput>* out) {
    // The bootloader's own order, with the erase form it offers in slot 6.
    std::vector<uint8_t> codes = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, EraseCode()};
    codes.insert(codes.end(), {kWriteProtect, kWriteUnprotect, kReadoutProtect, kReadoutUnprotect});
    if (HasFault(m_faults, FaultKind::Get12)) codes.push_back(kChecksumCmd);
    std::vector<uint8_t> reply = {kAck, static_cast<uint8_t>(codes.size()), m_config.blVersion};
    reply.insert(reply.end(), codes.begin(), codes.end());
    reply.push_back(kAck);
    FinalReply(FaultCmd::Get, std::move(reply), 0, out);
}

void BootloaderTarget::OnNamedCommand(uint8_t code, FaultCmd cmd, std::vector<TargetOutput>* out) {
    switch (cmd) {
        case FaultCmd::Get:
            OnGet(out);
            return;
        case FaultCmd::Version:
            // Option bytes read 00 00 on F1 parts, kept for compatibility.
            FinalReply(cmd, {kAck, m_config.blVersion, 0x00, 0x00, kAck}, 0, out);
            return;
        case FaultCmd::Id:
            FinalReply(cmd,
                       {kAck, 0x01, static_cast<uint8_t>(m_config.pid >> 8),
                        static_cast<uint8_t>(m_config.pid & 0xFF), kAck},
                       0, out);
            return;
        case FaultCmd::Read:
        case FaultCmd::Go:
        case FaultCmd::Write:
            Ack(out);
            m_phase = TargetPhase::WaitAddress;
            m_need = 5;
            return;
        case FaultCmd::Erase:
            Ack(out);
            if (code == 0x44) {
                m_phase = TargetPhase::WaitExtErase;
                m_need = 2;
            } else {
                m_phase = TargetPhase::WaitEraseBlock;
                m_need = 1;
            }
            return;
        default:
            OnProtectionCommand(code, out);
            return;
    }
}

void BootloaderTarget::OnProtectionCommand(uint8_t code, std::vector<TargetOutput>* out) {
    // Each ends in a system reset, so the host must sync again.
    Ack(out);
    switch (code) {
        case kWriteProtect:
            m_phase = TargetPhase::WaitProtect;
            m_need = 1;
            return;
        case kReadoutProtect:
            m_readoutProtected = true;
            Ack(out);
            break;
        case kReadoutUnprotect:
            MassErase();
            m_readoutProtected = false;
            out->push_back({m_config.f1Timing ? kMassEraseUs : 0, {kAck}});
            break;
        default:  // write unprotect: nothing is protected here
            Ack(out);
            break;
    }
    Reset();
}

void BootloaderTarget::CollectBlockByte(uint8_t byte, std::vector<TargetOutput>* out) {
    m_block.push_back(byte);
    if (--m_need > 0) return;
    switch (m_phase) {
        case TargetPhase::WaitAddress:
            OnAddress(out);
            return;
        case TargetPhase::WaitReadCount:
            OnReadCount(out);
            return;
        case TargetPhase::WaitWriteBlock:
            if (m_block.size() == 1) {
                m_need = m_block[0] + 2u;  // N+1 data bytes and the checksum
                return;
            }
            OnWriteBlock(out);
            return;
        case TargetPhase::WaitEraseBlock:
            if (m_block.size() == 1) {
                m_need = m_block[0] == 0xFF ? 1u : m_block[0] + 2u;
                return;
            }
            OnEraseBlock(out);
            return;
        case TargetPhase::WaitExtErase:
            if (m_block.size() == 2) {
                const uint32_t n = (m_block[0] << 8) | m_block[1];
                m_need = n >= 0xFFF0 ? 1u : 2 * (n + 1) + 1;
                return;
            }
            OnExtEraseBlock(out);
            return;
        case TargetPhase::WaitProtect:
            if (m_block.size() == 1) {
                m_need = m_block[0] + 2u;
                return;
            }
            if (XorOf(m_block) != 0) {
                Nack(out);
                return;
            }
            Ack(out);
            Reset();
            return;
        default:
            return;
    }
}

void BootloaderTarget::OnAddress(std::vector<TargetOutput>* out) {
    if (XorOf(m_block) != 0) {
        Nack(out);
        return;
    }
    m_address = (static_cast<uint32_t>(m_block[0]) << 24) | (m_block[1] << 16) | (m_block[2] << 8) |
                m_block[3];
    m_block.clear();
    if (NackFault(m_cmd, true, m_address) || !InFlash(m_address, 1)) {
        Nack(out);
        return;
    }
    switch (m_cmd) {
        case FaultCmd::Read:
            Ack(out);
            m_phase = TargetPhase::WaitReadCount;
            m_need = 2;
            return;
        case FaultCmd::Write:
            Ack(out);
            m_phase = TargetPhase::WaitWriteBlock;
            m_need = 1;
            return;
        default:  // Go: the jump happens whatever the host makes of the reply
            FinalReply(FaultCmd::Go, {kAck}, 0, out);
            m_phase = TargetPhase::Running;
            return;
    }
}

void BootloaderTarget::OnReadCount(std::vector<TargetOutput>* out) {
    if (m_block[1] != static_cast<uint8_t>(m_block[0] ^ 0xFF)) {
        Nack(out);
        return;
    }
    const uint32_t length = m_block[0] + 1u;
    if (!InFlash(m_address, length)) {
        Nack(out);
        return;
    }
    const size_t offset = m_address - kFlashBase;
    std::vector<uint8_t> reply = {kAck};
    reply.insert(reply.end(), m_flash.begin() + offset, m_flash.begin() + offset + length);
    for (size_t i = 0; i < m_faults.size(); ++i) {
        const Fault& f = m_faults[i];
        if (f.kind != FaultKind::Corrupt) continue;
        if (f.where < m_address || f.where - m_address >= length) continue;
        if (Fires(i)) reply[1 + (f.where - m_address)] ^= 0xFF;
    }
    m_phase = TargetPhase::WaitCommand;
    FinalReply(FaultCmd::Read, std::move(reply), 0, out);
}

void BootloaderTarget::OnWriteBlock(std::vector<TargetOutput>* out) {
    if (XorOf(m_block) != 0) {
        Nack(out);
        return;
    }
    const uint32_t length = m_block[0] + 1u;
    if (!InFlash(m_address, length)) {
        Nack(out);
        return;
    }
    // Programming can only clear bits; setting them back takes an erase.
    const size_t offset = m_address - kFlashBase;
    for (uint32_t i = 0; i < length; ++i) m_flash[offset + i] &= m_block[1 + i];
    // 52.5 us a half-word, rounded up to whole microseconds.
    const uint32_t halfWords = (length + 1) / 2;
    const uint32_t delayUs = m_config.f1Timing ? (halfWords * 105 + 1) / 2 : 0;
    m_phase = TargetPhase::WaitCommand;
    FinalReply(FaultCmd::Write, {kAck}, delayUs, out);
}

void BootloaderTarget::OnEraseBlock(std::vector<TargetOutput>* out) {
    if (m_block[0] == 0xFF) {  // global erase: FF 00
        if (m_block[1] != 0x00) {
            Nack(out);
            return;
        }
        MassErase();
        m_phase = TargetPhase::WaitCommand;
        FinalReply(FaultCmd::Erase, {kAck}, m_config.f1Timing ? kMassEraseUs : 0, out);
        return;
    }
    if (XorOf(m_block) != 0) {
        Nack(out);
        return;
    }
    std::vector<uint32_t> pages(m_block.begin() + 1, m_block.end() - 1);
    ErasePages(pages, out);
}

void BootloaderTarget::OnExtEraseBlock(std::vector<TargetOutput>* out) {
    if (XorOf(m_block) != 0) {
        Nack(out);
        return;
    }
    const uint32_t n = (m_block[0] << 8) | m_block[1];
    if (n >= 0xFFF0) {
        // Mass erase only: this part has a single bank, and FFF0..FFFC are reserved.
        if (n != 0xFFFF) {
            Nack(out);
            return;
        }
        MassErase();
        m_phase = TargetPhase::WaitCommand;
        FinalReply(FaultCmd::Erase, {kAck}, m_config.f1Timing ? kMassEraseUs : 0, out);
        return;
    }
    std::vector<uint32_t> pages;
    for (size_t i = 2; i + 1 < m_block.size(); i += 2) {
        pages.push_back((m_block[i] << 8) | m_block[i + 1]);
    }
    ErasePages(pages, out);
}

void BootloaderTarget::ErasePages(const std::vector<uint32_t>& pages,
                                  std::vector<TargetOutput>* out) {
    const uint32_t count = PageCount();
    const bool outside =
        std::any_of(pages.begin(), pages.end(), [count](uint32_t p) { return p >= count; });
    if (outside || NackFaultForPages(pages)) {
        Nack(out);
        return;
    }
    for (uint32_t p : pages) {
        auto first = m_flash.begin() + static_cast<size_t>(p) * m_config.pageSize;
        std::fill(first, first + m_config.pageSize, 0xFF);
    }
    const uint32_t delayUs =
        m_config.f1Timing ? kPageEraseUs * static_cast<uint32_t>(pages.size()) : 0;
    m_phase = TargetPhase::WaitCommand;
    FinalReply(FaultCmd::Erase, {kAck}, delayUs, out);
}

void BootloaderTarget::MassErase() { std::fill(m_flash.begin(), m_flash.end(), 0xFF); }

}  // namespace sim
