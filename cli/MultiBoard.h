// Several boards at once: this program run once per port, in parallel (each process has
// its own receive ring), their lines shown as they come with the port in front, then a
// table of how each board ended.
#pragma once

#include <string>
#include <vector>

// The environment variable naming the descriptor a board's run reports its chip on.
extern const char kSummaryFdVariable[];

// Runs self with args plus "--port PORT" for each port and waits for all. json: the runs
// speak JSON lines, which get a "port" member instead of a prefix, and the table is one
// JSON object. Returns 0 when every board succeeded, else 1; 2 with a message on standard
// error when the runs cannot be started here.
int RunOnEachPort(const std::string& self, const std::vector<std::string>& args,
                  const std::vector<std::string>& ports, bool json);

// In a board's run: reports the identified chip to the parent, when there is one.
void ReportChipToParent(const std::string& chipName);

// The summary table's text (one board a row), shared by both systems' runners.
struct BoardResult {
    std::string port;
    std::string chip;  // empty when not identified
    int status = -1;   // exit status; -1 when ended by a signal
    double seconds = 0;
};
std::string SummaryTable(const std::vector<BoardResult>& boards, bool json);
