// Resources of the unit-test program: the product's own resource script plus probe dialogs.
#pragma once

#define IDD_PROBE 300
#define IDC_PROBE_BUTTON 3001
#define IDC_PROBE_PASS_ON 3002
#define IDD_MISSING 399
