// The erase plan: which pages programming erases and with which command.
#include "ErasePlan.h"

CErasePlan::CErasePlan(bool eraseAll, const FlashImage& image, const PageLayout& layout,
                       unsigned char eraseCommand)
    : m_eraseAll(eraseAll), m_form(FormOf(eraseCommand)), m_layout(layout) {
    if (!m_layout.units.empty()) {
        PlanUnits(image);
        return;
    }
    if (m_eraseAll) return;
    m_byImagePage.resize(image.PageCount(), Step{0, 0});
    for (uint32_t i = 0; i < image.PageCount(); ++i) {
        const FlashPage* page = image.FindPage(static_cast<int32_t>(i));
        // A page the file gives no byte to (the space below an application linked above
        // the base, say) is not ours to erase. A missing page is erased; its write fails.
        if (page != nullptr && !page->hasData) continue;
        m_byImagePage[i] = Step{static_cast<uint16_t>(m_layout.firstPage + i), 1};
    }
}

void CErasePlan::PlanUnits(const FlashImage& image) {
    m_byImagePage.resize(image.PageCount(), Step{0, 0});
    m_written.resize(image.PageCount(), false);
    // The units the image gives data to, each with the image page it is first written at.
    std::vector<chips::EraseUnit> units;
    std::vector<uint32_t> firstPage;
    for (uint32_t i = 0; i < image.PageCount(); ++i) {
        const FlashPage* page = image.FindPage(static_cast<int32_t>(i));
        const chips::EraseUnit* unit = chips::UnitAt(m_layout.units, PageAddress(i));
        if (page == nullptr || !page->hasData || unit == nullptr) continue;
        m_written[i] = true;
        // Pages come in address order, so a unit's pages follow one another.
        if (units.empty() || units.back().index != unit->index) {
            units.push_back(*unit);
            firstPage.push_back(i);
        }
    }
    if (m_eraseAll) return;
    std::vector<size_t> firsts;
    const std::vector<Step> runs = Runs(units, m_layout, &firsts);
    for (size_t r = 0; r < runs.size(); ++r) m_byImagePage[firstPage[firsts[r]]] = runs[r];
}

std::vector<CErasePlan::Step> CErasePlan::Runs(const std::vector<chips::EraseUnit>& units,
                                               const PageLayout& layout,
                                               std::vector<size_t>* firsts) {
    std::vector<Step> steps;
    const chips::EraseUnit* previous = nullptr;
    for (size_t k = 0; k < units.size(); ++k) {
        const chips::EraseUnit& unit = units[k];
        const bool joins = previous != nullptr && unit.index == previous->index + 1u &&
                           unit.bank == previous->bank &&
                           unit.address == previous->address + previous->size &&
                           steps.back().pageCount < layout.unitsPerErase;
        // A bank-2 erase answered early is awaited for its worst case after the ACK.
        const uint32_t after = layout.earlyAckInBank2 && unit.bank == 2 ? unit.eraseMaxMs : 0;
        if (joins) {
            Step& step = steps.back();
            ++step.pageCount;
            step.waitMs += unit.eraseMaxMs;
            step.afterMs += after;
        } else {
            steps.push_back(Step{unit.index, 1, unit.eraseMaxMs, layout.pauseAfterEraseMs + after});
            if (firsts != nullptr) firsts->push_back(k);
        }
        previous = &unit;
    }
    return steps;
}

CErasePlan::Form CErasePlan::FormOf(unsigned char eraseCommand) {
    switch (eraseCommand) {
        case 0x43:
            return Form::Basic;
        case 0x44:
            return Form::Extended;
        default:
            return Form::None;
    }
}

std::vector<CErasePlan::Step> CErasePlan::PageSteps() const {
    std::vector<Step> steps;
    for (const Step& step : m_byImagePage) {
        if (step.pageCount != 0) steps.push_back(step);
    }
    return steps;
}

bool CErasePlan::ErasesBefore(uint32_t imagePage, Step* step) const {
    if (imagePage >= m_byImagePage.size() || m_byImagePage[imagePage].pageCount == 0) {
        return false;
    }
    *step = m_byImagePage[imagePage];
    return true;
}

bool CErasePlan::LeavesAlone(uint32_t imagePage) const {
    if (!m_layout.units.empty()) return imagePage >= m_written.size() || !m_written[imagePage];
    return !m_eraseAll && imagePage < m_byImagePage.size() &&
           m_byImagePage[imagePage].pageCount == 0;
}

uint32_t CErasePlan::PageAddress(uint32_t imagePage) const {
    return m_layout.base + m_layout.pageSize * imagePage;
}

int CErasePlan::Send(CIspProtocol& isp, const Step& step) const {
    // The protocol picks the form from the same erase slot the plan was built from.
    if (m_form == Form::None) return 0;
    if (!isp.Erase(step.firstPage, step.pageCount, step.waitMs)) return 0;
    isp.Pause(step.afterMs);
    return 1;
}
