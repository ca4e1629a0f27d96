// What every simulated link shares: it is its own clock, in simulated microseconds; it owns a
// receive ring; and it runs what falls due on the line in time order whenever the clock moves.
// Nothing runs on another thread and nothing sleeps: waiting moves the clock to the next
// moment something happens.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "Link.h"
#include "RxRing.h"

// One modem-line change the host asked for.
struct SimLineChange {
    uint64_t us;  // on the link's clock
    LinkLine line;
    bool on;
};

class CSimLinkBase : public ILink, public IClock {
public:
    static constexpr uint64_t kStartUs = 1000000;  // the clock when the link is made
    static constexpr uint64_t kNever = UINT64_MAX;

    ~CSimLinkBase() override = default;
    CSimLinkBase(const CSimLinkBase&) = delete;
    CSimLinkBase& operator=(const CSimLinkBase&) = delete;

    // The clock: starts at kStartUs and moves only in SleepUntilUs and WaitForCount.
    uint64_t NowUs() override { return m_nowUs; }
    void SleepUntilUs(uint64_t untilUs) override;

    void Arm() override;
    void Clear() override;
    void Disarm() override;
    int Count() const override { return m_ring.Count(); }
    unsigned char ByteAt(int k) const override { return m_ring.ByteAt(k); }
    bool Take(unsigned char* out) override { return m_ring.Take(out); }
    void Reframe(int k, int n) override { m_ring.Reframe(k, n); }
    // Moves the clock on event by event until enough bytes are unread, the device has gone,
    // a stop was asked for, or the deadline; never backwards.
    int WaitForCount(int target, uint64_t deadlineUs) override;
    int LineErrors() const override { return m_lineErrors; }
    void Interrupt() override { m_interrupted = true; }
    bool Interrupted() const override { return m_interrupted; }
    IClock& Clock() override { return *this; }

    // Runs action when the clock reaches atUs, as another thread acting at that moment would
    // (on the next call, when atUs has passed already). The action must not wait on the link.
    void At(uint64_t atUs, std::function<void()> action);
    // True while the ring keeps what arrives.
    bool Armed() const { return m_armed; }
    // Every DTR/RTS change asked for while open, in order.
    const std::vector<SimLineChange>& LineLog() const { return m_lineLog; }

protected:
    CSimLinkBase() = default;

    // The next moment the line itself has something to do (kNever: nothing), and doing the
    // first thing due then; RunDue is called with the clock at that moment.
    virtual uint64_t NextDueUs() const = 0;
    virtual void RunDue() = 0;

    // Does everything due up to now; every operation calls it first, so that what fell due
    // before the call happens before it.
    void CatchUp() { RunUntil(m_nowUs, nullptr); }
    // Bytes reach the host's side: kept while armed, up to the ring's room. A line error
    // counts only when the byte is received (armed).
    void Deliver(const unsigned char* bytes, int count, bool lineError);
    void RecordLine(LinkLine line, bool on) { m_lineLog.push_back({m_nowUs, line, on}); }
    // An Open lifts an earlier stop.
    void LiftStop() { m_interrupted = false; }

private:
    // Runs what falls due up to untilUs in time order (an action before the line's own event
    // of the same moment), stopping right after the one that makes done() true; the clock
    // then reads that moment, else untilUs. Does nothing when called from within an action:
    // the loop that runs it carries on.
    bool RunUntil(uint64_t untilUs, const std::function<bool()>& done);
    bool Over() const { return Gone() || m_interrupted; }

    uint64_t m_nowUs = kStartUs;
    RxRing m_ring;
    bool m_armed = false;
    int m_lineErrors = 0;
    std::atomic<bool> m_interrupted{false};
    std::multimap<uint64_t, std::function<void()>> m_actions;  // equal moments in order given
    std::vector<SimLineChange> m_lineLog;
    bool m_running = false;
};
