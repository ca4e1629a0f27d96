// The jobs' host for scripts: one JSON object per line, on standard output (standard error
// when the read-out's bytes go there), instead of the log and the bar. Ports, the read-out
// path and the remembered port as on the terminal. Every string is valid UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TerminalHost.h"

class CJsonHost : public CTerminalHost {
public:
    CJsonHost(std::vector<std::string> ports, std::string settingsFile, std::FILE* out = stdout);

    void AppendLog(const std::string& text) override;
    void AppendHexLog(const unsigned char* bytes, int count) override;
    void StageBegan(JobStage stage, int total) override;
    void StageProgress(JobStage stage, int done, int total) override;
    void StageBytes(JobStage stage, uint64_t doneBytes, uint64_t totalBytes) override;
    void StageEnded(JobStage stage, bool ok) override;
    void FileSaved(const std::string& path) override;
    void Failed(const std::string& what, int64_t address) override;

    ToOutput Converter() const override;
    void Say(const std::string& line, const std::string& hint) override;
    void SayFailure(const std::string& line, const std::string& hint) override;
    void Trace(const std::string& text) override;

    // The identified chip, once known; and how the command ended, last (after an error object
    // when it failed).
    void Chip(const std::string& name, unsigned pid, unsigned flashKiB, uint32_t base,
              const std::string& layout);
    void Result(const std::string& command, bool ok, int exitStatus);

    // Ends a log line left open (by an interrupted job, say).
    void Flush();
    // An error object has been written.
    bool ErrorTold() const { return m_errorTold; }

private:
    void Emit(const std::string& object);
    void EmitLogLines();

    std::FILE* m_out;
    std::string m_pending;  // UTF-8 log text of a line not yet ended
    int m_lastPercent = -1;
    bool m_bytesTold = false;
    uint64_t m_doneBytes = 0;
    uint64_t m_totalBytes = 0;
    bool m_errorTold = false;
};
