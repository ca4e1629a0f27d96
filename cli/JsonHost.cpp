#include "JsonHost.h"

#include <cstdio>

#include "Format.h"
#include "Json.h"
#include "Platform.h"

CJsonHost::CJsonHost(std::vector<std::string> ports, std::string settingsFile)
    : CTerminalHost(std::move(ports), std::move(settingsFile), false) {}

void CJsonHost::Emit(const std::string& object) {
    // One of several boards: the port first, so that a reader can tell the boards apart.
    const std::string line =
        Board().empty() ? object : "{\"port\":" + JsonString(Board()) + "," + object.substr(1);
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void CJsonHost::EmitLogLines() {
    size_t end;
    while ((end = m_pending.find("\r\n")) != std::string::npos) {
        Emit("{\"event\":\"log\",\"text\":" + JsonString(m_pending.substr(0, end)) + "}");
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
    Emit("{\"event\":\"saved\",\"path\":" + JsonString(path) + "}");
    m_pending += path;
    EmitLogLines();
}

void CJsonHost::StageBegan(JobStage stage, int total) {
    m_lastPercent = -1;
    Emit(Format("{\"event\":\"stage\",\"stage\":\"%s\",\"state\":\"begin\",\"total\":%d}",
                JobStageName(stage), total));
}

void CJsonHost::StageProgress(JobStage stage, int done, int total) {
    // One event per whole percent: a 2 MiB read-out is 8192 blocks.
    const int percent = total > 0 ? static_cast<int>(100LL * done / total) : 100;
    if (percent == m_lastPercent) return;
    m_lastPercent = percent;
    Emit(Format("{\"event\":\"progress\",\"stage\":\"%s\",\"done\":%d,\"total\":%d}",
                JobStageName(stage), done, total));
}

void CJsonHost::StageEnded(JobStage stage, bool ok) {
    Emit(Format("{\"event\":\"stage\",\"stage\":\"%s\",\"state\":\"end\",\"ok\":%s}",
                JobStageName(stage), ok ? "true" : "false"));
}

void CJsonHost::Failed(const std::string& what, int64_t address) {
    const std::string where =
        address < 0 ? std::string("null") : Format("\"0x%08X\"", static_cast<unsigned>(address));
    Emit("{\"event\":\"error\",\"message\":" + JsonString(GbkToUtf8(what)) +
         ",\"address\":" + where + "}");
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
    Emit(Format("{\"event\":\"result\",\"command\":%s,\"ok\":%s,\"exit\":%d}",
                JsonString(command).c_str(), ok ? "true" : "false", exitStatus));
}

void CJsonHost::Flush() {
    if (m_pending.empty()) return;
    m_pending += "\r\n";
    EmitLogLines();
}
