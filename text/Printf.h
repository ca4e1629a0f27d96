// printf-style formatting over a va_list, shared by the jobs' Format and the dialog's CString
// so that both give the same text (GBK passes through unchanged).
#pragma once

#include <cstdarg>
#include <string>

// Appends the formatted text to out; an invalid format appends nothing.
void AppendPrintf(std::string& out, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));
