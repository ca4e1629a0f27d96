// Several boards at once, as threads of this process: each board has its own link, jobs and
// host (each link its own receive ring), its lines go out whole and marked with its port,
// and a table of how each board ended follows once all have.
#pragma once

#include <functional>
#include <string>
#include <vector>

enum class BoardEnd { Ok, Failed, Stopped };

struct BoardResult {
    std::string port;
    std::string chip;  // empty when not identified
    BoardEnd end = BoardEnd::Failed;
    double seconds = 0;
};

// What each of a board's text lines starts with.
std::string BoardLinePrefix(const std::string& port);

// Calls runBoard for every port at once, each on a thread of its own, with a result that
// holds the port; runBoard fills in the chip and how the board ended. Once all have ended,
// writes the table (json: one summary object) to standard output. 0 when every board
// succeeded, else 1.
int RunOnEachPort(const std::vector<std::string>& ports, bool json,
                  const std::function<void(BoardResult&)>& runBoard);

// The table's text (one board a row), or the summary object's line.
std::string SummaryTable(const std::vector<BoardResult>& boards, bool json);
