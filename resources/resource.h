#pragma once

// Resource and command ids, shared by the C++ code and zenquilo.rc, so plain
// #defines only: windres reads this file through the C preprocessor.

// Icon groups: the program's own icon, and the small icon of the progress dialog.
#define IDI_APP 107
#define IDI_DIALOG 108

// The "fetching the latest files" dialog and its status line.
#define IDD_PROGRESS 129
#define IDC_STATUS_TEXT 1002

// Commands of the notification-area menu.
#define IDM_OPEN_LEARNING_CENTER 128
#define IDM_EXIT 144
