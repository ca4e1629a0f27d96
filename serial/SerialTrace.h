// Where the serial callback writes its trace texts; apart from SerialPort.h so that front
// ends can choose without the port itself.
#pragma once

#include <cstdio>

// Standard output unless changed. A front end whose standard output carries only its own
// lines passes null to drop them.
void SetSerialTraceStream(std::FILE* stream);
