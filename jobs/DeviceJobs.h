// The connect procedure, the three jobs that the buttons run against the target, and the
// command line's further jobs.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ErasePlan.h"
#include "FlashGeometry.h"
#include "FlashImage.h"
#include "ImageFile.h"
#include "IspProtocol.h"
#include "JobHost.h"
#include "Messages.h"

class CStageScope;

// How the jobs learn the chip when the command line's identification is off.
enum class ChipPolicy {
    // Never asked: the fixed 64 KiB of 1 KiB pages and the strict 11-code Get.
    Fixed,
    // The dialog's way: Get ID after the connect. On the STM32F103 medium density it was made
    // for (product ID 0x410, basic erase) the fixed way goes on; a chip identified as the
    // command line does (without --chip or --flash-kib) is worked to its flash; on any other
    // the whole flash is still erased and programmed, page mode is refused and the read-out
    // is the fixed 64 KiB.
    Dialog,
};

// What the front end chose: the port and rate to connect with, and how to program.
struct JobOptions {
    std::string port;
    int baudRate = 0;
    std::string filePath;
    bool eraseAll = false;
    bool verify = false;
    bool runProgram = false;
    // After connecting, identify the chip and work to its flash (the command line); else
    // the chip policy below.
    bool identifyChip = false;
    ChipPolicy chipPolicy = ChipPolicy::Fixed;

    // The rest is the command line's; each default keeps the dialog's behaviour.
    // The chip the user named (a chip table key) and its flash size in KiB; empty and 0: none.
    // A named chip is still checked against what the bootloader says.
    std::string chipKey;
    uint32_t flashKiB = 0;
    // How the file is read (Program, VerifyFile): HEX alone as the dialog always has, or as
    // the command line asks (by content, or the kind given).
    ImageFormat imageFormat = ImageFormat::Hex;
    // Where a raw binary file's first byte goes; 0: the flash base.
    uint32_t binaryAddress = 0;
    // The read-out's range: from readAddress (0: the flash base) for readLength bytes (0: to
    // the end of the flash).
    uint32_t readAddress = 0;
    uint32_t readLength = 0;
    // The read-out goes into a temporary file beside the chosen one and replaces it only when
    // complete; a read-out that fails part-way keeps what was read under the chosen name with
    // ".partial" appended. Else the file is opened as the dialog has always done it.
    bool readOutSafely = false;
    // When set, the read-out goes straight into this stream (standard output, say, put in
    // binary mode by the caller), which is neither prompted for nor closed.
    std::FILE* readOutStream = nullptr;
    // Every block of the read-out is read twice; when the two differ it is read again until
    // two reads agree (at most four reads).
    bool readOutTwice = false;
    // How many more times a block that failed to be written, read back or read out is tried,
    // each after a resync.
    int retries = 0;
    // Failure lines say why (the bootloader refused, no answer, device gone), every failure is
    // logged (also a refused Go), and a verify difference is read once more before it counts.
    bool explainFailures = false;
    // No wait that the line does not need: none between an erase and the writes (the erase's
    // ACK says it is over), no reset pulse without a reset line, the named chip's own start-up
    // after the reset; and a named port that does not answer is tried once more with the
    // slowest start-up of any chip. Else the dialog's fixed waits.
    bool quickWaits = false;
    // Neighbouring erase units go in one erase command, as many as one command may name.
    bool eraseInRuns = false;
    // The bootloader's command list is logged on connecting.
    bool logBootloaderCommands = true;
    // The load line counts the file's own bytes and the chip's pages or sectors they fall
    // in; else the image's bytes and pages, as the dialog's line has always said.
    bool loadLineInChipUnits = false;
};

// How a job ended.
enum class JobOutcome {
    Done,     // it did all it set out to do
    Failed,   // it stopped at a failure, which it logged
    Stopped,  // RequestStop ended it; its port is closed
};

// Holds the link state and the options that the dialog (or the command line) sets; every
// operation runs to its end on the caller's thread and reports only through the host.
class CDeviceJobs {
public:
    // link: the line to the board, which the jobs open, talk through and close; it outlives
    // the jobs.
    CDeviceJobs(IJobHost& host, ILink& link);

    // The options as a whole, or one at a time as a dialog's controls change them.
    void SetOptions(const JobOptions& options) { m_options = options; }
    const JobOptions& Options() const { return m_options; }
    void SetPort(const std::string& port) { m_options.port = port; }
    void SetBaudRate(int baudRate) { m_options.baudRate = baudRate; }
    void SetFilePath(const std::string& filePath) { m_options.filePath = filePath; }
    void SetEraseAll(bool eraseAll) { m_options.eraseAll = eraseAll; }
    void SetVerify(bool verify) { m_options.verify = verify; }
    void SetRunProgram(bool runProgram) { m_options.runProgram = runProgram; }
    void SetIdentifyChip(bool identify) { m_options.identifyChip = identify; }
    void SetChipPolicy(ChipPolicy policy) { m_options.chipPolicy = policy; }

    bool IsConnected() const { return m_bConnected != 0; }
    // The flash the jobs work on: the identified chip's, or the fixed default.
    const FlashGeometry& Geometry() const { return m_geometry; }

    // One connect attempt on the named port; logs; leaves the connected flag to the callers.
    int Connect(const std::string& name);
    // One attempt on the named port alone, remembered as the port; no scan follows.
    void ConnectOnly(const std::string& name);
    // Closes an open port, connects on the option's port, and scans the other ports when that
    // fails.
    void Reconnect();
    // When the port is open: clears the connected flag and closes it. A port that closed by
    // itself leaves the flag as it is.
    void Disconnect();
    // Tries every other listed port until one connects.
    void ScanPorts(const std::string& failedName);

    // The jobs behind the buttons. Each first refuses while not connected.
    JobOutcome ReadChipInfo();
    JobOutcome Program();
    JobOutcome ReadOut();

    // The command line's jobs, which the dialog never runs. Each first refuses while not
    // connected and tells the host's Failed at its failure.
    // Loads the file as Program does and reads back the pages it gives data to; logs the
    // first differing address or success. Stage events: Verify.
    JobOutcome VerifyFile();
    // length 0: the whole flash, one mass erase awaited for the chip's worst case. Else the
    // identified chip's erase units that the range touches, neighbours in one command where
    // the options ask for runs (else one by one), each awaited for its units' worst cases;
    // refused without a known layout, or when the range is not all in the flash.
    // Stage events: Erase (one step per unit; none for the whole flash).
    JobOutcome EraseRange(uint32_t address, uint32_t length);
    // Go to the flash base, or to address; logs whether the bootloader took it.
    JobOutcome GoTo();
    JobOutcome GoTo(uint32_t address);
    // Lifts read-out protection (which erases the whole flash; not when the option bytes say
    // it is off: then it says so and is done) or write protection; sets
    // read-out protection. Each waits out the chip's reset (a mass erase's worst case after
    // read-out unprotect), connects again on the same port and says whether the target came
    // back; that is the job's outcome.
    JobOutcome Unprotect(bool readout);
    JobOutcome ProtectReadout();

    // From any thread: the job under way (or the next one) ends at its next wait, ends its
    // stage, closes the port and returns Stopped. It lasts for the life of these jobs: a run
    // that was stopped is over (the dialog never stops one).
    void RequestStop();
    bool StopRequested() const { return m_stopRequested.load(); }

    // How the link reaches the board: the lines the reset pulse drives. false (and the wiring
    // kept) when reset and boot name the same line.
    bool SetResetWiring(const ResetWiring& wiring) { return m_isp.SetResetWiring(wiring); }
    // Every line change and every byte sent and received, for a front end's trace.
    void SetLineObserver(CIspProtocol::LineObserver observer) {
        m_isp.SetLineObserver(std::move(observer));
    }
    void SetTrace(CIspProtocol::Trace trace) { m_isp.SetTrace(std::move(trace)); }
    // True once the board's device has gone away (unplugged), until the next connect.
    bool DeviceGone() const { return m_isp.DeviceGone(); }
    // The bootloader's command list from the last connect.
    std::vector<unsigned char> BootloaderCommands() const;
    // Frees the loaded image's pages (they are freed anyway when the jobs go).
    void FreeImage() { m_image.Clear(); }

private:
    // One read-out block: length bytes at address; in a gap between banks nothing is read.
    struct ReadBlock {
        uint32_t address;
        uint32_t length;
        bool gap;
    };
    // Receives each block read, numbered from 1; false when it could not keep it.
    using BlockSink = std::function<bool(int n, const unsigned char* bytes, uint32_t length)>;

    // Connect without its stage events.
    int OpenAndSync(const std::string& name);
    // The reset pulse's waits for the next connect; longest: the slowest chip's start-up.
    ResetTiming ConnectTiming(bool longest) const;
    // With identifyChip: learns the chip from its product ID and flash-size register (or the
    // chip and size the user named, checked against them) and sets the geometry. When the
    // layout cannot be known, NotKnown records what was seen; when what was seen contradicts
    // what the user named, m_contradiction holds the line that stops every job.
    void IdentifyChip();
    // The dialog's way: true when it connected to a chip it could not identify (m_unknownSeen
    // says what it saw), where only the whole flash and the fixed read-out are safe.
    bool DialogChipUnknown() const;
    // The chip's flash size in KiB: the register's, else the user's, else the chip's largest
    // (said in the command line's log); 0, with what was seen recorded, when it cannot be
    // settled.
    uint32_t SettleFlashSize(const chips::Chip& chip, bool named);
    // Records why the layout is not known, and what the user can do about it.
    void NotKnown(const std::string& seen, const Message& remedy);
    // The line that says so; lengthWouldDo: a range given with --length would also do.
    std::string NotKnownLine(bool lengthWouldDo) const;
    // With an identified chip: the chip's name, flash and read-out protection.
    void ReportChip();
    // The read-out protection level (0, 1 or 2) from the option bytes, with the RDP byte in
    // *rdpByte; -1 when the chip is not known or refuses the read (as a protected one does).
    int ReadProtectionLevel(uint8_t* rdpByte = nullptr);
    // Layout-dependent work: Failed, with what was seen and the remedy, when the layout is not
    // known; Done when it is.
    JobOutcome RequireLayout(bool lengthWouldDo = false);
    // Logs and returns true when the image has data where the identified chip has no flash.
    bool RefuseImageBeyondFlash();
    uint32_t BlocksPerPage() const { return m_geometry.pageSize / m_geometry.blockSize; }
    // Where the image's pages go and what erasing them means.
    PageLayout Layout() const;
    // Starts a job: clears its failure report; Failed, after logging the refusal, while the
    // link is down; Done otherwise.
    JobOutcome BeginJob();
    // Logs the job's failure line and, the first time in the job, tells the host's Failed.
    // Returns Failed.
    JobOutcome Fail(const std::string& line, int64_t address = -1);
    // After an operation on the line failed: Stopped when a stop was asked for (the port is
    // closed then and nothing is logged); otherwise Fail with the line, saying why when the
    // failures are explained.
    JobOutcome FailOnLine(const std::string& line, int64_t address = -1);
    // Tells only the host's Failed, for a failure the log does not show.
    void ReportFailure(const std::string& line, int64_t address);
    // Ends a stopped job: closes the port; returns Stopped.
    JobOutcome EndStopped();
    // op, and when it fails up to retries more times, each after a resync; logs each retry.
    bool Retried(uint32_t address, const std::function<int()>& op);
    // Sleeps ms on the link's clock; a stop ends it early.
    void Pause(unsigned long ms);
    // Loads the file setting in the chosen format; logs what it loaded or why not.
    bool LoadImage();
    // With loadLineInChipUnits: the load line in the file's bytes and the chip's units.
    std::string LoadedInUnitsLine() const;
    // Closes the port, connects on it again (logging as a connect does) and sets the flag.
    int ConnectAgain();
    // The protection jobs' common part: the command's outcome logged, the reset waited for,
    // the reconnect.
    JobOutcome AfterProtectionCommand(bool sent, const char* doneText, const char* failedText,
                                      unsigned long resetWaitMs);
    // A mass erase's worst case: the identified chip's, else the longest any chip needs.
    unsigned long MassEraseWaitMs() const;
    // Calls visit(page, block, address) for each block of the pages the plan writes, in
    // order, with the stage's progress after each, and pageDone(page) (when given) once a
    // page's blocks are all on the bar; stops at the first call that fails.
    JobOutcome ForEachBlock(
        const CErasePlan& plan, CStageScope& stage,
        const std::function<JobOutcome(uint32_t imagePage, uint32_t block, uint32_t address)>&
            visit,
        const std::function<JobOutcome(uint32_t imagePage)>& pageDone = nullptr);
    // Programming stages; each logs its one failure.
    JobOutcome WritePages(const CErasePlan& plan);
    JobOutcome VerifyPages(const CErasePlan& plan);
    // Reads a verify block again after a difference; the failure it makes.
    JobOutcome VerifyDifference(uint32_t blockAddress, uint32_t offset, const unsigned char* read);
    // Read-out steps. The blocks of the chosen range: Failed, logged, when it cannot be read.
    JobOutcome PlanReadOut();
    // The bytes the planned blocks hold.
    uint64_t ReadOutBytes() const;
    // Reads one block (twice or more with readOutTwice) into bytes; false when it failed,
    // with *unstable set when the reads never agreed.
    bool ReadBlockOnce(const ReadBlock& block, unsigned char* bytes, bool* unstable);
    // Reads every block into sink, with the stage's progress; a failure comes back with its
    // log line in *failure and its address in *failedAt (nothing is logged here). *bytesKept
    // counts the bytes the sink took.
    JobOutcome CopyBlocks(CStageScope& stage, const BlockSink& sink, std::string* failure,
                          uint32_t* failedAt, uint32_t* bytesKept);
    // The dialog's way: the file opened for appending is replaced at the first block read.
    JobOutcome ReadOutToFile(std::FILE* file, const std::string& path);
    JobOutcome ReadOutSafely(const std::string& path);
    JobOutcome ReadOutToStream();
    // After a safe read-out failed: keeps the bytes read under path + ".partial" and says
    // which they are, or removes the temporary file when nothing was read.
    void KeepPartialReadOut(const std::string& temporary, const std::string& path, uint32_t kept);
    void ReportReadOutDone(unsigned long start, const std::string& path);
    // Now on the link's clock, in ms.
    unsigned long NowMs() { return static_cast<unsigned long>(m_isp.Clock().NowMs()); }

    IJobHost& m_host;
    CIspProtocol m_isp;
    FlashImage m_image;
    JobOptions m_options;
    FlashGeometry m_geometry;
    // Why the flash layout is not known after identifying, and the remedy (empty and null
    // when it is known, or when the chip was not identified at all).
    std::string m_unknownSeen;
    const Message* m_unknownRemedy = nullptr;
    // What the chip says against the chip or size the user named; it stops every job.
    std::string m_contradiction;
    int m_bConnected = 0;
    // The last connect attempt opened its port (so what failed was the bootloader).
    bool m_portOpened = false;
    bool m_failureReported = false;
    std::atomic<bool> m_stopRequested{false};
    std::vector<ReadBlock> m_readBlocks;
};
