// The jobs' host for a terminal: log lines to standard output in the console's encoding,
// a progress bar drawn from the stage events on standard error when it is a terminal, a fixed port
// list, the read-out path given on the command line, and the remembered port in the settings file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Hints.h"
#include "JobHost.h"
#include "LatencyTimer.h"

// Held by every write to the terminal, so that a line from another thread (an interrupt)
// never lands inside a half-drawn bar or a half-written log line.
std::mutex& TerminalOutputLock();

// Why a port did not open (an OpenFailure), for a person: "permission denied".
std::string OpenFailureText(int reason);

// The line (without its end, converted by convert) that tells what opening a port did about
// the adapter's latency timer; empty when there is nothing to say. A hint to lower it by hand
// always; with verbose also that it was lowered, or why it could not be.
std::string LatencyTimerLine(const LatencyTimerNote& note, bool verbose,
                             ToOutput convert = nullptr);

class CTerminalHost : public IJobHost {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // logTo: standard output, or standard error when the data itself goes to standard output.
    CTerminalHost(std::vector<std::string> ports, std::string settingsFile, bool showProgress,
                  std::FILE* logTo = stdout);
    // Virtual: the JSON host is held and deleted as a terminal host.
    virtual ~CTerminalHost();

    // Where the bar and the stages' closing lines go (standard error), and the clock they are
    // timed by; for a test.
    void SetBarOutput(std::FILE* to, Clock clock);

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
    void StageBytes(JobStage stage, uint64_t doneBytes, uint64_t totalBytes) override;
    void StageEnded(JobStage stage, bool ok) override;
    void FileSaved(const std::string& path) override;
    int PortCount() override { return static_cast<int>(m_ports.size()); }
    std::string PortAt(int index) override;
    void SelectPort(int /*index*/) override {}
    bool PromptSaveFile(std::string* path) override;
    void StorePort(const std::string& port) override;
    void PortOpenFailed(const std::string& name, int reason) override;
    void Failed(const std::string& what, int64_t address) override;

    // What hints and the command line's own texts are converted with for this host's output.
    virtual ToOutput Converter() const;
    // A message of the command line's own (without "kestrel-isp: ", converted) and its hint
    // (converted; may be empty): two lines on standard error here, a warning in JSON.
    virtual void Say(const std::string& line, const std::string& hint);
    // Why the run failed where the jobs told no failure (no port, no bootloader): here the
    // line (unless empty: the log has said it) and the hint; in JSON the error object.
    virtual void SayFailure(const std::string& line, const std::string& hint);
    // A line of the --verbose trace (without "kestrel-isp: ").
    virtual void Trace(const std::string& text);

    // The connect attempts so far that opened their port (so what failed was the
    // bootloader), and the last port that did not open, with its hint.
    int PortsOpened() const { return m_connectTries - m_openFailures; }
    const std::string& LastOpenFailure() const { return m_lastOpenFailure; }
    const std::string& LastOpenHint() const { return m_lastOpenHint; }

    // With TerminalOutputLock() held: clears the bar and ends the unfinished log line, so
    // that the next thing written starts on a line of its own.
    void EndOutputLocked();

protected:
    // Counts a connect attempt; every host's StageBegan calls it.
    void CountStage(JobStage stage);
    // Records a port that did not open: the message and hint Say gets, and for
    // LastOpenFailure.
    void CountOpenFailure(const std::string& name, int reason, std::string* line,
                          std::string* hint);

private:
    void AppendLocked(const std::string& consoleText);
    // Lines on standard error, with the board's prefix; the hint's after "hint: ". endLogLine:
    // a log line left open is ended first.
    void WriteMessageLocked(const std::string& line, const std::string& hint, bool endLogLine);
    // Redraws the bar once a second, so that a long erase shows its time going by.
    void Tick();
    void DrawBar();
    void ClearBar();
    double StageSeconds() const;

    std::vector<std::string> m_ports;
    std::string m_settingsFile;
    std::string m_savePath;
    std::string m_board;
    std::string m_linePrefix;
    bool m_showProgress;
    std::FILE* m_logTo;
    std::FILE* m_barTo = stderr;
    Clock m_now = std::chrono::steady_clock::now;
    size_t m_barShown = 0;  // the length of the bar on the screen; 0: none
    std::string m_pending;  // log text of a line not yet ended
    bool m_hasBar = false;  // the stage under way has a bar
    JobStage m_stage = JobStage::Connect;
    // The bytes of the stage under way (StageBytes comes before the event it goes with).
    bool m_bytesTold = false;
    uint64_t m_doneBytes = 0;
    uint64_t m_totalBytes = 0;
    std::chrono::steady_clock::time_point m_stageStart;
    int m_connectTries = 0;
    int m_openFailures = 0;
    std::string m_lastOpenFailure;
    std::string m_lastOpenHint;
    bool m_stopTicking = false;
    std::condition_variable m_tickWake;
    std::thread m_ticker;  // only while the bar is shown at all
};
