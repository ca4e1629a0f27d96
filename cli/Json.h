// The little JSON the command line writes: one object per line.
#pragma once

#include <string>

// A JSON string literal, quotes included, of UTF-8 text.
std::string JsonString(const std::string& utf8);
