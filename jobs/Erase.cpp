// Erasing on its own: the whole flash, or the erase units a range touches.
#include <vector>

#include "DeviceJobs.h"
#include "ErasePlan.h"
#include "Format.h"
#include "Messages.h"
#include "StageScope.h"

JobOutcome CDeviceJobs::EraseRange(uint32_t address, uint32_t length) {
    JobOutcome outcome = BeginJob();
    if (outcome != JobOutcome::Done) return outcome;
    const FlashGeometry& g = m_geometry;
    if (length == 0) {
        bool erased = false;
        {
            CStageScope stage(m_host, JobStage::Erase, 0);
            erased = m_isp.Erase(0, CErasePlan::kWholeFlash, Layout().wholeFlashWaitMs) != 0;
            if (erased) stage.Succeed();
        }
        if (!erased) return FailOnLine(kMsgEraseChipFailed);
        m_host.AppendLog(kMsgEraseAllDone);
        return JobOutcome::Done;
    }
    // Unit numbers and sizes are known only for an identified chip.
    outcome = RequireLayout();
    if (outcome != JobOutcome::Done) return outcome;
    const uint64_t last = uint64_t{address} + length - 1;
    if (last >= g.end && address < g.end) {
        return Fail(Format(kMsgRangePastFlash, address, length, g.end), address);
    }
    const chips::EraseUnit* first = chips::UnitAt(g.units, address);
    const chips::EraseUnit* lastUnit =
        last <= UINT32_MAX ? chips::UnitAt(g.units, static_cast<uint32_t>(last)) : nullptr;
    if (first == nullptr || lastUnit == nullptr) {
        return Fail(Format(kMsgRangeOutsideFlash, address, length), address);
    }
    const uint32_t from = first->address, to = lastUnit->address + lastUnit->size - 1;
    if (from != address || to != last) m_host.AppendLog(Format(kMsgEraseRounded, from, to));

    std::vector<chips::EraseUnit> units;
    for (const chips::EraseUnit& unit : g.units) {
        if (unit.address >= from && unit.address <= lastUnit->address) units.push_back(unit);
    }
    const int total = static_cast<int>(units.size());
    uint64_t totalBytes = 0;
    for (const chips::EraseUnit& unit : units) totalBytes += unit.size;
    CStageScope stage(m_host, JobStage::Erase, total, totalBytes);
    const PageLayout layout = Layout();
    const CErasePlan::Form form = CErasePlan::FormOf(m_isp.Command(CIspProtocol::SlotErase));
    // Each run of neighbours in one command (or one unit at a time), awaited for its worst
    // case and never resent.
    std::vector<size_t> firsts;
    const std::vector<CErasePlan::Step> runs = CErasePlan::Runs(units, layout, &firsts);
    int done = 0;
    uint64_t doneBytes = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        const chips::EraseUnit& unit = units[firsts[r]];
        const CErasePlan::Step& run = runs[r];
        const bool erased = form != CErasePlan::Form::None &&
                            m_isp.Erase(run.firstPage, run.pageCount, run.waitMs) != 0;
        if (!erased) {
            return FailOnLine(
                Format(kMsgEraseUnitFailed, unit.address, static_cast<unsigned>(unit.index)),
                unit.address);
        }
        Pause(run.afterMs);
        for (size_t u = firsts[r]; u < firsts[r] + run.pageCount; ++u) doneBytes += units[u].size;
        done += run.pageCount;
        stage.Progress(done, doneBytes);
    }
    stage.Succeed();
    stage.End();
    m_host.AppendLog(Format(kMsgEraseRangeDone, from, to, total));
    return JobOutcome::Done;
}
