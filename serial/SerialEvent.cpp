#include <atomic>
#include <cstdio>

#include "RxRing.h"
#include "SerialPort.h"
#include "SerialTrace.h"

namespace {
std::atomic<std::FILE*> g_traceStream{nullptr};

// Trace texts by event code; received data has none (its bytes go to the ring).
const char* const kTraceTexts[] = {
    "Connected ! \n",         // SerialConnected
    "Disonnected ! \n",       // SerialDisconnected
    "Data sent ! \n",         // SerialDataSent
    nullptr,                  // SerialDataReceived
    "DRING ! \n",             // SerialRing
    "Carrier Detected ! \n",  // SerialCarrierDetected
    "No more carrier ! \n",   // SerialCarrierLost
};
}  // namespace

void OnSerialEvent(CSerialPort* port, int event) {
    if (port == nullptr || event < SerialConnected || event > SerialCarrierLost) return;
    void* context = port->CallbackContext();
    RxRing& ring = context != nullptr ? *static_cast<RxRing*>(context) : g_rxRing;
    if (event == SerialDataReceived) {
        ring.Append(port->GetRxData(), port->GetRxCount());
        port->RequestRead();
        return;
    }
    // No reply can come any more: the client stops waiting now, not at its window's end.
    if (event == SerialDisconnected && port->IsGone()) ring.Abort();
    std::FILE* stream = g_traceStream.load();
    if (stream == nullptr) return;
    std::fputs(kTraceTexts[event], stream);
    std::fflush(stream);
}

void SetSerialTraceStream(std::FILE* stream) { g_traceStream.store(stream); }
