#pragma once

#include <string>
#include <vector>

#include "publisher/packages/package_inputs.h"

// The NSIS script of a release's installer executable, made from values
// (installer_package.h builds it). What the installer does is described
// there.

// One file the installer puts in place.
struct InstallerFile {
  std::string installPath;  // UTF-8, "/" separators, below the install directory
  std::string source;       // what makensis packs, relative to the script's directory
  std::string md5;          // the manifest's hash: the release's file is proved by it
  long long size = 0;       // bytes, as the manifest says
  bool registers = false;   // a "reg" entry: registered with regsvr32 once in place
};

struct InstallerContents {
  std::vector<InstallerFile> files;  // in the manifest's order
  // The install paths of the manifest's "delete" entries: files of an older
  // release that go when this one is installed over it.
  std::vector<std::string> deletions;
};

// What the installer holds, from inputs.manifestText: every entry's install
// path, each file's source named "files/<index>". False and problem set
// (one line) when the manifest does not parse or an entry names a path the
// client could not install, or the installer's own package.json or
// uninstall.exe. Pure; any thread.
bool InstallerContentsFromManifest(const PackageInputs& inputs, InstallerContents& contents, std::string& problem);

// The NSIS script (UTF-8, without a byte order mark) of the installer of
// inputs' release for inputs.arch, holding contents and "package.json", and
// writing "setup.exe"; those names are relative to the script's directory.
// Pure; any thread.
std::string InstallerScript(const PackageInputs& inputs, const InstallerContents& contents);
