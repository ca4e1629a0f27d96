// Which chip is on the line, how sure we are of it, and what the command line's info says
// about it.
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

namespace {

// The STM32F103 medium density, which the dialog was made for.
constexpr uint16_t kMadeForPid = 0x0410;

// 0, 1 or 2 from the RDP byte: level 0 and level 2 have one value each, level 1 all others.
int ProtectionLevel(const chips::RdpField& rdp, uint8_t value) {
    if (value == rdp.level0) return 0;
    if (rdp.level2 != rdp.level0 && value == rdp.level2) return 2;
    return 1;
}

}  // namespace

void CDeviceJobs::IdentifyChip() {
    m_geometry = FlashGeometry();
    m_unknownSeen.clear();
    m_contradiction.clear();
    const chips::Chip* named =
        m_options.chipKey.empty() ? nullptr : chips::FindChipByKey(m_options.chipKey);
    unsigned char id[2] = {};
    const bool pidRead = m_isp.GetChipId(id) != 0;
    const uint16_t pid = static_cast<uint16_t>(id[0] << 8 | id[1]);
    const unsigned char eraseListed = m_isp.Command(CIspProtocol::SlotErase);

    // What was seen, against the chip the user named or the one the ID names.
    const chips::Chip* chip = named;
    if (named != nullptr) {
        if (pidRead && pid != named->pid) {
            m_contradiction =
                Format(kMsgChipContradicted, named->key, Format(kSeenAnswersId, pid).c_str());
            return;
        }
    } else if (!pidRead) {
        NotKnown(kSeenNoId, kRemedyChip);
        return;
    } else if ((chip = chips::FindChipByPid(pid)) == nullptr) {
        NotKnown(Format(kSeenUnknownId, pid), kRemedyChip);
        return;
    }
    if (eraseListed != chip->eraseCmd) {
        const char* form = (eraseListed == 0x44   ? kEraseExtended
                            : eraseListed == 0x43 ? kEraseBasic
                                                  : kEraseUnusable)
                               .Text();
        const std::string seen = Format(kSeenEraseListed, pid, form, eraseListed);
        if (named != nullptr) {
            m_contradiction = Format(kMsgChipContradicted, named->key, seen.c_str());
        } else {
            NotKnown(seen, kRemedyChip);
        }
        return;
    }
    // The dialog keeps to the fixed way on the chip it was made for, register unread.
    if (!m_options.identifyChip && chip->pid == kMadeForPid && eraseListed == 0x43) return;
    m_geometry.chip = chip;
    const uint32_t kib = SettleFlashSize(*chip, named != nullptr);
    if (kib != 0) m_geometry = FlashGeometry::ForChip(*chip, kib);
}

uint32_t CDeviceJobs::SettleFlashSize(const chips::Chip& chip, bool named) {
    const uint32_t given = m_options.flashKiB;
    unsigned char size[2] = {};
    if (chip.flashSizeReg != 0 && m_isp.ReadMemory(chip.flashSizeReg, 2, size)) {
        const uint32_t kib = static_cast<uint32_t>(size[0] | size[1] << 8);
        std::string seen;
        if (chips::FlashUnits(chip, kib).empty()) {
            seen = Format(kSeenSizeNotOfChip, kib, chip.name);
        } else if (given != 0 && given != kib) {
            seen = Format(kSeenSizeRegister, kib);
        }
        if (seen.empty()) return kib;
        // A size the family does not come in: the ID or the register is not what it seems.
        if (named || given != 0) {
            m_contradiction = Format(kMsgChipContradicted, chip.key, seen.c_str());
        } else {
            NotKnown(seen, kRemedyChip);
        }
        return 0;
    }
    // Unreadable (protected, or no register): the user's size, else the largest there is,
    // unless bank 2's address depends on the size.
    if (given != 0) {
        if (chips::FlashUnits(chip, given).empty()) {
            m_contradiction =
                Format(kMsgChipContradicted, chip.key, Format(kSeenNotASize, given).c_str());
            return 0;
        }
        m_host.AppendLog(Format(kMsgFlashSizeGiven, given));
        return given;
    }
    if (chip.banks == 2 && chip.bank2Base == 0) {
        NotKnown(Format(kSeenTwoBanks, chip.name), kRemedyFlashKib);
        return 0;
    }
    const uint32_t largest = chips::MaxFlashKiB(chip);
    // The dialog's chip line gives the size used.
    if (m_options.identifyChip) m_host.AppendLog(Format(kMsgFlashSizeAssumed, largest));
    return largest;
}

bool CDeviceJobs::DialogChipUnknown() const {
    return !m_options.identifyChip && m_options.chipPolicy == ChipPolicy::Dialog &&
           !m_unknownSeen.empty();
}

void CDeviceJobs::NotKnown(const std::string& seen, const Message& remedy) {
    m_unknownSeen = seen;
    m_unknownRemedy = &remedy;
}

std::string CDeviceJobs::NotKnownLine(bool lengthWouldDo) const {
    std::string remedy = m_unknownRemedy != nullptr ? m_unknownRemedy->Text() : "";
    if (lengthWouldDo) remedy += kRemedyOrLength.Text();
    return Format(kMsgLayoutNotKnown, m_unknownSeen.c_str(), remedy.c_str());
}

void CDeviceJobs::ReportChip() {
    // A contradiction never gets here: every job begins by refusing it.
    if (!m_unknownSeen.empty()) {
        m_host.AppendLog(NotKnownLine(false));
        return;
    }
    if (!m_geometry.Known()) return;
    const chips::Chip& chip = *m_geometry.chip;
    m_host.AppendLog(Format(kMsgChipName, chip.name, chip.pid));
    m_host.AppendLog(Format(kMsgChipFlash, m_geometry.flashKiB, m_geometry.base,
                            chips::LayoutText(chip, m_geometry.flashKiB).c_str()));
    if (chip.optionSize == 0 || chip.rdp.offset < 0) return;
    uint8_t rdp = 0;
    const int level = ReadProtectionLevel(&rdp);
    if (level < 0) {
        // The bootloader refuses to read while read-out protection is on.
        m_host.AppendLog(kMsgReadProtectionUnread);
        return;
    }
    m_host.AppendLog(Format(kMsgReadProtection, level, rdp));
}

int CDeviceJobs::ReadProtectionLevel(uint8_t* rdpByte) {
    const chips::Chip* chip = m_geometry.chip;
    if (chip == nullptr || chip->optionSize == 0 || chip->rdp.offset < 0) return -1;
    unsigned char options[256] = {};
    const uint16_t length = static_cast<uint16_t>(chip->rdp.offset + 1);
    if (!m_isp.ReadMemory(chip->optionBase, length, options)) return -1;
    const uint8_t rdp = options[chip->rdp.offset];
    if (rdpByte != nullptr) *rdpByte = rdp;
    return ProtectionLevel(chip->rdp, rdp);
}
