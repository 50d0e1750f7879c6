#pragma once

#include <string>
#include <vector>

#include "update/manifest/package_manifest.h"

// What installing a pending update does, decided from values only: for each
// entry of the pending manifest, in list order, whether it is installed, from
// where to where, and what follows the move. Paths are narrow text (code page
// 936 on Windows): a directory ending in a separator with local_path and name
// appended directly. No I/O; any thread. update/install/finalise_update.h carries it out.

enum class FinaliseAction {
  kNone,      // the move alone installs the file
  kRegister,  // act exactly "reg": register the installed file as a COM server
  kDelete,    // act exactly "delete": delete the installed file
};

enum class FinaliseSkip {
  kNone,        // installed
  kNotNewer,    // ver does not count as more than the local entry's
  kUnsafePath,  // local_path + name would leave our directories
  kNotAFile,    // local_path + name names a directory, or the manifest itself
  kOwnProgram,  // "delete" of the running program: the PC would lose its updater
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
  // The entry has bytes that staging fetched (EntryHasAFile): a staged file
  // there is proved against it and moved. Otherwise only act applies.
  bool expectsStagedFile = false;
  // Staging fetched it, being newer than the installed package.json's entry:
  // the install is whole only once this file is in place, staged or not.
  bool mustBeInPlace = false;
};

// One step per entry of pending's file list. An entry is installed when its
// ver counts as more than local's entry of exactly the same name (a missing
// one counts as ver 0); at start-up local is still empty, so every entry of a
// ver above 0 is. installed is package.json as it lies in moduleDirectory,
// which decides mustBeInPlace. programName is the running program's file name
// in moduleDirectory (empty: none); an entry that names it, as Windows
// resolves names, replaces it, and one that would delete it is skipped.
std::vector<FinaliseStep> PlanFinalisation(const PackageManifest& pending, const PackageManifest& local,
                                           const PackageManifest& installed, const std::string& moduleDirectory,
                                           const std::string& tempDirectory,
                                           const std::string& programName = std::string());

// Every tempDirectory + local_path + name of pending's entries that the path
// rules accept as a file: what dropping a pending update removes.
std::vector<std::string> StagedPathsNamedBy(const PackageManifest& pending, const std::string& tempDirectory);

// act compared byte for byte: "reg", "delete", anything else nothing.
FinaliseAction FinaliseActionFor(const std::string& act);
