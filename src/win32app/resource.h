// Resource and control numbers of the dialog program (shared by the .rc
// script and the C++ sources).
#pragma once

#define IDD_MAIN 101
#define IDD_PROGRAM_NAME 103
#define IDD_SERVICE 104
#define IDD_PORT_NUMBER 308
#define IDI_QUILLON 1

#define IDC_PORT_NUMBER 1000
#define IDC_CLEAR_LOG 1001
#define IDC_EVENT_LOG 1002
#define IDC_TEST 1003
#define IDC_NLEC_SEND 1004
#define IDC_RAW_LOGGING 1005
#define IDC_EXPORT_ALL 1006
#define IDC_EXPORT_SELECTED 1007
#define IDC_STATUS_LINE 1008
#define IDC_FLASH_ERASE 1014
#define IDC_IMAGE_DOWNLOAD 1015
#define IDC_NEXT 1016
#define IDC_BACK 1017
#define IDC_NLEC_GET 1018
#define IDC_BOOTLOADER_DOWNLOAD 1019
#define IDC_SEND_BITMAP 1021
#define IDC_RECEIVE_SETTINGS 1022
#define IDC_SEND_SETTINGS 1023
#define IDC_RECEIVE_PROGRAM 1024
#define IDC_SEND_PROGRAM 1025
#define IDC_PROMPT 1026
#define IDC_STEP_TITLE 1027
#define IDC_LOWER_TEXT 1028
#define IDC_UPPER_TEXT 1029
#define IDC_CLOSE 1030

// System-menu item that opens the service panel (a multiple of 16, below 0xF000).
#define IDM_SERVICE_TOOLS 0x0010
