// What the device jobs need of a front end: the log, what the job is doing (stage events),
// the port list, a save-file prompt and the write of the remembered port. The dialog
// implements it with its controls, the command line with the terminal, the tests with a
// recorder.
#pragma once

#include <cstdint>
#include <string>

// What a job is doing, in the order a programming job does it.
enum class JobStage { Connect, Erase, Write, Verify, Run, ReadOut };

// "connect", "erase", "write", "verify", "run", "read-out".
inline const char* JobStageName(JobStage stage) {
    static const char* const names[] = {"connect", "erase", "write", "verify", "run", "read-out"};
    return names[static_cast<int>(stage)];
}

class IJobHost {
public:
    // Appends GBK text at the end of the log, adding no line break.
    virtual void AppendLog(const std::string& text) = 0;
    // Appends each byte as "%02X " (no line break).
    virtual void AppendHexLog(const unsigned char* bytes, int count) = 0;

    // A stage began; total is its number of steps (0 for a stage that has none).
    virtual void StageBegan(JobStage stage, int total) = 0;
    // done of the stage's total steps are behind it.
    virtual void StageProgress(JobStage stage, int done, int total) = 0;
    // For a stage whose steps carry bytes (write, verify, read-out, an erase of units): the
    // bytes behind the steps done and the stage's total, told just before the StageBegan
    // (0 done) or StageProgress they go with. For a front end that shows bytes and rates.
    virtual void StageBytes(JobStage /*stage*/, uint64_t /*doneBytes*/, uint64_t /*totalBytes*/) {}
    // The stage ended; ok is false when it is the one that failed the job.
    virtual void StageEnded(JobStage stage, bool ok) = 0;
    // The read-out's file, named in the log after the saved-at text (or, after a safe
    // read-out failed part-way, the file that keeps what was read, after the text that says
    // which bytes it holds). The path is the user's own text, in the encoding it was given in.
    virtual void FileSaved(const std::string& path) = 0;

    // Port list in its displayed order.
    virtual int PortCount() = 0;
    // Text of entry index; empty when the index is not valid.
    virtual std::string PortAt(int index) = 0;
    virtual void SelectPort(int index) = 0;

    // Asks for the read-out file. false when the user cancelled (or no prompt could be shown).
    virtual bool PromptSaveFile(std::string* path) = 0;

    // Remembers the port that a scan connected on (the "COMM" setting).
    virtual void StorePort(const std::string& port) = 0;

    // Called after the open-failure log line, with the port's LastOpenFailure(), for a
    // front end that can say why; the dialog's log line says enough.
    virtual void PortOpenFailed(const std::string& /*name*/, int /*reason*/) {}

    // Once per job that fails, with the text of its failure's log line (without "\r\n") and
    // the flash address it concerns, -1 when none: for a front end that reports failures as
    // data. Program's refused Go, which is not logged, comes here alone.
    virtual void Failed(const std::string& /*what*/, int64_t /*address*/) {}

protected:
    ~IJobHost() = default;
};
