// A link to a scripted peer on simulated time, for the client's windows, resends and
// judgements: the peer answers exact bytes at exact moments. There is no wire time: a host
// byte reaches the peer when it is sent, and a reply piece reaches the ring when it is due.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "PtyTarget.h"  // sim::WireByte
#include "SimLinkBase.h"

// One piece of an answer: due delayMs after the previous piece (or the trigger).
struct ReplyPiece {
    int delayMs;
    std::vector<uint8_t> bytes;
};

// When the host bytes received since the previous step end with trigger, the pieces are
// due. An empty trigger fires as soon as the step is reached.
struct ScriptStep {
    std::vector<uint8_t> trigger;
    std::vector<ReplyPiece> pieces;
};

class CScriptedLink final : public CSimLinkBase {
public:
    // The peer answers the steps in order, then stays silent. The script starts at the
    // first Open.
    CScriptedLink() = default;
    explicit CScriptedLink(std::vector<ScriptStep> script);
    // Replaces the script; before the first Open.
    void SetScript(std::vector<ScriptStep> script) { m_script = std::move(script); }

    // Any name but the empty one opens (the peer is the only device); after Unplug, none
    // does (OpenFailureNoDevice).
    int Open(const std::string& name, int baudRate) override;
    void Close() override;
    bool IsOpen() const override { return m_open; }
    int LastOpenFailure() const override { return m_lastOpenFailure; }
    bool Gone() const override { return m_unplugged; }
    void Send(const unsigned char* bytes, int length) override;
    void SetLine(LinkLine line, bool on) override;

    // Bytes that reach the host now, outside the script (from an action: at its moment).
    void Inject(const std::vector<uint8_t>& bytes);
    // The device goes away: the port closes, Gone turns true, nothing more comes.
    void Unplug();

    std::vector<uint8_t> HostBytes() const;
    // The host's bytes with the moments they were sent.
    const std::vector<sim::WireByte>& HostLog() const { return m_hostLog; }
    int StepsDone() const { return static_cast<int>(m_step); }

private:
    uint64_t NextDueUs() const override;
    void RunDue() override;
    // Schedules the current step's pieces from now and moves to the next step, then fires
    // the empty triggers that follow.
    void FireStep();
    void FireEmptySteps();

    std::vector<ScriptStep> m_script;
    size_t m_step = 0;
    bool m_started = false;
    std::vector<uint8_t> m_sinceStep;  // host bytes since the last step fired
    std::multimap<uint64_t, std::vector<uint8_t>> m_due;
    std::vector<sim::WireByte> m_hostLog;
    bool m_open = false;
    bool m_unplugged = false;
    int m_lastOpenFailure = 0;
};
