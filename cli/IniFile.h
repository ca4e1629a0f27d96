// Minimal INI profile access with the semantics of the Windows profile functions: a
// missing file, section or key gives the default; a write replaces one key's value (or
// adds the key, and the section) and leaves every other line as it was.
#pragma once

#include <string>

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& fallback);

// false when the file could not be written.
bool WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value);
