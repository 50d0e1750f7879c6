#pragma once

#include <windows.h>

#include <string>

#include "update/package_manifest.h"

// Installs a pending update found at tempDirectory + "package.json" into
// moduleDirectory (both ending in a backslash); UpdateManager::FinalisePendingUpdate
// runs it on the program's own directories. Main thread, at start-up.
//
// -1 when there is no pending manifest: nothing else happens. Otherwise both
// shells are terminated, and after a second -1 when the manifest does not
// parse (it stays). Then each newer entry's staged file is moved into place,
// "reg" entries registered through regsvr32 (owner window trayWindow, not
// waited for) and "delete" entries deleted. 1 when every staged file that
// exists was moved: the pending manifest then replaces moduleDirectory +
// "package.json". -1 when one could not be moved even after retrying for
// about two seconds (a file in use): the pending manifest stays, so the next
// plain start finishes the update. A run cut short at any point is completed
// by the next one the same way.
int FinaliseInDirectories(const std::wstring& moduleDirectory, const std::wstring& tempDirectory,
                          const PackageManifest& localManifest, HWND trayWindow);
