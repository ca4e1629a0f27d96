// A host that records everything the jobs show, for assertions.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Format.h"
#include "JobHost.h"

class RecordingHost : public IJobHost {
public:
    struct BarEvent {
        char kind;  // 'R' range, 'P' position
        int value;
    };

    void AppendLog(const std::string& text) override { log += text; }
    void AppendHexLog(const unsigned char* bytes, int count) override {
        log += HexBytes(bytes, count);
    }
    void SetProgressRange(int max) override {
        range = max;
        bar.push_back({'R', max});
    }
    void SetProgressPos(int pos) override {
        position = pos;
        bar.push_back({'P', pos});
    }
    int GetProgressPos() override { return position; }
    void SetPercentText(const std::string& text) override { percents.push_back(text); }
    int PortCount() override { return static_cast<int>(ports.size()); }
    std::string PortAt(int index) override {
        if (index < 0 || index >= PortCount()) return std::string();
        return ports[static_cast<size_t>(index)];
    }
    void SelectPort(int index) override { selected = index; }
    bool PromptSaveFile(std::string* path) override {
        ++prompts;
        if (savePath.empty()) return false;
        *path = savePath;
        return true;
    }
    void StorePort(const std::string& port) override { stored.push_back(port); }
    void PortOpenFailed(const std::string& name, int reason) override {
        openFailures.emplace_back(name, reason);
    }

    // The log split into lines (each without its "\r\n").
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        size_t begin = 0, end;
        while ((end = log.find("\r\n", begin)) != std::string::npos) {
            lines.push_back(log.substr(begin, end - begin));
            begin = end + 2;
        }
        if (begin < log.size()) lines.push_back(log.substr(begin));
        return lines;
    }

    std::string log;
    std::vector<BarEvent> bar;
    int range = 100;
    int position = 0;
    std::vector<std::string> percents;
    std::vector<std::string> ports;
    int selected = -1;
    std::vector<std::string> stored;
    std::vector<std::pair<std::string, int>> openFailures;
    std::string savePath;
    int prompts = 0;
};
