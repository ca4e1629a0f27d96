// Where the serial callback writes its trace texts; apart from SerialPort.h so that front
// ends can choose without the port itself.
#pragma once

#include <cstdio>

// Nowhere (null) unless a front end asks for a stream; null drops them again.
void SetSerialTraceStream(std::FILE* stream);
