#include "CString.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
void AppendV(std::string& out, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return;
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    out.append(buffer.data(), static_cast<size_t>(needed));
}
}  // namespace

void CString::Format(const char* format, ...) {
    m_str.clear();
    va_list args;
    va_start(args, format);
    AppendV(m_str, format, args);
    va_end(args);
}

void CString::AppendFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendV(m_str, format, args);
    va_end(args);
}

CString CString::Left(int count) const {
    if (count <= 0) return CString();
    return CString(m_str.substr(0, static_cast<size_t>(count)));
}
