// The two drop-down lists of the main dialog: the serial ports the system has registered,
// and the fixed baud rates.
#pragma once

#include <windows.h>

#include <vector>

#include "CString.h"

// Every rate ends with a semicolon.
extern const char kBaudRates[];
// Where the system lists its serial ports (under HKEY_LOCAL_MACHINE).
extern const char kSerialDeviceMapKey[];

// The value data (device names) of the key, in enumeration order. A key that does not open
// gives none; a value whose read fails (other than at the end) still gives an entry, with
// whatever the data buffer holds.
std::vector<CString> ReadSerialDeviceMap(HKEY root, const char* subKey);

// The entries of a semicolon-terminated list, in order; no empty entry for the last one.
std::vector<CString> SplitBaudRates(const char* list);

// Empties the combo box and adds the entries (a sorted box orders them itself).
void FillComboBox(HWND hCombo, const std::vector<CString>& entries);

// Empties the combo box and adds every registered port (the box sorts them itself).
void FillPortList(HWND hPortList);
// Empties the combo box and adds the ten rates in order.
void FillBaudList(HWND hBaudList);
