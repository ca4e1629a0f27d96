// Programming: load the file, erase, write page by page, verify, run.
#include <cstring>

#include "Clock.h"
#include "DeviceJobs.h"
#include "ErasePlan.h"
#include "Format.h"
#include "Messages.h"

namespace {
constexpr unsigned long kEraseToWriteMs = 100;
}  // namespace

void CDeviceJobs::Program() {
    if (!BeginJob()) return;

    const FlashGeometry& g = m_geometry;
    if (!LoadImage() || RefuseImageBeyondFlash()) return;

    PageLayout layout{g.base, g.pageSize, 0};
    if (g.Known()) {
        layout.units = g.units;
        layout.wholeFlashWaitMs = g.chip->massEraseMaxMs;
    }
    const CErasePlan plan(m_options.eraseAll, m_image, layout,
                          m_isp.Command(CIspProtocol::SlotErase));
    if (plan.ErasesWholeFlash()) {
        m_host.StageBegan(JobStage::Erase, 0);
        const bool erased = plan.Send(m_isp, plan.WholeFlash());
        m_host.StageEnded(JobStage::Erase, erased);
        if (!erased) {
            Fail(kMsgEraseAllFailed);
            return;
        }
        m_host.AppendLog(kMsgEraseAllDone);
    }
    m_isp.Clock().SleepMs(kEraseToWriteMs);

    const int blockCount = static_cast<int>(m_image.PageCount() * BlocksPerPage());
    bool ok = WritePages(plan, blockCount);
    if (ok && m_options.verify) ok = VerifyPages(plan, blockCount);
    if (ok && m_options.runProgram) {
        // A refused Go is not logged.
        m_host.StageBegan(JobStage::Run, 0);
        ok = m_isp.Go(g.base) != 0;
        m_host.StageEnded(JobStage::Run, ok);
        if (ok) {
            m_host.AppendLog(kMsgRunDone);
        } else {
            ReportFailure(Format(kMsgGoFailed, g.base), g.base);
        }
    }
    m_bLastJobOk = ok;
}

bool CDeviceJobs::WritePages(const CErasePlan& plan, int blockCount) {
    unsigned long start = NowMs();
    m_host.StageBegan(JobStage::Write, blockCount);
    m_host.AppendLog(kMsgWriteStart);

    for (uint32_t i = 0; i < m_image.PageCount(); ++i) {
        const FlashPage* page = m_image.FindPage(static_cast<int32_t>(i));
        uint32_t pageAddress = plan.PageAddress(i);
        const bool leaveAlone = plan.LeavesAlone(i);
        CErasePlan::Step erase{};
        if (plan.ErasesBefore(i, &erase) && !plan.Send(m_isp, erase)) {
            Fail(Format(kMsgPageEraseFailed, static_cast<int>(erase.firstPage)), pageAddress);
            m_host.StageEnded(JobStage::Write, false);
            return false;
        }
        const uint32_t perPage = BlocksPerPage(), block = m_geometry.blockSize;
        for (uint32_t j = 0; j < perPage; ++j) {
            uint32_t address = pageAddress + block * j;
            const auto write = [&] {
                return m_isp.WriteMemory(address, static_cast<uint16_t>(block),
                                         page->data + block * j);
            };
            if (!leaveAlone && (!page || !Retried(address, write))) {
                Fail(Format(kMsgWriteFailed, static_cast<int>(block), address), address);
                m_host.StageEnded(JobStage::Write, false);
                return false;
            }
            m_host.StageProgress(JobStage::Write, static_cast<int>(perPage * i + j + 1),
                                 blockCount);
        }
    }
    m_host.StageEnded(JobStage::Write, true);
    m_host.AppendLog(Format(kMsgWriteDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    return true;
}

bool CDeviceJobs::VerifyPages(const CErasePlan& plan, int blockCount) {
    unsigned long start = NowMs();
    m_host.StageBegan(JobStage::Verify, blockCount);
    m_host.AppendLog(kMsgVerifyStart);

    unsigned char readBack[FlashImage::kMaxPageSize];
    const uint32_t perPage = BlocksPerPage(), block = m_geometry.blockSize;
    for (uint32_t i = 0; i < m_image.PageCount(); ++i) {
        const FlashPage* page = m_image.FindPage(static_cast<int32_t>(i));
        uint32_t pageAddress = plan.PageAddress(i);
        const bool leaveAlone = plan.LeavesAlone(i);
        for (uint32_t j = 0; j < perPage; ++j) {
            uint32_t address = pageAddress + block * j;
            const auto read = [&] {
                return m_isp.ReadMemory(address, static_cast<uint16_t>(block),
                                        readBack + block * j);
            };
            if (!leaveAlone && !Retried(address, read)) {
                Fail(Format(kMsgVerifyReadFailed, address, static_cast<int>(block)), address);
                m_host.StageEnded(JobStage::Verify, false);
                return false;
            }
            m_host.StageProgress(JobStage::Verify, static_cast<int>(perPage * i + j + 1),
                                 blockCount);
        }
        for (uint32_t k = 0; k < m_geometry.pageSize && !leaveAlone; ++k) {
            if (!page || page->data[k] != readBack[k]) {
                Fail(Format(kMsgVerifyMismatch, pageAddress + k), pageAddress + k);
                m_host.StageEnded(JobStage::Verify, false);
                return false;
            }
        }
    }
    m_host.StageEnded(JobStage::Verify, true);
    m_host.AppendLog(Format(kMsgVerifyDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    return true;
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
    m_host.AppendLog(Format(kMsgLoaded, static_cast<int>(m_image.TotalBytes()),
                            static_cast<int>(m_image.PageCount()), static_cast<int>(g.pageSize)));
    return true;
}
