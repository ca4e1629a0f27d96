#include "Settings.h"

namespace {
constexpr DWORD kTextCapacity = MAX_PATH;  // 259 characters and the terminator
}

CString SettingsPathFor(const char* exePath, UINT codePage) {
    int cut = 0;  // bytes kept: up to and including the last backslash
    for (int i = 0; exePath[i];) {
        if (::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(exePath[i])) && exePath[i + 1]) {
            i += 2;
            continue;
        }
        if (exePath[i] == '\\') cut = i + 1;
        ++i;
    }
    CString path;
    path.Format("%sConfig.ini", CString(exePath, cut).GetString());
    return path;
}

CString SettingsPathOfProgram() {
    char exePath[MAX_PATH + 1] = {};
    ::GetModuleFileNameA(nullptr, exePath, MAX_PATH);
    return SettingsPathFor(exePath, CP_ACP);
}

CString ReadTextSetting(const char* iniPath, const char* key) {
    char text[kTextCapacity] = {};
    ::GetPrivateProfileStringA(kSettingsSection, key, "", text, kTextCapacity, iniPath);
    return CString(text);
}

int ReadIntSetting(const char* iniPath, const char* key, int defaultValue) {
    return static_cast<int>(::GetPrivateProfileIntA(kSettingsSection, key, defaultValue, iniPath));
}

int FlagFromStored(int value) { return value == 1 ? 1 : 0; }

void WriteSetting(const char* iniPath, const char* key, const char* value) {
    ::WritePrivateProfileStringA(kSettingsSection, key, value, iniPath);
}
