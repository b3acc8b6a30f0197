// Numbers of the panel's resources and commands, shared by the resource
// script and the code.
#pragma once

// String table.
#define IDS_TITLE 1
#define IDS_CLASS_NAME 2
#define IDS_LATENCY_STOP_HINT 3
#define IDS_LATENCY_CAPTION 4
#define IDS_LATENCY_RUNNING 5
#define IDS_REGISTRY_KEY 6
#define IDS_LATENCY_TEXT 7

// Icons, menu, dialog.
#define IDI_PANEL 113
#define IDI_ABOUT 129
#define IDM_PANEL 118
#define IDD_ABOUT 119

// Menu commands.
#define IDM_CLOSE_WINDOW 0
#define IDM_EXIT 40002
#define IDM_FACTORY_DEFAULT 40003
#define IDM_ALWAYS_ON_TOP 40004
#define IDM_ABOUT 40005
#define IDM_IROUTE 40007
#define IDM_WHEEL_1 40008
#define IDM_WHEEL_2 40009
#define IDM_WHEEL_4 40010
#define IDM_WHEEL_8 40011
#define IDM_LATENCY_64 40012
#define IDM_LATENCY_128 40013
#define IDM_LATENCY_256 40014
#define IDM_BUFFERS_2 40018
#define IDM_BUFFERS_9 40025
#define IDM_LATENCY_96 40027
#define IDM_LATENCY_144 40028
#define IDM_LATENCY_192 40029
#define IDM_LATENCY_240 40030
#define IDM_LATENCY_288 40031
#define IDM_WINDOWS_AUDIO 40034
#define IDM_LEVEL_METER 40035

// About dialog.
#define IDC_ABOUT_TITLE 1001
#define IDC_ABOUT_TEXT 1002
#define IDC_ABOUT_ICON 1003
#define IDC_ABOUT_LINK 32830
