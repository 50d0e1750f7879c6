#pragma once

#include <windows.h>

#include <string>

#include "update/incremental_update.h"
#include "update/manifest/package_manifest.h"
#include "update/proof/release_trust.h"

// The updater's state for the life of the process: the windows it reports to,
// the local and remote manifests, the remote manifest's text as received, and
// the paths of the local and pending manifests.
//
// Threads: the main thread writes every field before the worker starts (the
// handles, then CheckForUpdate). The worker only reads, and reaches the main
// thread only through SendMessageW, so the tray window may read the fields
// while it handles the worker's messages. No locks.
class UpdateManager {
 public:
  // Builds the two manifest paths and creates "temp\" under the program's
  // directory, whatever the command line. releaseTrust is what releases must
  // prove: the program's built-in key.
  explicit UpdateManager(const ReleaseTrust& releaseTrust);

  void SetTrayWindow(HWND window) { trayWindow = window; }
  void SetProgressBar(HWND window) { progressBar = window; }

  // Loads the local manifest, fetches the remote one (at most about 3 s; with
  // a release key its signature too, as long again), and returns true when
  // the remote manifest is trusted, its version counts as more, lies within
  // the highest version Group Policy allows and this PC is within its
  // rollout share. With updates turned off by Group Policy, false at once,
  // nothing loaded or fetched. Main thread, once. What it found, and why a
  // release is not taken, goes to the event log (platform/event_log.h).
  bool CheckForUpdate();
  // With a release key, a manifest whose signature does not verify is not
  // even parsed, and one past its expiry is not taken: remoteManifest keeps
  // its defaults and remoteTrusted is false. A body over its cap likewise,
  // and with a key a text of a version issued before one this PC has taken
  // (temp\issued.txt keeps the newest time of issue of each).
  void FetchRemoteManifest();
  void LoadLocalManifest(std::string path);

  bool IsFullUpdate() const;
  bool IsForcedUpdate() const;

  // Writes remoteManifestText to the pending manifest, in text mode; with a
  // release key, remoteSignatureText beside it first, as it came. Always 1.
  int SavePendingManifest();

  // The update flows, on the worker thread.
  std::wstring RunFullUpdate();
  int RunIncrementalUpdate();
  // At a plain start, before anything else: installs a pending update.
  int FinalisePendingUpdate();

  PackageFileEntry FindLocalEntry(const std::string& name) const;
  static int CompareVersions(const std::string& a, const std::string& b);
  static std::wstring GetTempDirectory();

  // The trust and the retry policy (its stall limit from the settings file)
  // for this run's downloads.
  UpdateRules DownloadRules() const;

  // First, so that it is set before anything else is built.
  ReleaseTrust trust;
  HWND trayWindow = nullptr;
  HWND progressBar = nullptr;
  // The manifest's address as the last check read it from the settings.
  std::string manifestUrl;
  std::string remoteManifestText;
  PackageManifest localManifest;
  PackageManifest remoteManifest;
  std::wstring localManifestPath;
  std::wstring pendingManifestPath;
  std::string remoteSignatureText;
  bool remoteTrusted = false;
  // How often and after which pauses a download is tried again; its stall
  // limit comes from the settings file at each run.
  RetryPolicy retryPolicy;
};

// The worker thread's routine; parameter: the UpdateManager. Always returns 0.
DWORD WINAPI UpdateThreadProc(LPVOID manager);
