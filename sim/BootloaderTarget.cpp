#include "BootloaderTarget.h"

#include <algorithm>

#include "Chips.h"

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
// Listed (by chips of protocol V3.3 and the get12 fault), never served: our host does not
// send them.
constexpr uint8_t kChecksumCmd = 0xA1;
constexpr uint8_t kSpecialCmd = 0x50;

// What the RDP byte reads while read-out protection is on: neither level 0 nor level 2.
constexpr uint8_t kRdpLevel1 = 0xBB;

// The F1 the simulator was first: its timing is --flash-timing f1.
const chips::Chip* F103() { return chips::FindChipByKey("f103"); }

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
    if (config.chip == nullptr) {
        m_spans.push_back({kFlashBase, config.pageSize,
                           static_cast<uint32_t>(m_flash.size() / config.pageSize), 0, 0, 0});
    } else {
        const std::vector<chips::EraseUnit> units =
            chips::FlashUnits(*config.chip, config.flashKiB);
        size_t offset = 0;
        for (const chips::EraseUnit& u : units) {
            UnitSpan* last = m_spans.empty() ? nullptr : &m_spans.back();
            if (last != nullptr && last->size == u.size && last->eraseTypMs == u.eraseTypMs &&
                last->address + last->size * last->count == u.address &&
                last->firstIndex + last->count == u.index) {
                ++last->count;
            } else {
                m_spans.push_back({u.address, u.size, 1, u.index, u.eraseTypMs, offset});
            }
            offset += u.size;
        }
        if (config.chip->banks == 2) m_bank2Index = units[units.size() / 2].index;
    }
    if (config.chipTiming) {
        m_timing = config.chip != nullptr ? config.chip : F103();
    } else if (config.f1Timing) {
        m_timing = F103();
    }
}

bool BootloaderTarget::CheckConfig(const TargetConfig& config, std::string* error) {
    if (config.chip != nullptr && chips::FlashUnits(*config.chip, config.flashKiB).empty()) {
        const chips::Chip& chip = *config.chip;
        const uint32_t most = chips::MaxFlashKiB(chip);
        *error = std::string(chip.key) + " cannot have " + std::to_string(config.flashKiB) +
                 " KiB of flash: it has " + chips::LayoutText(chip, most) + " (" +
                 std::to_string(most) + " KiB at most)";
        return false;
    }
    if (config.flashKiB == 0 || config.flashKiB > 16384) {
        *error = "flash size must be 1 to 16384 KiB";
        return false;
    }
    if (config.chip == nullptr &&
        (config.pageSize == 0 || (config.flashKiB * 1024u) % config.pageSize != 0)) {
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
    uint32_t count = 0;
    for (const UnitSpan& r : m_spans) count += r.count;
    return count;
}

std::vector<uint8_t> BootloaderTarget::OptionBytes() const {
    const chips::Chip* chip = m_config.chip;
    if (chip == nullptr) return {};
    // F0/F1/F3 keep each option byte in the low half of a half-word and its complement in
    // the high half; a chip with its RDP byte at an even offset is shown that way throughout.
    // An RDP byte in a high half (F2/F4/F7) has no complement beside it.
    const int at = chip->rdp.offset;
    const bool paired = at >= 0 && at % 2 == 0;
    std::vector<uint8_t> bytes(chip->optionSize, 0xFF);
    for (size_t i = 1; paired && i < bytes.size(); i += 2) bytes[i] = 0x00;
    if (at >= 0 && static_cast<uint32_t>(at) < bytes.size()) {
        bytes[at] = m_readoutProtected ? kRdpLevel1 : chip->rdp.level0;
        if (paired && static_cast<uint32_t>(at) + 1 < bytes.size()) bytes[at + 1] = ~bytes[at];
    }
    return bytes;
}

bool BootloaderTarget::FindUnitAt(uint32_t address, Unit* unit) const {
    for (const UnitSpan& r : m_spans) {
        if (address < r.address) continue;
        const uint32_t i = (address - r.address) / r.size;
        if (i >= r.count) continue;
        *unit = {r.address + i * r.size, r.size, r.firstIndex + i, r.eraseTypMs,
                 r.offset + static_cast<size_t>(i) * r.size};
        return true;
    }
    return false;
}

bool BootloaderTarget::FindUnitNumbered(uint32_t index, Unit* unit) const {
    for (const UnitSpan& r : m_spans) {
        if (index < r.firstIndex || index - r.firstIndex >= r.count) continue;
        return FindUnitAt(r.address + (index - r.firstIndex) * r.size, unit);
    }
    return false;
}

bool BootloaderTarget::WriteProtectedAt(uint32_t address) const {
    Unit unit;
    return !m_writeProtected.empty() && FindUnitAt(address, &unit) &&
           m_writeProtected.count(unit.index) != 0;
}

bool BootloaderTarget::FlashOffset(uint32_t address, uint32_t length, size_t* offset) const {
    const uint64_t end = static_cast<uint64_t>(address) + length - 1;
    Unit first, last;
    if (length == 0 || end > UINT32_MAX || !FindUnitAt(address, &first) ||
        !FindUnitAt(static_cast<uint32_t>(end), &last)) {
        return false;
    }
    const size_t from = first.offset + (address - first.address);
    const size_t to = last.offset + (static_cast<uint32_t>(end) - last.address);
    if (to - from != length - 1) return false;  // runs over the gap between the banks
    *offset = from;
    return true;
}

bool BootloaderTarget::SystemBytes(uint32_t address, uint32_t length,
                                   std::vector<uint8_t>* out) const {
    const chips::Chip* chip = m_config.chip;
    if (chip == nullptr) return false;
    const auto within = [address, length](uint32_t base, uint32_t size) {
        return address >= base && static_cast<uint64_t>(address - base) + length <= size;
    };
    std::vector<uint8_t> area;
    uint32_t base = 0;
    if (chip->flashSizeReg != 0 && within(chip->flashSizeReg, 2)) {
        base = chip->flashSizeReg;
        area = {static_cast<uint8_t>(m_config.flashKiB),
                static_cast<uint8_t>(m_config.flashKiB >> 8)};
    } else if (within(chip->optionBase, chip->optionSize)) {
        base = chip->optionBase;
        area = OptionBytes();
    } else {
        return false;
    }
    if (out != nullptr)
        out->assign(area.begin() + (address - base), area.begin() + (address - base) + length);
    return true;
}

uint32_t BootloaderTarget::UnitEraseUs(const Unit& unit) const {
    if (m_timing == nullptr) return 0;
    // Under another chip's timing every unit takes that chip's first unit time.
    const uint32_t ms = m_timing == m_config.chip ? unit.eraseTypMs : m_timing->bank[0].eraseTypMs;
    return ms * 1000;
}

uint32_t BootloaderTarget::MassEraseUs() const {
    return m_timing != nullptr ? m_timing->massEraseTypMs * 1000 : 0;
}

uint32_t BootloaderTarget::BankEraseUs() const {
    return m_timing != nullptr ? m_timing->massEraseTypMs * 1000 / m_timing->banks : 0;
}

uint32_t BootloaderTarget::ProgramUs(uint32_t length) const {
    if (m_timing == nullptr) return 0;
    const uint64_t operations = (length + m_timing->programUnit - 1) / m_timing->programUnit;
    // Rounded up to whole microseconds.
    return static_cast<uint32_t>((operations * m_timing->programTypNs + 999) / 1000);
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
    size_t offset = 0;
    return FlashOffset(address, length, &offset);
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
    const uint8_t listed = m_config.chip != nullptr ? m_config.chip->getCodes : 11;
    if (listed >= 12 || HasFault(m_faults, FaultKind::Get12)) codes.push_back(kChecksumCmd);
    // Which two codes the H7's V9.0 bootloader adds is not known; these two are what later
    // protocols added.
    if (listed >= 13) codes.push_back(kSpecialCmd);
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
            // Lifting read-out protection erases all flash and resets the option bytes, write
            // protection included.
            std::fill(m_flash.begin(), m_flash.end(), 0xFF);
            m_writeProtected.clear();
            m_readoutProtected = false;
            out->push_back({MassEraseUs(), {kAck}});
            break;
        default:  // write unprotect
            m_writeProtected.clear();
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
            OnProtectBlock(out);
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
    const bool readable = m_cmd == FaultCmd::Read && SystemBytes(m_address, 1, nullptr);
    if (NackFault(m_cmd, true, m_address) || !(InFlash(m_address, 1) || readable)) {
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
    std::vector<uint8_t> reply = {kAck};
    size_t offset = 0;
    std::vector<uint8_t> system;
    if (FlashOffset(m_address, length, &offset)) {
        reply.insert(reply.end(), m_flash.begin() + offset, m_flash.begin() + offset + length);
    } else if (SystemBytes(m_address, length, &system)) {
        reply.insert(reply.end(), system.begin(), system.end());
    } else {
        Nack(out);
        return;
    }
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
    size_t offset = 0;
    if (!FlashOffset(m_address, length, &offset)) {
        Nack(out);
        return;
    }
    // Programming can only clear bits; setting them back takes an erase. Write-protected
    // bytes stay as they are, and the bootloader does not say so.
    for (uint32_t i = 0; i < length; ++i) {
        if (!WriteProtectedAt(m_address + i)) m_flash[offset + i] &= m_block[1 + i];
    }
    m_phase = TargetPhase::WaitCommand;
    FinalReply(FaultCmd::Write, {kAck}, ProgramUs(length), out);
}

void BootloaderTarget::OnEraseBlock(std::vector<TargetOutput>* out) {
    if (m_block[0] == 0xFF) {  // global erase: FF 00
        if (m_block[1] != 0x00) {
            Nack(out);
            return;
        }
        MassErase();
        m_phase = TargetPhase::WaitCommand;
        FinalReply(FaultCmd::Erase, {kAck}, MassEraseUs(), out);
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
        // FFFE and FFFD erase a bank where there are two; FFF0..FFFC are reserved.
        const bool bank = (n == 0xFFFE || n == 0xFFFD) && m_bank2Index != UINT32_MAX;
        if (n != 0xFFFF && !bank) {
            Nack(out);
            return;
        }
        if (bank) {
            const bool second = n == 0xFFFD;
            EraseWhere(
                [this, second](uint32_t index) { return (index >= m_bank2Index) == second; });
        } else {
            MassErase();
        }
        m_phase = TargetPhase::WaitCommand;
        FinalReply(FaultCmd::Erase, {kAck}, bank ? BankEraseUs() : MassEraseUs(), out);
        return;
    }
    std::vector<uint32_t> pages;
    for (size_t i = 2; i + 1 < m_block.size(); i += 2) {
        pages.push_back((m_block[i] << 8) | m_block[i + 1]);
    }
    ErasePages(pages, out);
}

void BootloaderTarget::OnProtectBlock(std::vector<TargetOutput>* out) {
    // The listed numbers are erase units, the simplest grain a part protects.
    std::vector<uint32_t> units(m_block.begin() + 1, m_block.end() - 1);
    Unit unit;
    const bool known = std::all_of(units.begin(), units.end(),
                                   [&](uint32_t index) { return FindUnitNumbered(index, &unit); });
    if (XorOf(m_block) != 0 || !known) {
        Nack(out);
        return;
    }
    m_writeProtected.insert(units.begin(), units.end());
    Ack(out);
    Reset();
}

void BootloaderTarget::ErasePages(const std::vector<uint32_t>& pages,
                                  std::vector<TargetOutput>* out) {
    std::vector<Unit> units(pages.size());
    bool outside = false;
    for (size_t i = 0; i < pages.size() && !outside; ++i) {
        outside = !FindUnitNumbered(pages[i], &units[i]);
    }
    if (outside || NackFaultForPages(pages)) {
        Nack(out);
        return;
    }
    uint32_t delayUs = 0;
    for (const Unit& u : units) {
        if (m_writeProtected.count(u.index) == 0) {
            std::fill_n(m_flash.begin() + static_cast<long>(u.offset), u.size, 0xFF);
        }
        delayUs += UnitEraseUs(u);
    }
    m_phase = TargetPhase::WaitCommand;
    FinalReply(FaultCmd::Erase, {kAck}, delayUs, out);
}

void BootloaderTarget::EraseWhere(const std::function<bool(uint32_t index)>& picks) {
    for (const UnitSpan& r : m_spans) {
        for (uint32_t i = 0; i < r.count; ++i) {
            const uint32_t index = r.firstIndex + i;
            if (!picks(index) || m_writeProtected.count(index) != 0) continue;
            const size_t offset = r.offset + static_cast<size_t>(i) * r.size;
            std::fill_n(m_flash.begin() + static_cast<long>(offset), r.size, 0xFF);
        }
    }
}

void BootloaderTarget::MassErase() {
    EraseWhere([](uint32_t) { return true; });
}

}  // namespace sim
