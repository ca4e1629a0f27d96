// A narrow (GBK) string with value semantics and printf-style formatting.
#pragma once

#include <string>

class CString {
public:
    CString() = default;
    CString(const char* text) : m_str(text ? text : "") {}
    CString(const std::string& text) : m_str(text) {}
    CString(const char* text, int length) : m_str(text, static_cast<size_t>(length)) {}

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    // Never null; points at a terminated copy that stays valid until the next change.
    const char* GetString() const { return m_str.c_str(); }
    operator const char*() const { return m_str.c_str(); }
    const std::string& Str() const { return m_str; }

    // Replaces the content with the formatted text; an invalid format leaves it empty.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Appends the formatted text.
    void AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The first count bytes, or all of them when fewer.
    CString Left(int count) const;

    CString& operator+=(const CString& other) {
        m_str += other.m_str;
        return *this;
    }
    CString& operator+=(const char* text) {
        m_str += text ? text : "";
        return *this;
    }
    CString& operator+=(char ch) {
        m_str += ch;
        return *this;
    }

    friend CString operator+(const CString& a, const CString& b) {
        return CString(a.m_str + b.m_str);
    }
    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator!=(const CString& a, const CString& b) { return a.m_str != b.m_str; }
    friend bool operator==(const CString& a, const char* b) { return a.m_str == (b ? b : ""); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }

private:
    std::string m_str;
};
