// The settings file's section and key names, one set for both front ends, so that the
// command line and the dialog read and write the same file.
#pragma once

inline constexpr char kSettingsSection[] = "Config";
inline constexpr char kKeyFilePath[] = "FilePath";
inline constexpr char kKeyPort[] = "COMM";
inline constexpr char kKeyBaudRate[] = "BaudRate";
inline constexpr char kKeyEraseFlag[] = "EraseFlag";
inline constexpr char kKeyVerifyFlag[] = "VerifyFlag";
inline constexpr char kKeyRunProgramFlag[] = "RunProgramFlag";
