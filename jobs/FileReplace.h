// Putting one file in place of another, and judging a file the user asked to have written:
// one backend per operating system, chosen by the build.
#pragma once

#include <cstdio>
#include <string>

// Renames the file at from to to, replacing a file there (not ReplaceFile: windows.h has that).
// Paths are in the encoding fopen takes. false when it could not, with both files as they were.
bool PutFileInPlace(const std::string& from, const std::string& to);

// Whether a file can be written at path and later replaced whole: a new name in a folder that
// exists and can be written, or a regular file that can be written (a symbolic link is judged
// by what it points at). A folder, device, FIFO, socket or read-only file is refused, judged
// by its mode bits, so also for a user who could write anything. false with *reason (GBK, as
// the log, no line break) otherwise.
bool CheckOutputFile(const std::string& path, std::string* reason);

// A file made at path for writing, only if nothing is there yet (not even a link), with the
// permissions of the file at like when there is one: a replacement keeps who may read it.
// nullptr with *taken set when the name is in use.
FILE* CreateNewFile(const std::string& path, const std::string& like, bool* taken);

// The file path names, through any symbolic links, so that replacing it replaces the file the
// user meant and not the link (also one that does not exist yet); path itself when it is no
// link.
std::string FollowLinks(const std::string& path);
