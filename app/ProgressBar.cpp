#include "ProgressBar.h"

#include "Format.h"

std::string PercentText(int done, int total) {
    unsigned percent = static_cast<unsigned>(done) * 100u / static_cast<unsigned>(total);
    return Format("%02d%%", static_cast<int>(percent));
}

void CProgressBar::Began(int total) {
    m_total = total;
    if (total <= 0) return;
    m_widgets.SetBarRange(total);
    m_widgets.SetBarPos(0);
    m_widgets.SetPercentLabel("00%");
}

void CProgressBar::Progress(int done, int total) {
    if (total <= 0) return;
    m_widgets.SetBarPos(done);
    m_widgets.SetPercentLabel(PercentText(m_widgets.GetBarPos(), total));
}

void CProgressBar::Ended() {
    if (m_total > 0) m_widgets.SetBarPos(m_total);
}
