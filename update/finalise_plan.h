#pragma once

#include <string>
#include <vector>

#include "update/package_manifest.h"

// What installing a pending update does, decided from values only: for each
// entry of the pending manifest, in list order, whether it is installed, from
// where to where, and what follows the move. Paths are narrow text (code page
// 936 on Windows): a directory ending in a separator with local_path and name
// appended directly. No I/O; any thread. update/finalise_update.h carries it out.

enum class FinaliseAction {
  kNone,      // the move alone installs the file
  kRegister,  // act exactly "reg": register the installed file as a COM server
  kDelete,    // act exactly "delete": delete the installed file
};

enum class FinaliseSkip {
  kNone,            // installed
  kNotNewer,        // ver does not count as more than the local entry's
  kUnsafePath,      // local_path + name would leave our directories
  kNotAFile,        // local_path + name names a directory, or the manifest itself
};

struct FinaliseStep {
  std::string name;
  PackageFileEntry entry;  // the pending manifest's, for proving its staged file
  FinaliseSkip skip = FinaliseSkip::kNone;
  // The rest is empty for a skipped entry.
  std::string installDirectory;  // module directory + local_path: every directory up to its last separator
  std::string stagedPath;        // temp directory + local_path + name
  std::string installedPath;     // module directory + local_path + name
  FinaliseAction action = FinaliseAction::kNone;
  // The installed path is the running program's own image, which Windows
  // lets nobody replace: it has to be moved aside first.
  bool replacesRunningProgram = false;
};

// One step per entry of pending's file list. local is the installed manifest
// (entries are matched by exact name; a missing one counts as ver 0).
// programName is the running program's file name in moduleDirectory (empty:
// none); an entry that names it, as Windows resolves names, replaces it.
std::vector<FinaliseStep> PlanFinalisation(const PackageManifest& pending, const PackageManifest& local,
                                           const std::string& moduleDirectory, const std::string& tempDirectory,
                                           const std::string& programName = std::string());

// act compared byte for byte: "reg", "delete", anything else nothing.
FinaliseAction FinaliseActionFor(const std::string& act);
