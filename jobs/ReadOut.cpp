// Read-out: a range of the flash (all of it by default: the first 64 KiB unless a chip was
// identified) into a raw binary file, or a stream.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "DeviceJobs.h"
#include "FileReplace.h"
#include "Format.h"
#include "Messages.h"
#include "StageScope.h"

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

// A new file beside target (so that the rename stays on one volume), under a name nobody
// uses yet, with target's permissions.
FILE* CreateBeside(const std::string& target, std::string* name) {
    for (int n = 0; n < 1000; ++n) {
        *name = target + ".kestrel-tmp" + (n == 0 ? "" : std::to_string(n));
        bool taken = false;
        FILE* file = CreateNewFile(*name, target, &taken);
        if (file != nullptr || !taken) return file;
    }
    return nullptr;
}

}  // namespace

JobOutcome CDeviceJobs::ReadOut() {
    JobOutcome outcome = BeginJob();
    if (outcome == JobOutcome::Done) outcome = PlanReadOut();
    if (outcome != JobOutcome::Done) return outcome;
    if (m_options.readOutStream != nullptr) return ReadOutToStream();

    std::string path;
    if (!m_host.PromptSaveFile(&path)) return Fail(kMsgReadOutCancelled);
    if (m_options.readOutSafely) return ReadOutSafely(path);
    // Opened without truncating: an existing file is replaced only once the first block has
    // been read, so a target that refuses every read leaves the user's old file alone.
    FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) return Fail(kMsgReadOutOpenFailed);
    if (DialogChipUnknown()) {
        const uint32_t kib = (m_geometry.end - m_geometry.base) / 1024;
        m_host.AppendLog(Format(kMsgReadOutFixedSize, m_unknownSeen.c_str(), kib));
    }
    return ReadOutToFile(file, path);
}

JobOutcome CDeviceJobs::PlanReadOut() {
    const FlashGeometry& g = m_geometry;
    m_readBlocks.clear();
    // The whole flash is as much as its size: without it, only a range the user gives.
    if (m_options.identifyChip && m_options.readLength == 0) {
        const JobOutcome outcome = RequireLayout(true);
        if (outcome != JobOutcome::Done) return outcome;
    }
    const uint32_t from = m_options.readAddress != 0 ? m_options.readAddress : g.base;
    const uint64_t to =
        m_options.readLength != 0 ? uint64_t{from} + m_options.readLength : uint64_t{g.end};
    if (to <= from || to > UINT64_C(0x100000000)) {
        return Fail(Format(kMsgReadRangeInvalid, from, m_options.readLength), from);
    }
    // A range that starts in the flash ends there too (other memory, read on its own, is fine).
    if (g.Known() && from >= g.base && from < g.end && to > g.end) {
        return Fail(Format(kMsgRangePastFlash, from, m_options.readLength, g.end), from);
    }
    for (uint64_t at = from; at < to;) {
        const uint32_t address = static_cast<uint32_t>(at);
        const uint32_t length =
            SameSide(g, address, static_cast<uint32_t>(std::min<uint64_t>(kReadBlock, to - at)));
        m_readBlocks.push_back(ReadBlock{address, length, InGap(g, address)});
        at += length;
    }
    return JobOutcome::Done;
}

uint64_t CDeviceJobs::ReadOutBytes() const {
    uint64_t bytes = 0;
    for (const ReadBlock& block : m_readBlocks) bytes += block.length;
    return bytes;
}

bool CDeviceJobs::ReadBlockOnce(const ReadBlock& block, unsigned char* bytes, bool* unstable) {
    *unstable = false;
    const auto readInto = [&](unsigned char* into) {
        return Retried(block.address, [&] {
            return m_isp.ReadMemory(block.address, static_cast<uint16_t>(block.length), into);
        });
    };
    if (!readInto(bytes)) return false;
    if (!m_options.readOutTwice) return true;
    // Read Memory has no checksum: a block counts once two reads of it agree.
    constexpr int kMostReads = 4;
    unsigned char reads[kMostReads][kReadBlock];
    std::memcpy(reads[0], bytes, block.length);
    for (int n = 1; n < kMostReads; ++n) {
        if (!readInto(reads[n])) return false;
        for (int earlier = 0; earlier < n; ++earlier) {
            if (std::memcmp(reads[n], reads[earlier], block.length) == 0) {
                std::memcpy(bytes, reads[n], block.length);
                return true;
            }
        }
    }
    *unstable = true;
    return false;
}

JobOutcome CDeviceJobs::CopyBlocks(CStageScope& stage, const BlockSink& sink, std::string* failure,
                                   uint32_t* failedAt, uint32_t* bytesKept) {
    *bytesKept = 0;
    const int total = static_cast<int>(m_readBlocks.size());
    uint64_t doneBytes = 0;
    unsigned char bytes[kReadBlock];
    for (int n = 1; n <= total; ++n) {
        const ReadBlock& block = m_readBlocks[static_cast<size_t>(n - 1)];
        *failedAt = block.address;
        bool unstable = false;
        // Between two banks that do not meet there is nothing to read: erased, as a gap reads.
        if (block.gap) {
            std::memset(bytes, 0xFF, block.length);
        } else if (!ReadBlockOnce(block, bytes, &unstable)) {
            if (m_stopRequested) return JobOutcome::Stopped;
            *failure =
                Format(unstable ? kMsgReadOutUnstable : kMsgReadOutReadFailed, block.address);
            return JobOutcome::Failed;
        }
        doneBytes += block.length;
        stage.Progress(n, doneBytes);
        if (!sink(n, bytes, block.length)) {
            *failure = Format(kMsgReadOutWriteFailed, block.address);
            return JobOutcome::Failed;
        }
        *bytesKept += block.length;
    }
    return JobOutcome::Done;
}

JobOutcome CDeviceJobs::ReadOutToFile(FILE* file, const std::string& path) {
    const unsigned long start = NowMs();
    CStageScope stage(m_host, JobStage::ReadOut, static_cast<int>(m_readBlocks.size()),
                      ReadOutBytes());
    m_host.AppendLog(kMsgReadOutStart);
    uint32_t failedAt = 0, kept = 0;
    std::string failure;
    JobOutcome outcome = CopyBlocks(
        stage,
        [&](int n, const unsigned char* bytes, uint32_t length) {
            if (n == 1) file = std::freopen(path.c_str(), "wb", file);
            return file != nullptr && WriteBlock(file, bytes, length);
        },
        &failure, &failedAt, &kept);
    // A close that fails after every block went in is put on the last block.
    if (file && std::fclose(file) != 0 && outcome == JobOutcome::Done) {
        failure = Format(kMsgReadOutWriteFailed, failedAt);
        outcome = JobOutcome::Failed;
    }
    if (outcome == JobOutcome::Stopped) return EndStopped();
    if (outcome != JobOutcome::Done) return FailOnLine(failure, failedAt);
    stage.Succeed();
    stage.End();
    ReportReadOutDone(start, path);
    return JobOutcome::Done;
}

JobOutcome CDeviceJobs::ReadOutSafely(const std::string& path) {
    // A link is followed: the file it names is replaced, the link stays.
    const std::string target = FollowLinks(path);
    std::string temporary;
    FILE* file = CreateBeside(target, &temporary);
    if (!file) return Fail(kMsgReadOutOpenFailed);
    const unsigned long start = NowMs();
    CStageScope stage(m_host, JobStage::ReadOut, static_cast<int>(m_readBlocks.size()),
                      ReadOutBytes());
    m_host.AppendLog(kMsgReadOutStart);
    uint32_t failedAt = 0, kept = 0;
    std::string failure;
    JobOutcome outcome = CopyBlocks(
        stage,
        [&](int, const unsigned char* bytes, uint32_t length) {
            return WriteBlock(file, bytes, length);
        },
        &failure, &failedAt, &kept);
    if (std::fclose(file) != 0 && outcome == JobOutcome::Done) {
        failure = Format(kMsgReadOutWriteFailed, failedAt);
        outcome = JobOutcome::Failed;
    }
    if (outcome != JobOutcome::Done) {
        if (outcome == JobOutcome::Failed) outcome = FailOnLine(failure, failedAt);
        stage.End();
        // Stopped or failed, the target is left as it was; what was read is kept apart.
        KeepPartialReadOut(temporary, target, kept);
        return outcome == JobOutcome::Stopped ? EndStopped() : outcome;
    }
    if (!PutFileInPlace(temporary, target)) {
        // Complete, but the old file stays in the way: say where the bytes are.
        stage.End();
        m_host.AppendLog(kMsgReadOutReplaceFailed);
        m_host.FileSaved(temporary);
        m_host.AppendLog("\r\n");
        ReportFailure(kMsgReadOutReplaceFailed.Text() + temporary, -1);
        return JobOutcome::Failed;
    }
    stage.Succeed();
    stage.End();
    ReportReadOutDone(start, path);
    return JobOutcome::Done;
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

JobOutcome CDeviceJobs::ReadOutToStream() {
    const unsigned long start = NowMs();
    CStageScope stage(m_host, JobStage::ReadOut, static_cast<int>(m_readBlocks.size()),
                      ReadOutBytes());
    m_host.AppendLog(kMsgReadOutStart);
    FILE* stream = m_options.readOutStream;
    uint32_t failedAt = 0, kept = 0;
    std::string failure;
    const JobOutcome outcome = CopyBlocks(
        stage,
        [&](int, const unsigned char* bytes, uint32_t length) {
            return WriteBlock(stream, bytes, length);
        },
        &failure, &failedAt, &kept);
    if (outcome == JobOutcome::Stopped) return EndStopped();
    if (outcome != JobOutcome::Done) return FailOnLine(failure, failedAt);
    stage.Succeed();
    stage.End();
    m_host.AppendLog(Format(kMsgReadOutDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    return JobOutcome::Done;
}

void CDeviceJobs::ReportReadOutDone(unsigned long start, const std::string& path) {
    m_host.AppendLog(Format(kMsgReadOutDone, static_cast<int>(ElapsedMs(start, NowMs()))));
    m_host.AppendLog(kMsgReadOutSavedAt);
    m_host.FileSaved(path);
    m_host.AppendLog("\r\n");
}
