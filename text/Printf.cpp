#include "Printf.h"

#include <cstdio>
#include <vector>

void AppendPrintf(std::string& out, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return;
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    out.append(buffer.data(), static_cast<size_t>(needed));
}
