#include "Progress.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace {

// Narrow enough that the widest line a serial line makes ("verifying 1023.75/1023.75 KiB @
// 87.12 KiB/s (eta 59m59s)") fits 80 columns.
constexpr int kBarWidth = 14;
// Before this much time a rate says more about the start-up than about the line.
constexpr double kRateAfterSeconds = 0.5;

// "3s", "1m05s", "2h03m".
std::string RemainingText(double seconds) {
    const long s = std::lround(seconds);
    char text[32];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%lds", s);
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%ldm%02lds", s / 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ldh%02ldm", s / 3600, s / 60 % 60);
    }
    return text;
}

// Each stage with a bar: its name on the bar and the verb of its closing line.
struct StageWords {
    JobStage stage;
    const char* bar;
    const char* closing;
};
const StageWords kStageWords[] = {
    {JobStage::Erase, "erasing", "erased"},
    {JobStage::Write, "writing", "wrote"},
    {JobStage::Verify, "verifying", "verified"},
    {JobStage::ReadOut, "reading", "read"},
};

const StageWords* WordsOf(JobStage stage) {
    for (const StageWords& words : kStageWords) {
        if (words.stage == stage) return &words;
    }
    return nullptr;
}

const char* ClosingVerb(JobStage stage) {
    const StageWords* words = WordsOf(stage);
    return words != nullptr ? words->closing : nullptr;
}

}  // namespace

const char* BarStageName(JobStage stage) {
    const StageWords* words = WordsOf(stage);
    return words != nullptr ? words->bar : nullptr;
}

namespace {

// The number and its unit: "512" "B", "1.50" "KiB", "2.00" "MiB".
std::pair<std::string, const char*> Scaled(double bytes) {
    char number[32];
    const char* unit;
    if (bytes < 1024) {
        std::snprintf(number, sizeof number, "%.0f", bytes);
        unit = "B";
    } else if (bytes < 1024.0 * 1024) {
        std::snprintf(number, sizeof number, "%.2f", bytes / 1024);
        unit = "KiB";
    } else {
        std::snprintf(number, sizeof number, "%.2f", bytes / (1024.0 * 1024));
        unit = "MiB";
    }
    return {number, unit};
}

// "32.00/64.00 KiB", or "512.00 KiB/2.00 MiB" when the units differ.
std::string DoneOfTotal(uint64_t done, uint64_t total) {
    const auto d = Scaled(static_cast<double>(done)), t = Scaled(static_cast<double>(total));
    if (std::string(d.second) == t.second) return d.first + "/" + t.first + " " + t.second;
    return d.first + " " + d.second + "/" + t.first + " " + t.second;
}

}  // namespace

std::string ByteCountText(double bytes) {
    const auto scaled = Scaled(bytes);
    return scaled.first + " " + scaled.second;
}

std::string BarText(JobStage stage, uint64_t doneBytes, uint64_t totalBytes,
                    double elapsedSeconds) {
    const char* name = BarStageName(stage);
    if (name == nullptr) return std::string();
    const double elapsed = elapsedSeconds < 0 ? 0 : elapsedSeconds;
    if (totalBytes == 0) return std::string(name) + " ... " + RemainingText(std::floor(elapsed));
    const uint64_t done = doneBytes > totalBytes ? totalBytes : doneBytes;
    const int filled = static_cast<int>(done * kBarWidth / totalBytes);
    std::string text = "[" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(kBarWidth - filled), '-') + "] ";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(done * 100 / totalBytes));
    text += percent + std::string(name) + " " + DoneOfTotal(done, totalBytes);
    if (done > 0 && elapsed >= kRateAfterSeconds) {
        const double rate = static_cast<double>(done) / elapsed;
        text += " @ " + ByteCountText(rate) + "/s (eta " +
                RemainingText(static_cast<double>(totalBytes - done) / rate) + ")";
    }
    return text;
}

std::string StageClosingText(JobStage stage, uint64_t bytes, double elapsedSeconds) {
    const char* verb = ClosingVerb(stage);
    if (verb == nullptr) return std::string();
    const double elapsed = elapsedSeconds < 0 ? 0 : elapsedSeconds;
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", elapsed);
    if (bytes == 0 && stage == JobStage::Erase)
        return std::string(verb) + " the whole flash in " + time;
    std::string text =
        std::string(verb) + " " + ByteCountText(static_cast<double>(bytes)) + " in " + time;
    // A time that shows as 0.0 s gives no rate worth the name.
    if (elapsed >= 0.05) {
        text += " (" + ByteCountText(static_cast<double>(bytes) / elapsed) + "/s)";
    }
    return text;
}
