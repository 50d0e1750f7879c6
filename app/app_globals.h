#pragma once

#include <windows.h>

// Process-wide handles, one of each, written on the main thread during start-up
// and kept until the process ends.
extern HINSTANCE g_instance;   // for icons, the dialog template
extern HWND g_progressDialog;  // the hidden progress dialog
extern HWND g_progressBar;     // its progress bar, set while the dialog is created
