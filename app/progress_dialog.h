#pragma once

#include <windows.h>

// The progress dialog: created hidden from its template and never shown. Its
// progress bar is the one target of the updater's progress messages.

INT_PTR CALLBACK ProgressDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Creates the dialog, owned by the desktop window; null when the template or
// the progress bar class is missing.
HWND CreateProgressDialog(HINSTANCE instance);
