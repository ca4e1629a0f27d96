// Programming: load the file, erase, write page by page, verify, run.
#include <cstring>

#include "DeviceJobs.h"
#include "ErasePlan.h"
#include "Format.h"
#include "Messages.h"
#include "StageScope.h"

namespace {
constexpr unsigned long kEraseToWriteMs = 100;

// "16 KiB", or "128 B" for a unit smaller than a kilobyte.
std::string SizeOfUnit(uint32_t bytes) {
    return bytes % 1024 == 0 ? Format("%u KiB", bytes / 1024) : Format("%u B", bytes);
}

// "98 pages of 1 KiB", "2 sectors (16 KiB, 64 KiB)", "5 sectors (4 x 16 KiB, 64 KiB)": the
// units by size, in address order.
std::string UnitsText(const std::vector<uint32_t>& sizes, bool sectors) {
    const unsigned count = static_cast<unsigned>(sizes.size());
    bool uniform = true;
    for (const uint32_t size : sizes) uniform = uniform && size == sizes.front();
    if (uniform) {
        const std::string size = SizeOfUnit(sizes.empty() ? 0 : sizes.front());
        if (count == 1) return Format(sectors ? kIntoSector : kIntoPage, size.c_str());
        return Format(sectors ? kIntoSectors : kIntoPages, count, size.c_str());
    }
    std::string list;
    for (size_t i = 0; i < sizes.size();) {
        size_t j = i;
        while (j < sizes.size() && sizes[j] == sizes[i]) ++j;
        if (!list.empty()) list += kListSeparator.Text();
        if (j - i > 1) list += Format("%u x ", static_cast<unsigned>(j - i));
        list += SizeOfUnit(sizes[i]);
        i = j;
    }
    return Format(sectors ? kIntoSectorsMixed : kIntoPagesMixed, count, list.c_str());
}

}  // namespace

JobOutcome CDeviceJobs::Program() {
    JobOutcome outcome = BeginJob();
    if (outcome != JobOutcome::Done) return outcome;
    // Pages or sectors are numbered by the chip's layout: without it they would be guessed.
    if (m_options.identifyChip && !m_options.eraseAll) {
        outcome = RequireLayout();
        if (outcome != JobOutcome::Done) return outcome;
    }
    // The dialog on a chip it does not know: the whole flash as ever, but no page numbers.
    if (DialogChipUnknown()) {
        if (!m_options.eraseAll) return Fail(Format(kMsgPagesNeedChip, m_unknownSeen.c_str()));
        m_host.AppendLog(Format(kMsgChipUnknown, m_unknownSeen.c_str()));
    }
    if (!LoadImage() || RefuseImageBeyondFlash()) return JobOutcome::Failed;
    if (m_options.identifyChip && !m_geometry.Known()) m_host.AppendLog(kMsgFitUnchecked);

    const FlashGeometry& g = m_geometry;
    const CErasePlan plan(m_options.eraseAll, m_image, Layout(),
                          m_isp.Command(CIspProtocol::SlotErase));
    if (plan.ErasesWholeFlash()) {
        bool erased = false;
        {
            CStageScope stage(m_host, JobStage::Erase, 0);
            erased = plan.Send(m_isp, plan.WholeFlash()) != 0;
            if (erased) stage.Succeed();
        }
        if (!erased) return FailOnLine(kMsgEraseAllFailed);
        m_host.AppendLog(kMsgEraseAllDone);
    }
    // The erase's ACK says it is over; the dialog has always waited all the same.
    if (!m_options.quickWaits) Pause(kEraseToWriteMs);

    outcome = WritePages(plan);
    if (outcome == JobOutcome::Done && m_options.verify) outcome = VerifyPages(plan);
    if (outcome != JobOutcome::Done || !m_options.runProgram) return outcome;

    bool started = false;
    {
        CStageScope stage(m_host, JobStage::Run, 0);
        started = m_isp.Go(g.base) != 0;
        if (started) stage.Succeed();
    }
    if (started) {
        m_host.AppendLog(kMsgRunDone);
        return JobOutcome::Done;
    }
    if (m_options.explainFailures || m_stopRequested) {
        return FailOnLine(Format(kMsgGoFailed, g.base), g.base);
    }
    // The dialog's refused Go leaves no line in the log.
    ReportFailure(Format(kMsgGoFailed, g.base), g.base);
    return JobOutcome::Failed;
}

JobOutcome CDeviceJobs::ForEachBlock(
    const CErasePlan& plan, CStageScope& stage,
    const std::function<JobOutcome(uint32_t, uint32_t, uint32_t)>& visit,
    const std::function<JobOutcome(uint32_t)>& pageDone) {
    const uint32_t perPage = BlocksPerPage(), block = m_geometry.blockSize;
    for (uint32_t i = 0; i < m_image.PageCount(); ++i) {
        const uint32_t pageAddress = plan.PageAddress(i);
        // Pages the plan leaves alone still count on the bar.
        const bool leaveAlone = plan.LeavesAlone(i);
        for (uint32_t j = 0; j < perPage; ++j) {
            if (!leaveAlone) {
                const JobOutcome outcome = visit(i, j, pageAddress + block * j);
                if (outcome != JobOutcome::Done) return outcome;
            }
            const uint32_t blocksDone = perPage * i + j + 1;
            stage.Progress(static_cast<int>(blocksDone), uint64_t{blocksDone} * block);
        }
        // The page's last block is on the bar before the page is judged.
        if (!leaveAlone && pageDone) {
            const JobOutcome outcome = pageDone(i);
            if (outcome != JobOutcome::Done) return outcome;
        }
    }
    return JobOutcome::Done;
}

JobOutcome CDeviceJobs::WritePages(const CErasePlan& plan) {
    const unsigned long start = NowMs();
    CStageScope stage(m_host, JobStage::Write,
                      static_cast<int>(m_image.PageCount() * BlocksPerPage()),
                      uint64_t{m_image.PageCount()} * m_geometry.pageSize);
    m_host.AppendLog(kMsgWriteStart);
    const uint32_t block = m_geometry.blockSize;
    const JobOutcome outcome =
        ForEachBlock(plan, stage, [&](uint32_t i, uint32_t j, uint32_t address) {
            CErasePlan::Step erase{};
            if (j == 0 && plan.ErasesBefore(i, &erase) && !plan.Send(m_isp, erase)) {
                return FailOnLine(Format(kMsgPageEraseFailed, static_cast<int>(erase.firstPage)),
                                  address);
            }
            const FlashPage* page = m_image.FindPage(static_cast<int32_t>(i));
            const auto write = [&] {
                return m_isp.WriteMemory(address, static_cast<uint16_t>(block),
                                         page->data + block * j);
            };
            if (page == nullptr || !Retried(address, write)) {
                return FailOnLine(Format(kMsgWriteFailed, static_cast<int>(block), address),
                                  address);
            }
            return JobOutcome::Done;
        });
    if (outcome != JobOutcome::Done) return outcome;
    stage.Succeed();
    stage.End();
    m_host.AppendLog(Format(kMsgWriteDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    return JobOutcome::Done;
}

JobOutcome CDeviceJobs::VerifyPages(const CErasePlan& plan) {
    const unsigned long start = NowMs();
    CStageScope stage(m_host, JobStage::Verify,
                      static_cast<int>(m_image.PageCount() * BlocksPerPage()),
                      uint64_t{m_image.PageCount()} * m_geometry.pageSize);
    m_host.AppendLog(kMsgVerifyStart);
    unsigned char readBack[FlashImage::kMaxPageSize];
    const uint32_t block = m_geometry.blockSize;
    const auto readBlock = [&](uint32_t, uint32_t j, uint32_t address) {
        const auto read = [&] {
            return m_isp.ReadMemory(address, static_cast<uint16_t>(block), readBack + block * j);
        };
        if (Retried(address, read)) return JobOutcome::Done;
        return FailOnLine(Format(kMsgVerifyReadFailed, address, static_cast<int>(block)), address);
    };
    // The whole page is in: compare it, padding included.
    const auto comparePage = [&](uint32_t i) {
        const FlashPage* page = m_image.FindPage(static_cast<int32_t>(i));
        const uint32_t pageAddress = plan.PageAddress(i);
        for (uint32_t k = 0; k < m_geometry.pageSize; ++k) {
            if (page == nullptr || page->data[k] != readBack[k]) {
                const uint32_t blockStart = k / block * block;
                return VerifyDifference(pageAddress + blockStart, k - blockStart,
                                        readBack + blockStart);
            }
        }
        return JobOutcome::Done;
    };
    const JobOutcome outcome = ForEachBlock(plan, stage, readBlock, comparePage);
    if (outcome != JobOutcome::Done) return outcome;
    stage.Succeed();
    stage.End();
    m_host.AppendLog(Format(kMsgVerifyDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    return JobOutcome::Done;
}

JobOutcome CDeviceJobs::VerifyDifference(uint32_t blockAddress, uint32_t offset,
                                         const unsigned char* read) {
    const uint32_t address = blockAddress + offset;
    if (!m_options.explainFailures) return Fail(Format(kMsgVerifyMismatch, address), address);
    // One glitch on the line is not a flash that differs: the block is read once more.
    const uint32_t block = m_geometry.blockSize;
    unsigned char again[FlashImage::kMaxPageSize];
    const auto reread = [&] {
        return m_isp.ReadMemory(blockAddress, static_cast<uint16_t>(block), again);
    };
    if (!Retried(blockAddress, reread)) {
        return FailOnLine(Format(kMsgVerifyReadFailed, blockAddress, static_cast<int>(block)),
                          blockAddress);
    }
    if (std::memcmp(again, read, block) != 0) {
        return Fail(Format(kMsgVerifyUnstable, blockAddress), blockAddress);
    }
    return Fail(Format(kMsgVerifyMismatch, address), address);
}

bool CDeviceJobs::RefuseImageBeyondFlash() {
    if (!m_geometry.Known()) return false;
    for (uint32_t i = 0; i < m_image.PageCount(); ++i) {
        const FlashPage* page = m_image.FindPage(static_cast<int32_t>(i));
        const uint32_t address = m_geometry.base + m_geometry.pageSize * i;
        if (page != nullptr && page->hasData && !chips::UnitAt(m_geometry.units, address)) {
            Fail(Format(kMsgImageBeyondFlash, address, m_geometry.flashKiB), address);
            return true;
        }
    }
    return false;
}

bool CDeviceJobs::LoadImage() {
    const FlashGeometry& g = m_geometry;
    if (m_options.imageFormat == ImageFormat::Hex) {
        if (!m_image.LoadHexFile(m_options.filePath, g.pageSize, g.base)) {
            Fail(kMsgLoadFailed);
            return false;
        }
    } else {
        std::string reason;
        std::vector<std::string> warnings;
        const uint32_t at = m_options.binaryAddress != 0 ? m_options.binaryAddress : g.base;
        if (!LoadImageFile(m_image, m_options.filePath, m_options.imageFormat, g.pageSize, g.base,
                           at, &reason, &warnings)) {
            Fail(Format(kMsgImageRefused, reason.c_str()));
            return false;
        }
        for (const std::string& warning : warnings) m_host.AppendLog(warning);
    }
    if (m_options.loadLineInChipUnits) {
        m_host.AppendLog(LoadedInUnitsLine());
    } else {
        m_host.AppendLog(Format(kMsgLoaded, static_cast<int>(m_image.TotalBytes()),
                                static_cast<int>(m_image.PageCount()),
                                static_cast<int>(g.pageSize)));
    }
    return true;
}

std::string CDeviceJobs::LoadedInUnitsLine() const {
    const FlashGeometry& g = m_geometry;
    // Image pages never straddle a unit: each page with data names the unit it lies in.
    std::vector<uint32_t> sizes;
    const chips::EraseUnit* previous = nullptr;
    for (uint32_t i = 0; i < m_image.PageCount(); ++i) {
        const FlashPage* page = m_image.FindPage(static_cast<int32_t>(i));
        if (page == nullptr || !page->hasData) continue;
        if (!g.Known()) {
            sizes.push_back(g.pageSize);
            continue;
        }
        const chips::EraseUnit* unit = chips::UnitAt(g.units, g.base + g.pageSize * i);
        if (unit != nullptr && unit != previous) sizes.push_back(unit->size);
        if (unit != nullptr) previous = unit;
    }
    const bool sectors = g.Known() && g.chip->sectors;
    return Format(kMsgLoadedInto, m_image.DataBytes(), UnitsText(sizes, sectors).c_str());
}
