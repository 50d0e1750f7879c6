#include "publisher/packages/package_inputs.h"

#include <cstdint>

#include "publisher/release_tree.h"
#include "update/install/pe_machine.h"
#include "update/manifest/package_manifest.h"

namespace {

constexpr char kProgramName[] = "ZenquiloStudent.exe";
constexpr std::uint16_t kMachineX64 = 0x8664;
constexpr std::uint16_t kMachineX86 = 0x014C;

bool IsDecimal(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

const char* ArchName(ProgramArch arch) {
  return arch == ProgramArch::kX86 ? "x86" : "x64";
}

bool ReadPackageInputs(const std::filesystem::path& releaseDir, const std::string& manifestText, PackageInputs& inputs,
                       std::string& problem) {
  PackageManifest manifest;
  if (PackageManifestParser::Parse(manifestText, manifest) != 0 || !IsDecimal(manifest.version())) {
    problem = "the manifest does not parse, or names no version of decimal digits";
    return false;
  }
  std::string program;
  if (!ReadWholeFile(releaseDir / kProgramName, program)) {
    problem = std::string("the release holds no ") + kProgramName;
    return false;
  }
  std::uint16_t machine = 0;
  if (!PeMachineOf(program.substr(0, kPeHeaderBytes), machine) || (machine != kMachineX64 && machine != kMachineX86)) {
    problem = std::string(kProgramName) + " is not an x86-64 or x86 program";
    return false;
  }
  inputs.releaseDir = releaseDir;
  inputs.manifestText = manifestText;
  inputs.version = manifest.version();
  inputs.arch = machine == kMachineX86 ? ProgramArch::kX86 : ProgramArch::kX64;
  return true;
}
