// The connect procedure and the three jobs that the buttons run against the target.
#pragma once

#include <cstdio>
#include <string>

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
};

// Holds the link state and the options that the dialog (or the command line) sets; every
// operation runs to its end on the caller's thread and reports only through the host.
class CDeviceJobs {
public:
    static constexpr uint32_t kFlashBase = 0x08000000;
    static constexpr uint32_t kPageSize = 1024;
    static constexpr uint32_t kBlockSize = 256;
    static constexpr uint32_t kReadOutEnd = 0x08010000;

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

    bool IsConnected() const { return m_bConnected != 0; }

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
    int m_bConnected = 0;
    int m_bLastJobOk = 0;
};
