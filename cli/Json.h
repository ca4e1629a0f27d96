// The little JSON the command line writes: one object per line.
#pragma once

#include <cstdint>
#include <string>

// The text as valid UTF-8: what is not well-formed UTF-8 (a stray continuation byte, a
// sequence cut short, an overlong form, a surrogate, a code point past U+10FFFF) becomes
// U+FFFD, one for each longest start of a sequence that breaks off, as the Unicode standard
// recommends (and as most decoders do).
std::string RepairedUtf8(const std::string& text);

// A JSON string literal, quotes included, of the text made valid UTF-8 (RepairedUtf8).
std::string JsonString(const std::string& text);

// Each byte as two lower-case hex digits, for bytes that may not be text (a path).
std::string HexOfBytes(const std::string& bytes);

// "\"path\":...,\"path_hex\":...": a path as repaired UTF-8 text and as its bytes. utf8: the
// path converted for reading; native: its bytes as the system gave them.
std::string JsonPathMembers(const std::string& utf8, const std::string& native);

// The objects that end a run, without their line end. hint and extra (members, each with a
// leading comma) may be empty; address -1 is null.
std::string JsonErrorObject(const std::string& message, const std::string& hint,
                            int64_t address = -1, const std::string& extra = "");
std::string JsonWarningObject(const std::string& message, const std::string& hint);
// command: empty when none was parsed (null).
std::string JsonResultObject(const std::string& command, bool ok, int exitStatus);
