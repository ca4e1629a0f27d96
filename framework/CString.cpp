#include "CString.h"

#include <cstdarg>

#include "Printf.h"

void CString::Format(const char* format, ...) {
    m_str.clear();
    va_list args;
    va_start(args, format);
    AppendPrintf(m_str, format, args);
    va_end(args);
}

void CString::AppendFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendPrintf(m_str, format, args);
    va_end(args);
}

CString CString::Left(int count) const {
    if (count <= 0) return CString();
    return CString(m_str.substr(0, static_cast<size_t>(count)));
}
