#pragma once

#include <string>
#include <vector>

#include "publisher/entry_status.h"
#include "update/manifest/package_manifest.h"

// Decides a release from values: what the release directory holds, the
// operator's options and the previous release's manifest in, the new manifest
// and the list of files to serve out. No I/O; any thread. release_tree.h does
// the walking and copying around it; release_drafts.h holds its stages.
//
// Per-file ver, keyed by the install path: a new file gets 1; a file whose
// content and act are unchanged keeps its ver (content: the MD5, and the
// SHA-256 too where the previous entry has one); a changed file, or one back
// after a deletion, gets the previous ver + 1; a file gone from the release
// gets an act "delete" entry with ver + 1 and an empty file to serve; a
// "delete" entry still gone is kept as it was. No release may carry a
// "delete" entry for the program itself, ZenquiloStudent.exe at the top.

// One thing found below the release directory.
struct ReleaseItem {
  std::string path;          // UTF-8, "/" separators, relative to the release directory
  bool isDirectory = false;  // directories are only checked for their names
  std::string hash;          // files: 32 upper-case hex digits of MD5
  std::string sha256;        // files: 64 lower-case hex digits
  long long size = 0;        // files: bytes
};

struct ReleaseOptions {
  std::string version;                   // decimal digits, checked by the caller
  std::string date;                      // UTF-8
  std::string baseUrl;                   // without a trailing "/"
  std::vector<std::string> regPatterns;  // globs on the UTF-8 relative path
  std::vector<std::string> deletePaths;  // UTF-8, "/" separators
  std::string installerName;             // UTF-8 file name; empty: not a full release
  std::string installerSha256;           // of the installer's bytes, when installerName is set
  long long installerSize = 0;           // its byte count, likewise
  std::string expires;                   // "expires" of a signed release, or empty
  int rollout = kWholeRollout;           // the share of PCs that take it, 0 to 100
  bool hasPrevious = false;
  PackageManifest previous;
};

// One file to serve, in the order of the manifest's file_list.
struct PublishedFile {
  std::string path;        // UTF-8 install path, "/" separators
  std::string servedPath;  // "files/<ver>/" + path, below the output directory
  std::string ver;
  EntryStatus status = EntryStatus::kNew;
  bool fromRelease = false;  // true: the release directory's file; false: an empty file
  std::string hash;
  std::string sha256;
  std::string note;  // why, where it is not obvious
};

struct ReleasePlan {
  PackageManifest manifest;
  std::vector<PublishedFile> files;
  std::string installerServedPath;  // "installer/<name>", or empty
  std::vector<std::string> warnings;
};

// True and plan filled, or false and refusal set to one line that names the
// file and the reason (the caller exits with code 3).
bool PlanRelease(const std::vector<ReleaseItem>& items, const ReleaseOptions& options, ReleasePlan& plan,
                 std::string& refusal);

// "new", "changed", "same", "deleted".
const char* StatusWord(EntryStatus status);
