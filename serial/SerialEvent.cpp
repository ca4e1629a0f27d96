#include <cstdio>

#include "RxRing.h"
#include "SerialPort.h"

namespace {
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
    if (event == SerialDataReceived) {
        g_rxRing.Append(port->GetRxData(), port->GetRxCount());
        port->RequestRead();
        return;
    }
    std::fputs(kTraceTexts[event], stdout);
    std::fflush(stdout);
}
