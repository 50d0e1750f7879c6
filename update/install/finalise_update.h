#pragma once

#include <windows.h>

#include <string>

#include "update/manifest/package_manifest.h"
#include "update/proof/release_trust.h"

// Installs a pending update found at tempDirectory + "package.json" into
// moduleDirectory (both ending in a backslash); UpdateManager::FinalisePendingUpdate
// runs it on the program's own directories. Main thread, at start-up.
//
// -1 when there is no pending manifest: nothing else happens. Otherwise both
// shells are terminated, and then the run has two steps.
//
// Load and prove: -1 when the manifest does not parse (it stays). The pending
// update is dropped (manifest, signature and the staged files it names), -1,
// so that the next check fetches what is due, when with a release key the
// signature (tempDirectory + "package.json.sig") does not verify over the
// manifest's bytes as served, which are then the bytes parsed; when its
// version does not count as more than that of moduleDirectory +
// "package.json"; when a staged file fails its MD5 (and with a key its
// SHA-256); when a file this release fetched is neither staged nor installed
// with its digests; or when a staged programName is not an image for this
// build's processor.
//
// Apply: each newer entry's staged file is moved into place ("delete" and
// file-less entries have none), "reg" entries registered through the system's
// regsvr32 (owner window trayWindow, not waited for) and "delete" entries
// deleted. A file still in use after retrying for about two seconds, and the
// running program (programName in moduleDirectory) at once, is renamed aside
// into tempDirectory, where a later start removes it (RemoveRetiredPrograms).
// A staged file gone between its proof and its move counts as in place only
// when the installed file is the release's. The running program is never
// deleted: only a proved new build replaces it.
// 1 when every file is in place and every file to delete is gone: the pending
// manifest then replaces moduleDirectory + "package.json". -1 otherwise (a
// file held without leave to rename it): the pending manifest stays, so the
// next plain start finishes the update. A run cut short at any point is
// completed by the next one the same way.
int FinaliseInDirectories(const std::wstring& moduleDirectory, const std::wstring& tempDirectory,
                          const PackageManifest& localManifest, HWND trayWindow, const ReleaseTrust& trust,
                          const std::wstring& programName = L"");

// Deletes the files that an update moved aside into tempDirectory. One still
// in use (a resident copy of the old build, a loaded DLL) stays until a later start.
void RemoveRetiredPrograms(const std::wstring& tempDirectory);
