#include "app/progress_dialog.h"

#include <commctrl.h>

#include "resources/resource.h"

INT_PTR CALLBACK ProgressDialogProc(HWND, UINT, WPARAM, LPARAM) {
  return FALSE;
}

HWND CreateProgressDialog(HINSTANCE instance) {
  // The template names the progress bar by its class, which exists only once
  // the common controls have registered it.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  return CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), GetDesktopWindow(), ProgressDialogProc, 0);
}
