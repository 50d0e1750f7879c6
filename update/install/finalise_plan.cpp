#include "update/install/finalise_plan.h"

#include "update/manifest/safe_path.h"
#include "update/update_check.h"
#include "update/manifest/version_number.h"

FinaliseAction FinaliseActionFor(const std::string& act) {
  if (act == "reg") return FinaliseAction::kRegister;
  if (act == "delete") return FinaliseAction::kDelete;
  return FinaliseAction::kNone;
}

std::vector<FinaliseStep> PlanFinalisation(const PackageManifest& pending, const PackageManifest& local,
                                           const PackageManifest& installed, const std::string& moduleDirectory,
                                           const std::string& tempDirectory, const std::string& programName) {
  const EntryIndex localEntries(local);
  const EntryIndex installedEntries(installed);
  std::vector<FinaliseStep> steps;
  steps.reserve(pending.file_list().size());
  for (const PackageFileEntry& entry : pending.file_list()) {
    FinaliseStep step;
    step.name = entry.name();
    step.entry = entry;
    const std::string relativePath = entry.local_path() + entry.name();
    if (CompareVersions(entry.ver(), localEntries.VerOf(entry.name())) != 1) {
      step.skip = FinaliseSkip::kNotNewer;
    } else if (!IsSafeRelativePath(relativePath)) {
      // The path comes from the network, and a "reg" entry is registered with
      // administrator rights: nothing outside our directories is touched.
      step.skip = FinaliseSkip::kUnsafePath;
    } else if (!NamesAFileOfItsOwn(relativePath)) {
      step.skip = FinaliseSkip::kNotAFile;
    } else if (FinaliseActionFor(entry.act()) == FinaliseAction::kDelete &&
               NamesTopLevelFile(relativePath, programName)) {
      // Only a proved new build may take the program's place: without it, no
      // later release could ever reach this PC again.
      step.skip = FinaliseSkip::kOwnProgram;
    } else {
      step.installDirectory = moduleDirectory + entry.local_path();
      step.stagedPath = tempDirectory + relativePath;
      step.installedPath = moduleDirectory + relativePath;
      step.action = FinaliseActionFor(entry.act());
      step.replacesRunningProgram = NamesTopLevelFile(relativePath, programName);
      step.expectsStagedFile = EntryHasAFile(entry);
      step.mustBeInPlace =
          step.expectsStagedFile && CompareVersions(entry.ver(), installedEntries.VerOf(entry.name())) == 1;
    }
    steps.push_back(step);
  }
  return steps;
}

std::vector<std::string> StagedPathsNamedBy(const PackageManifest& pending, const std::string& tempDirectory) {
  std::vector<std::string> paths;
  for (const PackageFileEntry& entry : pending.file_list()) {
    const std::string relativePath = entry.local_path() + entry.name();
    if (IsSafeRelativePath(relativePath) && NamesAFileOfItsOwn(relativePath))
      paths.push_back(tempDirectory + relativePath);
  }
  return paths;
}
