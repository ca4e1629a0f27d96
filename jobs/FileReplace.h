// Putting one file in place of another: one backend per operating system, chosen by the build.
#pragma once

#include <string>

// Renames the file at from to to, replacing a file there (not ReplaceFile: windows.h has that).
// Paths are in the encoding fopen takes. false when it could not, with both files as they were.
bool PutFileInPlace(const std::string& from, const std::string& to);
