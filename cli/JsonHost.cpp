#include "JsonHost.h"

#include <cstdio>

#include "Format.h"
#include "Json.h"
#include "Platform.h"

CJsonHost::CJsonHost(std::vector<std::string> ports, std::string settingsFile, std::FILE* out)
    : CTerminalHost(std::move(ports), std::move(settingsFile), false), m_out(out) {}

void CJsonHost::Emit(const std::string& object) {
    // One of several boards: the port first, so that a reader can tell the boards apart.
    const std::string line =
        Board().empty() ? object : "{\"port\":" + JsonString(Board()) + "," + object.substr(1);
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    std::fputs(line.c_str(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void CJsonHost::EmitLogLines() {
    size_t end;
    while ((end = m_pending.find("\r\n")) != std::string::npos) {
        std::string text = m_pending.substr(0, end);
        // The dialog's mark of a log line says nothing to a reader of objects.
        if (text.compare(0, 2, ">>") == 0) text.erase(0, 2);
        Emit("{\"event\":\"log\",\"text\":" + JsonString(text) + "}");
        m_pending.erase(0, end + 2);
    }
}

void CJsonHost::AppendLog(const std::string& text) {
    m_pending += GbkToUtf8(text);
    EmitLogLines();
}

void CJsonHost::AppendHexLog(const unsigned char* bytes, int count) {
    AppendLog(HexBytes(bytes, count));
}

void CJsonHost::FileSaved(const std::string& path) {
    const std::string readable = PathToUtf8(path);
    Emit("{\"event\":\"saved\"," + JsonPathMembers(readable, path) + "}");
    m_pending += readable;
    EmitLogLines();
}

void CJsonHost::StageBegan(JobStage stage, int total) {
    CountStage(stage);
    m_lastPercent = -1;
    if (!m_bytesTold) m_doneBytes = m_totalBytes = 0;
    Emit(
        Format("{\"event\":\"stage\",\"stage\":\"%s\",\"state\":\"begin\",\"total\":%d,"
               "\"total_bytes\":%llu}",
               JobStageName(stage), total, static_cast<unsigned long long>(m_totalBytes)));
}

void CJsonHost::StageBytes(JobStage /*stage*/, uint64_t doneBytes, uint64_t totalBytes) {
    m_bytesTold = true;
    m_doneBytes = doneBytes;
    m_totalBytes = totalBytes;
}

void CJsonHost::StageProgress(JobStage stage, int done, int total) {
    // One event per whole percent: a 2 MiB read-out is 8192 blocks.
    const int percent = total > 0 ? static_cast<int>(100LL * done / total) : 100;
    if (percent == m_lastPercent) return;
    m_lastPercent = percent;
    Emit(
        Format("{\"event\":\"progress\",\"stage\":\"%s\",\"done\":%d,\"total\":%d,"
               "\"bytes\":%llu,\"total_bytes\":%llu}",
               JobStageName(stage), done, total, static_cast<unsigned long long>(m_doneBytes),
               static_cast<unsigned long long>(m_totalBytes)));
}

void CJsonHost::StageEnded(JobStage stage, bool ok) {
    m_bytesTold = false;
    Emit(Format("{\"event\":\"stage\",\"stage\":\"%s\",\"state\":\"end\",\"ok\":%s}",
                JobStageName(stage), ok ? "true" : "false"));
}

void CJsonHost::Failed(const std::string& what, int64_t address) {
    m_errorTold = true;
    std::string message = GbkToUtf8(what);
    if (message.compare(0, 2, ">>") == 0) message.erase(0, 2);
    Emit(JsonErrorObject(message, FailureHint(what, Converter()), address));
}

ToOutput CJsonHost::Converter() const { return GbkToUtf8; }

void CJsonHost::Say(const std::string& line, const std::string& hint) {
    Emit(JsonWarningObject(line, hint));
}

void CJsonHost::SayFailure(const std::string& line, const std::string& hint) {
    m_errorTold = true;
    Emit(JsonErrorObject(line, hint));
}

void CJsonHost::Trace(const std::string& text) {
    Emit("{\"event\":\"trace\",\"text\":" + JsonString(text) + "}");
}

void CJsonHost::Chip(const std::string& name, unsigned pid, unsigned flashKiB, uint32_t base,
                     const std::string& layout) {
    Emit(
        Format("{\"event\":\"chip\",\"name\":%s,\"pid\":\"0x%04X\",\"flash_kib\":%u,"
               "\"base\":\"0x%08X\",\"layout\":%s}",
               JsonString(name).c_str(), pid, flashKiB, base, JsonString(layout).c_str()));
}

void CJsonHost::Result(const std::string& command, bool ok, int exitStatus) {
    Flush();
    // A failure the jobs did not put in words still gets its error object.
    if (!ok && !m_errorTold) SayFailure("the command failed", std::string());
    Emit(JsonResultObject(command, ok, exitStatus));
}

void CJsonHost::Flush() {
    if (m_pending.empty()) return;
    m_pending += "\r\n";
    EmitLogLines();
}
