// The settings store: six remembered choices in a profile (INI) file beside the executable,
// section "Config", read once at start-up and written one key at a time.
#pragma once

#include <windows.h>

#include "CString.h"
#include "SettingNames.h"

constexpr int kDefaultBaudRate = 115200;
constexpr int kDefaultEraseFlag = 1;
constexpr int kDefaultVerifyFlag = 1;
constexpr int kDefaultRunProgramFlag = 0;

// "%sConfig.ini" with %s the directory of exePath: everything up to and including its last
// backslash, where a double-byte character of codePage counts as one unit (its trail byte
// is never taken for a backslash). A path without a backslash gives "Config.ini".
CString SettingsPathFor(const char* exePath, UINT codePage);

// The settings path of the running executable (ANSI code page).
CString SettingsPathOfProgram();

// A text key, at most 259 characters; empty when the file, the section or the key is missing.
CString ReadTextSetting(const char* iniPath, const char* key);
// An integer key; defaultValue when missing.
int ReadIntSetting(const char* iniPath, const char* key, int defaultValue);
// Only the stored value 1 switches a flag on.
int FlagFromStored(int value);
// Replaces (or adds) one key, creating the file and the section when missing; other keys stay.
// Failures are not reported.
void WriteSetting(const char* iniPath, const char* key, const char* value);
