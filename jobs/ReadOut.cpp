// Read-out: a range of the flash (all of it by default: the first 64 KiB unless a chip was
// identified) into a raw binary file, or a stream.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Clock.h"
#include "DeviceJobs.h"
#include "FileReplace.h"
#include "Format.h"
#include "Messages.h"

namespace {

constexpr uint32_t kReadBlock = 256;

// One block into the file, pushed through the stdio buffer so that a full disk is seen
// at the block it hit rather than at close, after the success message.
bool WriteBlock(FILE* file, const unsigned char* block, size_t size) {
    return std::fwrite(block, size, 1, file) == 1 && std::fflush(file) == 0;
}

// Inside the flash's span but in no unit: between two banks that do not meet.
bool InGap(const FlashGeometry& g, uint64_t address) {
    return g.Known() && address >= g.base && address < g.end &&
           chips::UnitAt(g.units, static_cast<uint32_t>(address)) == nullptr;
}

// The first length bytes from address on, cut where a gap starts or ends: a read must not
// run into a gap, and a gap block holds nothing to read.
uint32_t SameSide(const FlashGeometry& g, uint32_t address, uint32_t length) {
    if (!g.Known()) return length;
    const bool gap = InGap(g, address);
    for (const chips::EraseUnit& unit : g.units) {
        for (const uint64_t edge : {uint64_t{unit.address}, uint64_t{unit.address} + unit.size}) {
            if (edge > address && edge < uint64_t{address} + length && InGap(g, edge) != gap) {
                length = static_cast<uint32_t>(edge - address);
            }
        }
    }
    return length;
}

bool Exists(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

// A name beside path (so that the rename stays on one volume) that no file has yet.
std::string TemporaryBeside(const std::string& path) {
    for (int n = 0;; ++n) {
        const std::string name = path + ".kestrel-tmp" + (n == 0 ? "" : std::to_string(n));
        if (!Exists(name)) return name;
    }
}

}  // namespace

void CDeviceJobs::ReadOut() {
    if (!BeginJob() || !PlanReadOut()) return;
    if (m_options.readOutStream != nullptr) {
        ReadOutToStream();
        return;
    }

    std::string path;
    if (!m_host.PromptSaveFile(&path)) {
        Fail(kMsgReadOutCancelled);
        return;
    }
    if (m_options.readOutSafely) {
        ReadOutSafely(path);
        return;
    }
    // Opened without truncating: an existing file is replaced only once the first block has
    // been read, so a target that refuses every read leaves the user's old file alone.
    FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) {
        Fail(kMsgReadOutOpenFailed);
        return;
    }
    ReadOutToFile(file, path);
}

bool CDeviceJobs::PlanReadOut() {
    const FlashGeometry& g = m_geometry;
    const uint32_t from = m_options.readAddress != 0 ? m_options.readAddress : g.base;
    const uint64_t to =
        m_options.readLength != 0 ? uint64_t{from} + m_options.readLength : uint64_t{g.end};
    m_readBlocks.clear();
    if (to <= from || to > UINT64_C(0x100000000)) {
        Fail(Format(kMsgReadRangeInvalid, from, m_options.readLength), from);
        return false;
    }
    for (uint64_t at = from; at < to;) {
        const uint32_t address = static_cast<uint32_t>(at);
        const uint32_t length =
            SameSide(g, address, static_cast<uint32_t>(std::min<uint64_t>(kReadBlock, to - at)));
        m_readBlocks.push_back(ReadBlock{address, length, InGap(g, address)});
        at += length;
    }
    return true;
}

void CDeviceJobs::StartReadOutBar() {
    m_host.StageBegan(JobStage::ReadOut, static_cast<int>(m_readBlocks.size()));
    m_host.AppendLog(kMsgReadOutStart);
}

std::string CDeviceJobs::CopyBlocks(const BlockSink& sink, uint32_t* failedAt,
                                    uint32_t* bytesKept) {
    *bytesKept = 0;
    const int total = static_cast<int>(m_readBlocks.size());
    unsigned char bytes[kReadBlock];
    for (int n = 1; n <= total; ++n) {
        const ReadBlock& block = m_readBlocks[static_cast<size_t>(n - 1)];
        *failedAt = block.address;
        const auto read = [&] {
            return m_isp.ReadMemory(block.address, static_cast<uint16_t>(block.length), bytes);
        };
        // Between two banks that do not meet there is nothing to read: erased, as a gap reads.
        if (block.gap) {
            std::memset(bytes, 0xFF, block.length);
        } else if (!Retried(block.address, read)) {
            return Format(kMsgReadOutReadFailed, block.address);
        }
        m_host.StageProgress(JobStage::ReadOut, n, total);
        if (!sink(n, bytes, block.length)) return Format(kMsgReadOutWriteFailed, block.address);
        *bytesKept += block.length;
    }
    return std::string();
}

void CDeviceJobs::ReadOutToFile(FILE* file, const std::string& path) {
    const unsigned long start = NowMs();
    StartReadOutBar();
    uint32_t failedAt = 0, kept = 0;
    std::string failure = CopyBlocks(
        [&](int n, const unsigned char* bytes, uint32_t length) {
            if (n == 1) file = std::freopen(path.c_str(), "wb", file);
            return file != nullptr && WriteBlock(file, bytes, length);
        },
        &failedAt, &kept);
    // A close that fails after every block went in is put on the last block.
    if (file && std::fclose(file) != 0 && failure.empty()) {
        failure = Format(kMsgReadOutWriteFailed, failedAt);
    }
    if (!failure.empty()) {
        ReadOutFailed(failure, failedAt);
        return;
    }
    m_host.StageEnded(JobStage::ReadOut, true);
    ReportReadOutDone(start, path);
    m_bLastJobOk = 1;
}

void CDeviceJobs::ReadOutSafely(const std::string& path) {
    const std::string temporary = TemporaryBeside(path);
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        Fail(kMsgReadOutOpenFailed);
        return;
    }
    const unsigned long start = NowMs();
    StartReadOutBar();
    uint32_t failedAt = 0, kept = 0;
    std::string failure =
        CopyBlocks([&](int, const unsigned char* bytes,
                       uint32_t length) { return WriteBlock(file, bytes, length); },
                   &failedAt, &kept);
    if (std::fclose(file) != 0 && failure.empty()) {
        failure = Format(kMsgReadOutWriteFailed, failedAt);
    }
    if (!failure.empty()) {
        ReadOutFailed(failure, failedAt);
        KeepPartialReadOut(temporary, path, kept);
        return;
    }
    if (!PutFileInPlace(temporary, path)) {
        // Complete, but the old file stays in the way: say where the bytes are.
        m_host.AppendLog(kMsgReadOutReplaceFailed);
        m_host.FileSaved(temporary);
        m_host.AppendLog("\r\n");
        ReportFailure(kMsgReadOutReplaceFailed.Text() + temporary, -1);
        m_host.StageEnded(JobStage::ReadOut, false);
        return;
    }
    m_host.StageEnded(JobStage::ReadOut, true);
    ReportReadOutDone(start, path);
    m_bLastJobOk = 1;
}

void CDeviceJobs::KeepPartialReadOut(const std::string& temporary, const std::string& path,
                                     uint32_t kept) {
    if (kept == 0) {
        std::remove(temporary.c_str());
        return;
    }
    const std::string partial = path + ".partial";
    const uint32_t from = m_readBlocks.front().address;
    m_host.AppendLog(Format(kMsgReadOutPartial, from, from + kept - 1));
    m_host.FileSaved(PutFileInPlace(temporary, partial) ? partial : temporary);
    m_host.AppendLog("\r\n");
}

void CDeviceJobs::ReadOutToStream() {
    const unsigned long start = NowMs();
    StartReadOutBar();
    FILE* stream = m_options.readOutStream;
    uint32_t failedAt = 0, kept = 0;
    const std::string failure =
        CopyBlocks([&](int, const unsigned char* bytes,
                       uint32_t length) { return WriteBlock(stream, bytes, length); },
                   &failedAt, &kept);
    if (!failure.empty()) {
        ReadOutFailed(failure, failedAt);
        return;
    }
    m_host.StageEnded(JobStage::ReadOut, true);
    m_host.AppendLog(Format(kMsgReadOutDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    m_bLastJobOk = 1;
}

void CDeviceJobs::ReadOutFailed(const std::string& failure, uint32_t address) {
    Fail(failure, address);
    m_host.StageEnded(JobStage::ReadOut, false);
}

void CDeviceJobs::ReportReadOutDone(unsigned long start, const std::string& path) {
    m_host.AppendLog(Format(kMsgReadOutDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    m_host.AppendLog(kMsgReadOutSavedAt);
    m_host.FileSaved(path);
    m_host.AppendLog("\r\n");
}
