// The jobs' host for a terminal: log lines to standard output in the console's encoding,
// a progress bar drawn from the stage events on standard error when it is a terminal, a fixed port
// list, the read-out path given on the command line, and the remembered port in the settings file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "JobHost.h"
#include "LatencyTimer.h"

// Held by every write to the terminal, so that a line from another thread (an interrupt)
// never lands inside a half-drawn bar or a half-written log line.
std::mutex& TerminalOutputLock();

// Why a port did not open (an OpenFailure), for a person; group owns the device when known.
std::string OpenFailureText(int reason, const std::string& group);

// The line (without its end, in the console's encoding) that tells what opening a port did
// about the adapter's latency timer; empty when there is nothing to say. A hint to lower it
// by hand always; with verbose also that it was lowered, or why it could not be.
std::string LatencyTimerLine(const LatencyTimerNote& note, bool verbose);

class CTerminalHost : public IJobHost {
public:
    // logTo: standard output, or standard error when the data itself goes to standard output.
    CTerminalHost(std::vector<std::string> ports, std::string settingsFile, bool showProgress,
                  std::FILE* logTo = stdout);
    // Virtual: the JSON host is held and deleted as a terminal host.
    virtual ~CTerminalHost();

    // The path the read-out job will be given instead of a prompt.
    void SetSavePath(const std::string& path) { m_savePath = path; }

    // One of several boards, on port: every line this host writes, log and message alike,
    // starts with the board's prefix (the JSON host's objects get a "port" member instead).
    void SetBoard(const std::string& port);
    const std::string& Board() const { return m_board; }
    // What this host's text lines start with: empty for a board alone.
    const std::string& LinePrefix() const { return m_linePrefix; }

    void AppendLog(const std::string& text) override;
    void AppendHexLog(const unsigned char* bytes, int count) override;
    void StageBegan(JobStage stage, int total) override;
    void StageProgress(JobStage stage, int done, int total) override;
    void StageEnded(JobStage stage, bool ok) override;
    void FileSaved(const std::string& path) override;
    int PortCount() override { return static_cast<int>(m_ports.size()); }
    std::string PortAt(int index) override;
    void SelectPort(int /*index*/) override {}
    bool PromptSaveFile(std::string* path) override;
    void StorePort(const std::string& port) override;
    void PortOpenFailed(const std::string& name, int reason) override;

    // With TerminalOutputLock() held: clears the bar and ends the unfinished log line, so
    // that the next thing written starts on a line of its own.
    void EndOutputLocked();

private:
    void AppendLocked(const std::string& consoleText);
    // Redraws the bar once a second, so that a long erase shows its time going by.
    void Tick();
    void DrawBar();
    void ClearBar();

    std::vector<std::string> m_ports;
    std::string m_settingsFile;
    std::string m_savePath;
    std::string m_board;
    std::string m_linePrefix;
    bool m_showProgress;
    std::FILE* m_logTo;
    bool m_barShown = false;
    std::string m_pending;          // log text of a line not yet ended
    const char* m_stage = nullptr;  // shown beside the bar; none: no bar
    int m_total = 1;
    int m_done = 0;
    std::chrono::steady_clock::time_point m_stageStart;
    bool m_stopTicking = false;
    std::condition_variable m_tickWake;
    std::thread m_ticker;  // only while the bar is shown at all
};
