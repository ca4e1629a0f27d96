#include <windows.h>

#include "FileReplace.h"

// The C library's rename refuses an existing target here; MoveFileEx replaces it. The A form
// reads the paths in the same code page as fopen.
bool PutFileInPlace(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
