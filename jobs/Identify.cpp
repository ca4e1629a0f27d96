// Which chip is on the line, and what the command line's info says about it.
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

namespace {

// 0, 1 or 2 from the RDP byte: level 0 and level 2 have one value each, level 1 all others.
int ProtectionLevel(const chips::RdpField& rdp, uint8_t value) {
    if (value == rdp.level0) return 0;
    if (rdp.level2 != rdp.level0 && value == rdp.level2) return 2;
    return 1;
}

}  // namespace

void CDeviceJobs::IdentifyChip() {
    m_geometry = FlashGeometry();
    unsigned char id[2] = {};
    if (!m_isp.GetChipId(id)) {
        m_host.AppendLog(kMsgChipIdUnread);
        return;
    }
    const uint16_t pid = static_cast<uint16_t>(id[0] << 8 | id[1]);
    const chips::Chip* chip = chips::FindChipByPid(pid);
    if (chip == nullptr) {
        m_host.AppendLog(Format(kMsgChipUnknown, pid));
        return;
    }
    uint32_t kib = 0;
    unsigned char size[2] = {};
    if (chip->flashSizeReg != 0 && m_isp.ReadMemory(chip->flashSizeReg, 2, size)) {
        kib = static_cast<uint32_t>(size[0] | size[1] << 8);
    }
    m_geometry = FlashGeometry::ForChip(*chip, kib);
    // Unreadable (protected, or a chip without the register), or a value the layout
    // cannot hold: the largest the chip comes in, which a read-out then covers.
    if (m_geometry.units.empty()) {
        kib = chips::MaxFlashKiB(*chip);
        m_host.AppendLog(Format(kMsgFlashSizeAssumed, kib));
        m_geometry = FlashGeometry::ForChip(*chip, kib);
    }
}

void CDeviceJobs::ReportChip() {
    if (!m_geometry.Known()) return;
    const chips::Chip& chip = *m_geometry.chip;
    m_host.AppendLog(Format(kMsgChipName, chip.name, chip.pid));
    m_host.AppendLog(Format(kMsgChipFlash, m_geometry.flashKiB, m_geometry.base,
                            chips::LayoutText(chip, m_geometry.flashKiB).c_str()));
    if (chip.optionSize == 0 || chip.rdp.offset < 0) return;
    unsigned char options[256] = {};
    const uint16_t length = static_cast<uint16_t>(chip.rdp.offset + 1);
    if (!m_isp.ReadMemory(chip.optionBase, length, options)) {
        // The bootloader refuses to read while read-out protection is on.
        m_host.AppendLog(kMsgReadProtectionUnread);
        return;
    }
    const uint8_t rdp = options[chip.rdp.offset];
    m_host.AppendLog(Format(kMsgReadProtection, ProtectionLevel(chip.rdp, rdp), rdp));
}
