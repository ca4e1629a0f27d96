// Simulated targets on the simulated link, the jobs and a recording host.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Chips.h"
#include "DeviceJobs.h"
#include "IntelHex.h"
#include "RecordingHost.h"
#include "SimLink.h"

// "用时123毫秒" becomes "用时N毫秒" so that lines with durations can be compared.
inline std::string WithoutDurations(std::string line) {
    const std::string before = "用时", after = "毫秒";
    size_t at = line.find(before);
    if (at == std::string::npos) return line;
    size_t digits = at + before.size();
    size_t end = digits;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
    if (end == digits || line.compare(end, after.size(), after) != 0) return line;
    return line.replace(digits, end - digits, "N");
}

inline std::vector<std::string> WithoutDurations(std::vector<std::string> lines) {
    for (std::string& line : lines) line = WithoutDurations(line);
    return lines;
}

class JobTest : public ::testing::Test {
protected:
    // Adds a target with the given options, which the jobs reach as a port of its name.
    SimTarget& StartTarget(const sim::TargetConfig& config = sim::TargetConfig()) {
        std::string error;
        SimTarget* target = link.AddTarget("board" + std::to_string(++targetCount), config, &error);
        if (target == nullptr) {
            ADD_FAILURE() << error;
            std::abort();  // every case gives a good configuration
        }
        return *target;
    }

    void SetUp() override {
        JobOptions options;
        options.baudRate = 115200;
        options.eraseAll = true;
        options.verify = true;
        options.runProgram = false;
        jobs.SetOptions(options);
    }

    // A target that is the chip (identified on connecting) with flashKiB of flash holding
    // flash; connected.
    SimTarget& ConnectToChip(const char* key, uint32_t flashKiB, std::vector<uint8_t> flash) {
        sim::TargetConfig config;
        config.SetChip(*chips::FindChipByKey(key));
        config.flashKiB = flashKiB;
        config.initialFlash = std::move(flash);
        SimTarget& target = StartTarget(config);
        jobs.SetIdentifyChip(true);
        ConnectTo(target);
        return target;
    }

    // Changes the options as a front end does, through a copy.
    template <class Change>
    void ChangeOptions(Change change) {
        JobOptions options = jobs.Options();
        change(options);
        jobs.SetOptions(options);
    }

    // Connects to target as the dialog's start-up does, then moves the connect lines aside.
    void ConnectTo(SimTarget& target) {
        host.ports = {target.Name()};
        jobs.SetPort(target.Name());
        jobs.Reconnect();
        ASSERT_TRUE(jobs.IsConnected()) << host.log;
        connectLog = host.log;
        host.log.clear();
        host.stages.clear();
        target.ClearLog();
    }

    std::string TempPath(const std::string& name) {
        std::string dir = ::testing::TempDir();
        if (!dir.empty() && dir.back() != '/') dir += '/';
        std::string path = dir + "kestrel-jobs-" + std::to_string(::getpid()) + "-" + name;
        created.push_back(path);
        return path;
    }

    void TearDown() override {
        for (const std::string& path : created) std::remove(path.c_str());
    }

    // Writes bytes as an Intel HEX file for 0x08000000 upward; returns its path.
    // bytes from the flash base + at on (at below 64 KiB - size).
    std::string WriteHexFile(const std::string& name, const std::vector<uint8_t>& bytes,
                             size_t at = 0) {
        std::string path = TempPath(name);
        FILE* file = std::fopen(path.c_str(), "wb");
        std::fputs(testhex::IntelHex(bytes, static_cast<uint32_t>(at)).c_str(), file);
        std::fclose(file);
        return path;
    }

    static bool Contains(const std::vector<uint8_t>& bytes, std::vector<uint8_t> part) {
        return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
    }

    // A recognisable pattern, different in every byte of a page.
    static std::vector<uint8_t> Pattern(size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8) + 3);
        return bytes;
    }

    // 1 when the last job run through `last = jobs.X()` did all it set out to do.
    int Succeeded() const { return last == JobOutcome::Done ? 1 : 0; }

    RecordingHost host;
    std::string connectLog;
    JobOutcome last = JobOutcome::Failed;
    CSimLink link;  // holds the targets
    CDeviceJobs jobs{host, link};
    int targetCount = 0;
    std::vector<std::string> created;
};

// Names a parameterised case after its name field.
inline const auto kCaseName = [](const auto& info) { return std::string(info.param.name); };
