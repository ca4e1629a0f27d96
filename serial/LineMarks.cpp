#include "LineMarks.h"

namespace {
constexpr unsigned char kMarkLead = 0xFF;
constexpr unsigned char kErrorLead = 0x00;
}  // namespace

LineMarkDecoder::Result LineMarkDecoder::Decode(unsigned char* data, int length) {
    Result result = {0, 0};
    int out = 0;
    for (int in = 0; in < length; ++in) {
        const unsigned char c = data[in];
        switch (m_state) {
            case State::Plain:
                if (c == kMarkLead) {
                    m_state = State::AfterFF;
                } else {
                    data[out++] = c;
                }
                break;
            case State::AfterFF:
                if (c == kMarkLead) {
                    data[out++] = kMarkLead;
                    m_state = State::Plain;
                } else if (c == kErrorLead) {
                    m_state = State::AfterFF00;
                } else {
                    // Not a mark a tty makes. The lead may have come with the last read,
                    // so only one byte can be kept in place; the count says not to trust it.
                    data[out++] = c;
                    ++result.errors;
                    m_state = State::Plain;
                }
                break;
            case State::AfterFF00:
                data[out++] = c;
                ++result.errors;
                m_state = State::Plain;
                break;
        }
    }
    result.length = out;
    return result;
}
