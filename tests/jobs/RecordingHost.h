// A host that records everything the jobs show, for assertions.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Format.h"
#include "JobHost.h"
#include "ProgressBar.h"

// The bar and label are drawn by the same mapping the dialog uses.
class RecordingHost : public IJobHost, private IBarWidgets {
public:
    struct BarEvent {
        char kind;  // 'R' range, 'P' position
        int value;
    };

    void AppendLog(const std::string& text) override { log += text; }
    void AppendHexLog(const unsigned char* bytes, int count) override {
        log += HexBytes(bytes, count);
    }
    void StageBegan(JobStage stage, int total) override {
        stages.push_back(Format("began %s %d", JobStageName(stage), total));
        m_bar.Began(total);
    }
    void StageProgress(JobStage stage, int done, int total) override {
        if (done == total) stages.push_back(Format("done %s %d", JobStageName(stage), done));
        m_bar.Progress(done, total);
    }
    void StageBytes(JobStage stage, uint64_t doneBytes, uint64_t totalBytes) override {
        bytes.push_back(Format("%s %llu/%llu", JobStageName(stage),
                               static_cast<unsigned long long>(doneBytes),
                               static_cast<unsigned long long>(totalBytes)));
    }
    void StageEnded(JobStage stage, bool ok) override {
        stages.push_back(Format("ended %s %s", JobStageName(stage), ok ? "ok" : "failed"));
        m_bar.Ended();
    }
    void FileSaved(const std::string& path) override {
        savedFiles.push_back(path);
        log += path;
    }
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
    void Failed(const std::string& what, int64_t address) override {
        failures.emplace_back(what, address);
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
    // "began write 4", "done write 4" (the last step only), "ended write ok|failed".
    std::vector<std::string> stages;
    // "write 256/2048": each StageBytes.
    std::vector<std::string> bytes;
    std::vector<std::string> savedFiles;
    std::vector<BarEvent> bar;
    int range = 100;
    int position = 0;
    std::vector<std::string> percents;
    std::vector<std::string> ports;
    int selected = -1;
    std::vector<std::string> stored;
    std::vector<std::pair<std::string, int>> openFailures;
    std::vector<std::pair<std::string, int64_t>> failures;
    std::string savePath;
    int prompts = 0;

private:
    void SetBarRange(int max) override {
        range = max;
        bar.push_back({'R', max});
    }
    void SetBarPos(int pos) override {
        position = pos;
        bar.push_back({'P', pos});
    }
    int GetBarPos() override { return position; }
    void SetPercentLabel(const std::string& text) override { percents.push_back(text); }

    CProgressBar m_bar{*this};
};
