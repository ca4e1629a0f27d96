// Erasing on its own: the whole flash, or the erase units a range touches.
#include <vector>

#include "DeviceJobs.h"
#include "ErasePlan.h"
#include "Format.h"
#include "Messages.h"

void CDeviceJobs::EraseRange(uint32_t address, uint32_t length) {
    if (!BeginJob()) return;
    const FlashGeometry& g = m_geometry;
    if (length == 0) {
        m_host.StageBegan(JobStage::Erase, 0);
        const bool erased =
            m_isp.Erase(0, CErasePlan::kWholeFlash, g.Known() ? g.chip->massEraseMaxMs : 0) != 0;
        m_host.StageEnded(JobStage::Erase, erased);
        if (!erased) {
            Fail(kMsgEraseChipFailed);
            return;
        }
        m_host.AppendLog(kMsgEraseAllDone);
        m_bLastJobOk = 1;
        return;
    }
    // Unit numbers and sizes are known only for an identified chip.
    if (!g.Known()) {
        Fail(kMsgEraseNeedsChip, address);
        return;
    }
    const uint64_t last = uint64_t{address} + length - 1;
    const chips::EraseUnit* first = chips::UnitAt(g.units, address);
    const chips::EraseUnit* lastUnit =
        last <= UINT32_MAX ? chips::UnitAt(g.units, static_cast<uint32_t>(last)) : nullptr;
    if (first == nullptr || lastUnit == nullptr) {
        Fail(Format(kMsgEraseOutsideFlash, address, static_cast<uint32_t>(last)), address);
        return;
    }
    const uint32_t from = first->address, to = lastUnit->address + lastUnit->size - 1;
    if (from != address || to != last) m_host.AppendLog(Format(kMsgEraseRounded, from, to));

    std::vector<chips::EraseUnit> units;
    for (const chips::EraseUnit& unit : g.units) {
        if (unit.address >= from && unit.address <= lastUnit->address) units.push_back(unit);
    }
    const int total = static_cast<int>(units.size());
    m_host.StageBegan(JobStage::Erase, total);
    for (int n = 0; n < total; ++n) {
        const chips::EraseUnit& unit = units[static_cast<size_t>(n)];
        // One unit at a time, each awaited for its own worst case and never resent.
        const bool erased = m_isp.Erase(unit.index, 1, unit.eraseMaxMs) != 0;
        if (!erased) {
            Fail(Format(kMsgEraseUnitFailed, unit.address, static_cast<unsigned>(unit.index)),
                 unit.address);
            m_host.StageEnded(JobStage::Erase, false);
            return;
        }
        m_host.StageProgress(JobStage::Erase, n + 1, total);
    }
    m_host.StageEnded(JobStage::Erase, true);
    m_host.AppendLog(Format(kMsgEraseRangeDone, from, to, total));
    m_bLastJobOk = 1;
}
