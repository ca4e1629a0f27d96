#include "MultiBoard.h"

#include <cstdio>

#include "Json.h"

const char kSummaryFdVariable[] = "KESTREL_SUMMARY_FD";

std::string SummaryTable(const std::vector<BoardResult>& boards, bool json) {
    std::string text;
    char line[512];
    if (json) {
        text = "{\"event\":\"summary\",\"boards\":[";
        for (size_t i = 0; i < boards.size(); ++i) {
            const BoardResult& b = boards[i];
            std::snprintf(line, sizeof line,
                          "%s{\"port\":%s,\"chip\":%s,\"ok\":%s,\"seconds\":%.1f}",
                          i == 0 ? "" : ",", JsonString(b.port).c_str(),
                          b.chip.empty() ? "null" : JsonString(b.chip).c_str(),
                          b.status == 0 ? "true" : "false", b.seconds);
            text += line;
        }
        return text + "]}\n";
    }
    size_t portWidth = 4, chipWidth = 4;
    for (const BoardResult& b : boards) {
        if (b.port.size() > portWidth) portWidth = b.port.size();
        if (b.chip.size() > chipWidth) chipWidth = b.chip.size();
    }
    const int pw = static_cast<int>(portWidth), cw = static_cast<int>(chipWidth);
    std::snprintf(line, sizeof line, "%-*s  %-*s  %-8s  %s\n", pw, "port", cw, "chip", "result",
                  "time");
    text += line;
    for (const BoardResult& b : boards) {
        const char* result = b.status == 0 ? "ok" : (b.status < 0 ? "killed" : "failed");
        std::snprintf(line, sizeof line, "%-*s  %-*s  %-8s  %.1f s\n", pw, b.port.c_str(), cw,
                      b.chip.empty() ? "-" : b.chip.c_str(), result, b.seconds);
        text += line;
    }
    return text;
}
