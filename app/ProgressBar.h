// Turns the stage events into a progress bar and its percentage label, for a front end with
// those two widgets. The label follows the position the bar reports back, so a bar that
// clamps shows the same thing in both.
#pragma once

#include <string>

#include "JobHost.h"

class IBarWidgets {
public:
    virtual void SetBarRange(int max) = 0;
    virtual void SetBarPos(int pos) = 0;
    virtual int GetBarPos() = 0;
    // e.g. "08%"
    virtual void SetPercentLabel(const std::string& text) = 0;

protected:
    ~IBarWidgets() = default;
};

class CProgressBar {
public:
    explicit CProgressBar(IBarWidgets& widgets) : m_widgets(widgets) {}

    // Stages without steps leave the bar alone. A stage starts the bar from empty at "00%";
    // it shows full when the stage ends, whether it failed or not, and the label keeps its
    // last text.
    void Began(int total);
    void Progress(int done, int total);
    void Ended();

private:
    IBarWidgets& m_widgets;
    int m_total = 0;
};

// "%02d%%" of done * 100 / total, rounded down.
std::string PercentText(int done, int total);
