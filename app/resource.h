// Resource and control ids of the program's dialogs, icon and version block.
#pragma once

#define IDD_ABOUT_BOX 100
#define IDI_APP_ICON 128
#define IDD_MAIN_DIALOG 129

#define IDC_PORT_LIST 1000
#define IDC_BAUD_LIST 1001
#define IDC_ERASE_ALL 1002
#define IDC_ERASE_PAGES 1003
#define IDC_PERCENT 1004
#define IDC_FILE_PATH 1008
#define IDC_SELECT_FILE 1009
#define IDC_VERIFY 1011
#define IDC_RUN_PROGRAM 1012
#define IDC_LOG 1013
#define IDC_PROGRESS 1014
#define IDC_START 1015
#define IDC_CHIP_INFO 1016
#define IDC_RECONNECT 1017
#define IDC_READ_FLASH 1018
#define IDC_CLEAR_LOG 1019

#ifndef ID_APP_ABOUT
#define ID_APP_ABOUT 0xE140
#endif

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
