#pragma once

#include <filesystem>
#include <string>

// What every package of a release is made from: the release tree as
// published and the manifest it was published with. The MSI and the
// installer executable both install exactly these files, and the manifest as
// "package.json", so the updater on the PC knows the installed version.

enum class ProgramArch { kX64, kX86 };

struct PackageInputs {
  std::filesystem::path releaseDir;  // the release tree, as zq_publish read it
  std::string manifestText;          // installed as package.json, byte for byte
  std::string version;               // the manifest's version, decimal digits
  ProgramArch arch = ProgramArch::kX64;
};

// "x64" or "x86": the packages' names and the Program Files they install to.
const char* ArchName(ProgramArch arch);

// Fills inputs from a release tree and its manifest's text: the version from
// the manifest (which must parse and carry a version of decimal digits), the
// architecture from the tree's top-level ZenquiloStudent.exe (an x86-64 or
// x86 program image). False and problem set (one line naming what is wrong)
// otherwise.
bool ReadPackageInputs(const std::filesystem::path& releaseDir, const std::string& manifestText, PackageInputs& inputs,
                       std::string& problem);
