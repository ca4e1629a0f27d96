#include <cstdio>

#include "FileReplace.h"

// rename replaces the target in one step, so the target is never missing.
bool PutFileInPlace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
