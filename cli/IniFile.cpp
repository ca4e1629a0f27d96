#include "IniFile.h"

#include <strings.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::string Trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    size_t end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

// "[name]" gives name; anything else gives false.
bool SectionName(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value" gives key and value.
bool KeyValue(const std::string& line, std::string* key, std::string* value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(line.substr(0, eq));
    *value = Trim(line.substr(eq + 1));
    return !key->empty();
}

std::vector<std::string> ReadLines(const std::string& file) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& fallback) {
    bool inSection = false;
    for (const std::string& line : ReadLines(file)) {
        std::string name, k, v;
        if (SectionName(line, &name)) {
            inSection = SameName(name, section);
        } else if (inSection && KeyValue(line, &k, &v) && SameName(k, key)) {
            return v;
        }
    }
    return fallback;
}

bool WriteProfileString(const std::string& file, const std::string& section, const std::string& key,
                        const std::string& value) {
    std::vector<std::string> lines = ReadLines(file);
    std::string entry = key + "=" + value;
    bool inSection = false;
    bool done = false;
    size_t sectionEnd = lines.size();  // where a new key of the section goes
    bool sectionSeen = false;
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name, k, v;
        if (SectionName(lines[i], &name)) {
            if (inSection) break;
            inSection = SameName(name, section);
            if (inSection) {
                sectionSeen = true;
                sectionEnd = i + 1;
            }
        } else if (inSection) {
            if (KeyValue(lines[i], &k, &v) && SameName(k, key)) {
                lines[i] = entry;
                done = true;
            } else if (!Trim(lines[i]).empty()) {
                sectionEnd = i + 1;
            }
        }
    }
    if (!done) {
        if (sectionSeen) {
            lines.insert(lines.begin() + static_cast<long>(sectionEnd), entry);
        } else {
            lines.push_back("[" + section + "]");
            lines.push_back(entry);
        }
    }
    std::ostringstream text;
    for (const std::string& line : lines) text << line << "\r\n";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text.str();
    return static_cast<bool>(out.flush());
}
