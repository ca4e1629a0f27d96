// Read-out: the flash (the first 64 KiB unless a chip was identified) into a raw binary file.
#include <cstdio>
#include <cstring>

#include "Clock.h"
#include "DeviceJobs.h"
#include "Format.h"
#include "Messages.h"

namespace {

constexpr uint32_t kReadBlock = 256;

// One block into the file, pushed through the stdio buffer so that a full disk is seen
// at the block it hit rather than at close, after the success message.
bool WriteBlock(FILE* file, const unsigned char* block, size_t size) {
    return std::fwrite(block, size, 1, file) == 1 && std::fflush(file) == 0;
}
}  // namespace

void CDeviceJobs::ReadOut() {
    m_bLastJobOk = 0;
    if (RefuseUnlessConnected()) return;

    std::string path;
    if (!m_host.PromptSaveFile(&path)) {
        m_host.AppendLog(kMsgReadOutCancelled);
        return;
    }
    // Opened without truncating: an existing file is replaced only once the first block has
    // been read, so a target that refuses every read leaves the user's old file alone.
    FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) {
        m_host.AppendLog(kMsgReadOutOpenFailed);
        return;
    }
    unsigned long start = ClockMs();
    StartReadOutBar();

    std::string failure = CopyFlashToFile(file, path);
    if (!failure.empty()) {
        m_host.AppendLog(failure);
        m_host.StageEnded(JobStage::ReadOut, false);
        return;
    }
    m_host.StageEnded(JobStage::ReadOut, true);
    ReportReadOutDone(start, path);
    m_bLastJobOk = 1;
}

void CDeviceJobs::StartReadOutBar() {
    m_host.StageBegan(JobStage::ReadOut, ReadOutBlocks());
    m_host.AppendLog(kMsgReadOutStart);
}

std::string CDeviceJobs::CopyFlashToFile(FILE* file, const std::string& path) {
    std::string failure;
    uint32_t address = m_geometry.base;
    for (int n = 1; address < m_geometry.end; ++n, address += kReadBlock) {
        failure = CopyBlockToFile(n, address, &file, path);
        if (!failure.empty()) break;
    }
    // A close that fails after every block went in is put on the last block.
    if (file && std::fclose(file) != 0 && failure.empty()) {
        failure = Format(kMsgReadOutWriteFailed, address - kReadBlock);
    }
    return failure;
}

std::string CDeviceJobs::CopyBlockToFile(int n, uint32_t address, FILE** file,
                                         const std::string& path) {
    unsigned char block[kReadBlock];
    // Between two banks that do not meet there is nothing to read: erased, as a gap reads.
    const bool inGap = m_geometry.Known() && chips::UnitAt(m_geometry.units, address) == nullptr;
    if (inGap) {
        std::memset(block, 0xFF, sizeof block);
    } else if (!m_isp.ReadMemory(address, kReadBlock, block)) {
        return Format(kMsgReadOutReadFailed, address);
    }
    m_host.StageProgress(JobStage::ReadOut, n, ReadOutBlocks());
    if (n == 1) *file = std::freopen(path.c_str(), "wb", *file);
    if (!*file || !WriteBlock(*file, block, sizeof block)) {
        return Format(kMsgReadOutWriteFailed, address);
    }
    return std::string();
}

void CDeviceJobs::ReportReadOutDone(unsigned long start, const std::string& path) {
    m_host.AppendLog(Format(kMsgReadOutDone, static_cast<int>(ElapsedMs(start, ClockMs()))));
    m_host.AppendLog(kMsgReadOutSavedAt);
    m_host.FileSaved(path);
    m_host.AppendLog("\r\n");
}
