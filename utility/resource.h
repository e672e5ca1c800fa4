// Resource ids of VESKARDINApp.
#pragma once

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_VESKARDINAPP_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_PORT_STATUS 1000
#define IDC_BUTTON_READ 1001
#define IDC_BUTTON_WRITE 1002

// Port controls are created at run time: one label and one list per port.
#define IDC_PORT_LABEL_BASE 25000
#define IDC_PORT_LIST_BASE 26000
