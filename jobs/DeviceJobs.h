// The connect procedure and the three jobs that the buttons run against the target.
#pragma once

#include <cstdio>
#include <string>

#include "FlashGeometry.h"
#include "FlashImage.h"
#include "IspProtocol.h"
#include "JobHost.h"

class CErasePlan;

// What the front end chose: the port and rate to connect with, and how to program.
struct JobOptions {
    std::string port;
    int baudRate = 0;
    std::string filePath;
    bool eraseAll = false;
    bool verify = false;
    bool runProgram = false;
    // After connecting, identify the chip and work to its flash (the command line); else
    // the fixed geometry and the strict 11-code Get the dialog has always used.
    bool identifyChip = false;
};

// Holds the link state and the options that the dialog (or the command line) sets; every
// operation runs to its end on the caller's thread and reports only through the host.
class CDeviceJobs {
public:
    explicit CDeviceJobs(IJobHost& host);

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
    void ReadChipInfo();
    void Program();
    void ReadOut();

    // Outcome of the last job: 1 when it did all it set out to do (program: every chosen
    // stage including Go; read-out: the complete file; chip info: both replies).
    int LastJobSucceeded() const { return m_bLastJobOk; }

    CIspProtocol m_isp;
    FlashImage m_image;

private:
    // Connect without its stage events.
    int OpenAndSync(const std::string& name);
    // With identifyChip: learns the chip from its product ID and flash-size register and
    // sets the geometry; logs only what it had to assume.
    void IdentifyChip();
    // With an identified chip: the chip's name, flash and read-out protection.
    void ReportChip();
    // Logs and returns true when the image has data where the identified chip has no flash.
    bool RefuseImageBeyondFlash();
    int ReadOutBlocks() const { return static_cast<int>((m_geometry.end - m_geometry.base) / 256); }
    uint32_t BlocksPerPage() const { return m_geometry.pageSize / m_geometry.blockSize; }
    // Logs the refusal and returns true while the link is down.
    bool RefuseUnlessConnected();
    // Programming stages; each returns false after logging its one failure.
    bool WritePages(const CErasePlan& plan, int blockCount);
    bool VerifyPages(const CErasePlan& plan, int blockCount);
    // Read-out steps. The copy replaces the file at the first block read and closes it; a
    // failure comes back as its log line, success as "".
    void StartReadOutBar();
    std::string CopyFlashToFile(std::FILE* file, const std::string& path);
    std::string CopyBlockToFile(int n, uint32_t address, std::FILE** file, const std::string& path);
    void ReportReadOutDone(unsigned long start, const std::string& path);

    IJobHost& m_host;
    JobOptions m_options;
    FlashGeometry m_geometry;
    int m_bConnected = 0;
    int m_bLastJobOk = 0;
};
