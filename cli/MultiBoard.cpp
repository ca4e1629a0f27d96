#include "MultiBoard.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "Json.h"
#include "TerminalHost.h"

std::string BoardLinePrefix(const std::string& port) { return "[" + port + "] "; }

int RunOnEachPort(const std::vector<std::string>& ports, bool json,
                  const std::function<void(BoardResult&)>& runBoard) {
    std::vector<BoardResult> results(ports.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ports.size(); ++i) {
        BoardResult& result = results[i];
        result.port = ports[i];
        try {
            threads.emplace_back([&runBoard, &result] {
                const auto start = std::chrono::steady_clock::now();
                runBoard(result);
                result.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            });
        } catch (const std::system_error&) {
            // The boards already started still run to their end; this one counts as failed.
            std::lock_guard<std::mutex> hold(TerminalOutputLock());
            std::fprintf(stderr, "%skestrel-isp: cannot start a thread for this board\n",
                         BoardLinePrefix(result.port).c_str());
        }
    }
    for (std::thread& thread : threads) thread.join();

    bool allOk = true;
    for (const BoardResult& result : results) allOk = allOk && result.end == BoardEnd::Ok;
    std::lock_guard<std::mutex> hold(TerminalOutputLock());
    std::fputs(SummaryTable(results, json).c_str(), stdout);
    std::fflush(stdout);
    return allOk ? 0 : 1;
}

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
                          b.end == BoardEnd::Ok ? "true" : "false", b.seconds);
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
    static const char* const kResultNames[] = {"ok", "failed", "stopped"};
    for (const BoardResult& b : boards) {
        std::snprintf(line, sizeof line, "%-*s  %-*s  %-8s  %.1f s\n", pw, b.port.c_str(), cw,
                      b.chip.empty() ? "-" : b.chip.c_str(), kResultNames[static_cast<int>(b.end)],
                      b.seconds);
        text += line;
    }
    return text;
}
