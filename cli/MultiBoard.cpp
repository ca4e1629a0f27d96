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

namespace {

// Seconds with one decimal: the one piece formatted into a buffer, of bounded length.
std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// text padded with spaces to width.
std::string Padded(const std::string& text, size_t width) {
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

}  // namespace

std::string SummaryTable(const std::vector<BoardResult>& boards, bool json) {
    // Built whole: a port's name has no length limit.
    std::string text;
    if (json) {
        text = "{\"event\":\"summary\",\"boards\":[";
        for (size_t i = 0; i < boards.size(); ++i) {
            const BoardResult& b = boards[i];
            text += std::string(i == 0 ? "" : ",") + "{\"port\":" + JsonString(b.port) +
                    ",\"chip\":" + (b.chip.empty() ? std::string("null") : JsonString(b.chip)) +
                    ",\"ok\":" + (b.end == BoardEnd::Ok ? "true" : "false") +
                    ",\"seconds\":" + Seconds(b.seconds) + "}";
        }
        return text + "]}\n";
    }
    size_t portWidth = 4, chipWidth = 4;
    for (const BoardResult& b : boards) {
        if (b.port.size() > portWidth) portWidth = b.port.size();
        if (b.chip.size() > chipWidth) chipWidth = b.chip.size();
    }
    text = Padded("port", portWidth) + "  " + Padded("chip", chipWidth) + "  " +
           Padded("result", 8) + "  time\n";
    static const char* const kResultNames[] = {"ok", "failed", "stopped"};
    for (const BoardResult& b : boards) {
        text += Padded(b.port, portWidth) + "  " +
                Padded(b.chip.empty() ? "-" : b.chip, chipWidth) + "  " +
                Padded(kResultNames[static_cast<int>(b.end)], 8) + "  " + Seconds(b.seconds) +
                " s\n";
    }
    return text;
}
