// What the user can do about a failure: one line that follows the failure's own, in the log's
// language. Each function gives the hint's text without the "hint: " word and without a line
// end, converted from the message table's GBK by the function given (GbkToConsole for the
// terminal, GbkToUtf8 for JSON), or an empty string when there is none to give. A path in it
// is put in as given, already in the output's encoding; in a shell command, as one word.
#pragma once

#include <string>

using ToOutput = std::string (*)(const std::string& gbk);

// "hint: " or its Chinese, for the line that carries a hint.
std::string HintWord(ToOutput convert);

// No bootloader answered on a port that opened.
std::string NoBootloaderHint(ToOutput convert);
// No serial port was found to try.
std::string NoPortsHint(ToOutput convert);
// A port did not open for reason (an OpenFailure); group: the device's owning group, when
// known.
std::string OpenFailureHint(int reason, const std::string& group, ToOutput convert);
// A job's failure line (as the host's Failed gets it) that says the bootloader refused, or
// did not answer.
std::string FailureHint(const std::string& failureLine, ToOutput convert);
// The read-out's target was refused for reason (as CheckOutputFile gives it).
std::string OutputTargetHint(const std::string& reason, const std::string& path, ToOutput convert);
// The firmware file was refused for reason (as CheckImageFile gives it); formatMismatch:
// --format named a kind and the file was not read as that one.
std::string InputFileHint(const std::string& reason, bool formatMismatch, ToOutput convert);
