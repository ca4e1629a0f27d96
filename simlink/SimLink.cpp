#include "SimLink.h"

#include <algorithm>
#include <utility>

#include "BootloaderTarget.h"
#include "Fault.h"

SimTarget::SimTarget(CSimLink& link, std::string name,
                     std::unique_ptr<sim::BootloaderTarget> target)
    : m_link(link), m_name(std::move(name)), m_target(std::move(target)) {}

SimTarget::~SimTarget() = default;

std::vector<uint8_t> SimTarget::HostBytes() const {
    std::vector<uint8_t> bytes;
    for (const sim::WireByte& w : m_log) {
        if (w.fromHost) bytes.push_back(w.value);
    }
    return bytes;
}

std::vector<uint8_t> SimTarget::TargetBytes() const {
    std::vector<uint8_t> bytes;
    for (const sim::WireByte& w : m_log) {
        if (!w.fromHost) bytes.push_back(w.value);
    }
    return bytes;
}

std::vector<sim::WireByte> SimTarget::TakeWireLog() {
    std::vector<sim::WireByte> taken;
    taken.swap(m_log);
    return taken;
}

std::vector<uint8_t> SimTarget::Flash() const { return m_target->Flash(); }

void SimTarget::SetResetWiring(const ResetWiring& wiring) {
    m_link.CatchUp();
    m_wiring = wiring;
    if (m_link.m_current == this) m_link.FollowResetLine();
}

void SimTarget::InjectLineErrorAt(int n) {
    if (n > 0) m_errorAt.insert(m_bytesSent + static_cast<uint64_t>(n));
}

void SimTarget::Unplug() {
    m_link.CatchUp();
    if (m_link.m_current == this) {
        m_link.DropLine();
    } else {
        m_unplugged = true;
    }
}

void SimTarget::Replug() {
    Unplug();
    m_target->Replugged();
    m_held = false;
    m_unplugged = false;
}

CSimLink::CSimLink() = default;

CSimLink::~CSimLink() = default;

uint64_t CSimLink::ByteUsAt(int baudRate) {
    if (baudRate <= 0) return 0;
    const uint64_t baud = static_cast<uint64_t>(baudRate);
    return std::max<uint64_t>(1, (11000000 + baud / 2) / baud);
}

SimTarget* CSimLink::AddTarget(const std::string& name, const sim::TargetConfig& config,
                               std::string* error) {
    if (name.empty() || Target(name) != nullptr) {
        *error = name.empty() ? "a target needs a name" : "a target is named " + name + " already";
        return nullptr;
    }
    if (!sim::BootloaderTarget::CheckConfig(config, error)) return nullptr;
    std::vector<sim::Fault> faults;
    for (const std::string& faultText : config.faults) {
        sim::Fault f;
        if (!sim::ParseFault(faultText, &f, error)) return nullptr;
        faults.push_back(f);
    }
    auto target = std::make_unique<sim::BootloaderTarget>(config, std::move(faults));
    m_targets.push_back(std::unique_ptr<SimTarget>(new SimTarget(*this, name, std::move(target))));
    return m_targets.back().get();
}

SimTarget* CSimLink::Target(const std::string& name) const {
    for (const auto& t : m_targets) {
        if (t->m_name == name) return t.get();
    }
    return nullptr;
}

int CSimLink::Open(const std::string& name, int baudRate) {
    CatchUp();
    Close();
    LiftStop();
    m_gone = false;
    SimTarget* target = Target(name);
    if (target == nullptr || target->m_unplugged) {
        m_lastOpenFailure = OpenFailureNoDevice;
        return 0;
    }
    if (baudRate <= 0) {
        m_lastOpenFailure = OpenFailureOther;
        return 0;
    }
    m_lastOpenFailure = OpenFailureNone;
    m_current = target;
    m_byteUs = ByteUsAt(baudRate);
    m_hostWireFree = m_targetFree = m_txFree = NowUs();
    // The serial port raises both lines when it opens the device.
    m_dtr = m_rts = true;
    FollowResetLine();
    return 1;
}

void CSimLink::Close() {
    CatchUp();
    if (m_current == nullptr) return;
    DropWire();
    // The pty server takes the host's close as the reset.
    ++m_current->m_resets;
    m_current->m_target->Reset();
    m_current->m_held = false;
    m_current = nullptr;
    m_byteUs = 0;
    m_dtr = m_rts = false;
}

void CSimLink::Send(const unsigned char* bytes, int length) {
    CatchUp();
    if (m_current == nullptr || bytes == nullptr || length <= 0 || length > kMaxSend) return;
    for (int i = 0; i < length; ++i) {
        m_hostWireFree = std::max(NowUs(), m_hostWireFree) + m_byteUs;
        m_toTarget.push_back({m_hostWireFree, bytes[i]});
    }
}

void CSimLink::SetLine(LinkLine line, bool on) {
    CatchUp();
    if (m_current == nullptr) return;
    RecordLine(line, on);
    (line == LinkLine::Dtr ? m_dtr : m_rts) = on;
    FollowResetLine();
}

void CSimLink::FollowResetLine() {
    SimTarget& t = *m_current;
    const ResetWiring& w = t.m_wiring;
    const bool level = w.reset == ResetWiring::Dtr ? m_dtr : m_rts;
    const bool asserted = w.reset != ResetWiring::None && level != w.invertReset;
    if (asserted == t.m_held) return;
    t.m_held = asserted;
    t.m_target->Reset();
    if (asserted) {
        // Held in reset, the chip stops talking at once.
        m_toHost.clear();
        m_targetFree = m_txFree = NowUs();
    } else {
        ++t.m_lineResets;
    }
}

uint64_t CSimLink::NextDueUs() const {
    uint64_t next = m_toHost.empty() ? kNever : m_toHost.front().us;
    if (!m_toTarget.empty()) next = std::min(next, std::max(m_toTarget.front().us, m_targetFree));
    return next;
}

void CSimLink::RunDue() {
    const bool hostByteDue =
        !m_toTarget.empty() && std::max(m_toTarget.front().us, m_targetFree) <= NowUs();
    // What the target sent before it took the byte reaches the host first.
    if (!m_toHost.empty() && m_toHost.front().us <= NowUs()) {
        ReachHost();
    } else if (hostByteDue) {
        TakeHostByte();
    }
}

void CSimLink::TakeHostByte() {
    const uint8_t byte = m_toTarget.front().value;
    m_toTarget.pop_front();
    SimTarget& t = *m_current;
    uint64_t at = NowUs();
    t.Log(at, true, byte);
    if (t.m_held) return;
    std::vector<sim::TargetOutput> outs;
    t.m_target->Receive(byte, &outs);
    if (t.m_target->UnplugDue()) {
        DropLine();
        return;
    }
    for (const sim::TargetOutput& out : outs) {
        if (out.delayUs != 0) {
            at += out.delayUs;
            m_toHost.push_back({at, false, 0, out.delayUs});
        }
        for (uint8_t b : out.bytes) {
            // A byte reaches the host once its last bit has crossed the wire.
            m_txFree = std::max(at, m_txFree) + m_byteUs;
            at = m_txFree;
            m_toHost.push_back({at, true, b, 0});
        }
    }
    m_targetFree = at;
}

void CSimLink::ReachHost() {
    const ToHost next = m_toHost.front();
    m_toHost.pop_front();
    SimTarget& t = *m_current;
    if (!next.isByte) {
        t.m_delayUs += next.delayUs;
        return;
    }
    t.Log(next.us, false, next.value);
    const bool lineError = t.m_errorAt.erase(++t.m_bytesSent) != 0;
    Deliver(&next.value, 1, lineError);
}

void CSimLink::DropWire() {
    m_toTarget.clear();
    m_toHost.clear();
    m_hostWireFree = m_targetFree = m_txFree = NowUs();
}

void CSimLink::DropLine() {
    DropWire();
    m_current->m_unplugged = true;
    m_current->m_held = false;
    m_current = nullptr;
    m_byteUs = 0;
    m_gone = true;
}
