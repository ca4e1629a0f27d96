#include "WideText.h"

#include <windows.h>

namespace {
constexpr UINT kGbk = 936;

// Empty when the text is empty or the code page cannot convert it.
std::wstring Widen(const std::string& text, UINT codePage) {
    if (text.empty()) return std::wstring();
    const int length = static_cast<int>(text.size());
    const int count = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (count <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), length, &wide[0], count);
    return wide;
}

std::string Narrow(const std::wstring& text, UINT codePage) {
    if (text.empty()) return std::string();
    const int length = static_cast<int>(text.size());
    const int count =
        ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (count <= 0) return std::string();
    std::string narrow(static_cast<size_t>(count), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), length, &narrow[0], count, nullptr, nullptr);
    return narrow;
}

bool HaveGbk() { return ::IsValidCodePage(kGbk) != FALSE; }
}  // namespace

std::wstring FromGbk(const std::string& text) { return Widen(text, HaveGbk() ? kGbk : CP_ACP); }

std::string ToGbk(const std::wstring& text) { return Narrow(text, HaveGbk() ? kGbk : CP_ACP); }

std::wstring FromAnsi(const std::string& text) { return Widen(text, CP_ACP); }

std::string ToAnsi(const std::wstring& text) { return Narrow(text, CP_ACP); }
