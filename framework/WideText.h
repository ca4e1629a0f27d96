// Conversions between the narrow texts the program keeps and the UTF-16 its windows hold.
// The windows are Unicode so that Chinese shows whatever the system's code page for
// non-Unicode programs is; the narrow texts keep the encodings they have always had.
#pragma once

#include <string>

// GBK (code page 936 whatever the system's code page) to UTF-16: the dialog's own texts and
// the jobs' log texts. Where 936 is not installed (Windows XP without East Asian support) the
// ANSI code page is used, which is what the dialog showed before it was Unicode.
std::wstring FromGbk(const std::string& text);
// UTF-16 to GBK; a character that GBK lacks becomes '?'.
std::string ToGbk(const std::wstring& text);

// The ANSI code page to UTF-16 and back: file paths, port names and settings values, which
// fopen, the registry and the profile functions take in that code page. ToAnsi converts as
// the system's narrow functions do (best fit, then '?').
std::wstring FromAnsi(const std::string& text);
std::string ToAnsi(const std::wstring& text);
