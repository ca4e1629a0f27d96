#include "PortLists.h"

#include "PortList.h"
#include "WideText.h"

const char kBaudRates[] = "1200;2400;4800;9600;19200;38400;43000;56000;57600;115200;";

void FillComboBox(HWND hCombo, const std::vector<CString>& entries) {
    ::SendMessageW(hCombo, CB_RESETCONTENT, 0, 0);
    for (const CString& entry : entries) {
        ::SendMessageW(hCombo, CB_ADDSTRING, 0,
                       reinterpret_cast<LPARAM>(FromAnsi(entry.Str()).c_str()));
    }
}

std::vector<CString> SplitBaudRates(const char* list) {
    std::vector<CString> entries;
    CString rest(list);
    for (;;) {
        const char* text = rest.GetString();
        const char* semicolon = text;
        while (*semicolon && *semicolon != ';') ++semicolon;
        if (!*semicolon) break;
        entries.emplace_back(text, static_cast<int>(semicolon - text));
        rest = CString(semicolon + 1);
    }
    return entries;
}

void FillPortList(HWND hPortList) {
    std::vector<CString> ports;
    for (const std::string& name : EnumerateSerialPorts()) ports.emplace_back(name);
    FillComboBox(hPortList, ports);
}

void FillBaudList(HWND hBaudList) { FillComboBox(hBaudList, SplitBaudRates(kBaudRates)); }
