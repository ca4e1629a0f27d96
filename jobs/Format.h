// printf-style formatting into a std::string (GBK texts pass through unchanged).
#pragma once

#include <string>

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Each byte as two upper-case hex digits and a space, as every host logs a block of bytes.
std::string HexBytes(const unsigned char* bytes, int count);
