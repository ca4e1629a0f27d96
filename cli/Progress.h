// What the terminal's progress bar says, as pure functions of the stage, the bytes and the
// time, so that the text can be checked without a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "JobHost.h"

// The name beside the bar ("writing"); null for a stage that passes too quickly for one.
const char* BarStageName(JobStage stage);

// "512 B", "1.50 KiB", "2.00 MiB".
std::string ByteCountText(double bytes);

// The bar, e.g. "[#######-------]  50% writing 32.00/64.00 KiB @ 11.25 KiB/s (eta 3s)";
// the rate and the time left once there is something to go by. A stage of unknown size
// (totalBytes 0: a whole-flash erase) shows the time it has taken: "erasing ... 12s".
// Empty for a stage without a bar.
std::string BarText(JobStage stage, uint64_t doneBytes, uint64_t totalBytes, double elapsedSeconds);

// The line left where the bar was once the stage succeeded, e.g. "wrote 64.00 KiB in 5.7 s
// (11.25 KiB/s)"; an erase of 0 bytes: "erased the whole flash in 1.2 s". Empty for a stage
// without a bar.
std::string StageClosingText(JobStage stage, uint64_t bytes, double elapsedSeconds);
