#pragma once

#include <windows.h>

#include <string>

#include "update/package_manifest.h"
#include "update/release_trust.h"

// Installs a pending update found at tempDirectory + "package.json" into
// moduleDirectory (both ending in a backslash); UpdateManager::FinalisePendingUpdate
// runs it on the program's own directories. Main thread, at start-up.
//
// -1 when there is no pending manifest: nothing else happens. Otherwise both
// shells are terminated, and after a second -1 when the manifest does not
// parse (it stays). With a release key, the pending manifest's signature
// (tempDirectory + "package.json.sig") and every staged file's MD5 and
// SHA-256 are checked before anything moves; when one fails, the pending
// update is discarded (manifest, signature and the failing file removed), -1,
// and the next start fetches the release again. Then each newer entry's
// staged file is moved into place, "reg" entries registered through regsvr32
// (owner window trayWindow, not waited for) and "delete" entries deleted. An
// entry that replaces programName (the running program's file name in
// moduleDirectory) moves the running image aside into tempDirectory first,
// where a later start removes it (RemoveRetiredPrograms). 1 when every staged
// file that exists was moved and every file to delete is gone: the pending
// manifest then replaces moduleDirectory + "package.json". -1 when one could
// not be moved or deleted even after retrying for about two seconds (a file in
// use): the pending manifest stays, so the next plain start finishes the
// update. A run cut short at any point is completed by the next one the same way.
int FinaliseInDirectories(const std::wstring& moduleDirectory, const std::wstring& tempDirectory,
                          const PackageManifest& localManifest, HWND trayWindow,
                          const ReleaseTrust& trust, const std::wstring& programName = L"");

// Deletes the program images that an update moved aside into tempDirectory.
// One still running (a resident copy of the old build) stays until a later start.
void RemoveRetiredPrograms(const std::wstring& tempDirectory);
