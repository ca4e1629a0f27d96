// The two drop-down lists of the main dialog: the serial ports present, and the fixed baud
// rates.
#pragma once

#include <windows.h>

#include <vector>

#include "CString.h"

// Every rate ends with a semicolon.
extern const char kBaudRates[];
// The entries of a semicolon-terminated list, in order; no empty entry for the last one.
std::vector<CString> SplitBaudRates(const char* list);

// Empties the combo box and adds the entries, which are in the ANSI code page as the registry
// gives port names (a sorted box orders them itself).
void FillComboBox(HWND hCombo, const std::vector<CString>& entries);

// Empties the combo box and adds every port present (the box sorts them itself).
void FillPortList(HWND hPortList);
// Empties the combo box and adds the ten rates in order.
void FillBaudList(HWND hBaudList);
