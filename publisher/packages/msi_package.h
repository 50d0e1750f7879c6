#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "publisher/packages/package_inputs.h"

// The MSI of a release, ZenquiloStudent-<arch>.msi, for IT to deploy by
// Group Policy, Intune or SCCM: per machine, into "ZenquiloStudent" under the
// 64-bit Program Files (x64) or the 32-bit one (x86), every file of the
// release and its manifest as package.json; "kvts://" in HKLM's classes, a
// Start-menu shortcut, a Programs and Features entry. The public properties
// UPDATE_URL and HOME_URL, when given, are written into zenquilostudent.ini
// and remembered in HKLM\Software\ZenquiloStudent for later upgrades. A newer
// MSI of the same architecture replaces an older one (a major upgrade by a
// fixed upgrade code); removal also takes the program's temp\ folder and the
// settings file.
//
// Made with Debian's wixl (package wixl), then msibuild (package msitools)
// adds what wixl cannot write: the settings file's IniFile table, the
// removal of temp\, component conditions and the database's code page.

// The MSI ProductVersion of release version (decimal digits, at most
// 2147483647): the 31 bits spread as (N >> 24).((N >> 16) & 255).(N & 65535),
// which keeps the releases' order within the installer's 255.255.65535.
// False for anything else.
bool MsiProductVersion(const std::string& version, std::string& msiVersion);

// True when the MSI can install a file under installPath (UTF-8, "/"
// separators); false and problem set (one line naming it) otherwise: the
// database holds names in code page 936, and wixl cannot write "$(" in one.
bool MsiCanHold(const std::string& installPath, std::string& problem);

// One file the MSI installs.
struct MsiFile {
  std::string installPath;  // UTF-8, "/" separators, below the install directory
  std::string source;       // where wixl reads the bytes: relative to the WiX source's directory
};

// What wixl and msibuild are given, as text.
struct MsiSource {
  std::string wxs;                   // the WiX source (wixl's dialect)
  std::string iniFileTable;          // IniFile.idt
  std::string removeFileTable;       // RemoveFile.idt
  std::vector<std::string> queries;  // SQL that msibuild runs on wixl's database
};

// The MSI of inputs' release installing files (the release's files and
// package.json). False and problem set (one line) when a name cannot be held
// (MsiCanHold) or the version has no MSI version. Pure; any thread.
bool MakeMsiSource(const PackageInputs& inputs, const std::vector<MsiFile>& files, MsiSource& source,
                   std::string& problem);

// The rows of a table as `msiinfo export MSI TABLE` prints it (three header
// lines, then one tab-separated line per row), each row's columns in order.
std::vector<std::vector<std::string>> ExportedTableRows(const std::string& exported);

// out's name for inputs' MSI: "ZenquiloStudent-x64.msi" or "ZenquiloStudent-x86.msi".
std::string MsiPackageName(const PackageInputs& inputs);

// Builds the MSI of inputs' release into out (which must exist), replacing
// an older one, through a scratch directory in out that goes afterwards; out
// holds the MSI whole or not at all. False and problem set (one line, or the
// tool's last lines) otherwise. The Windows build of zq_publish makes no
// packages and says so here. Any thread; runs wixl and msibuild.
bool BuildMsiPackage(const PackageInputs& inputs, const std::filesystem::path& out, std::string& problem);
