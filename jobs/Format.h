// printf-style formatting into a std::string (GBK texts pass through unchanged).
#pragma once

#include <string>

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
