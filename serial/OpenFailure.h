// Why a serial device did not open, as far as the system says; apart from SerialPort.h so
// that front ends can name the reasons without the port itself.
#pragma once

enum OpenFailure {
    OpenFailureNone = 0,
    OpenFailureNoDevice = 1,    // no such device
    OpenFailurePermission = 2,  // the user may not open it
    OpenFailureInUse = 3,       // another program holds it
    OpenFailureOther = 4,
};
