#include "update/finalise_plan.h"

#include "update/safe_path.h"
#include "update/update_check.h"
#include "update/version_number.h"

namespace {

constexpr char kManifestName[] = "package.json";

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Windows drops trailing dots and blanks from a path's components, so "a.dll."
// is "a.dll" and "..." names the directory that holds it.
std::string AsWindowsNamesIt(std::string segment) {
  while (!segment.empty() && (segment.back() == '.' || segment.back() == ' ')) segment.pop_back();
  std::string lowered;
  for (char c : segment) lowered += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lowered;
}

std::vector<std::string> Segments(const std::string& relativePath) {
  std::vector<std::string> segments;
  std::string current;
  for (char c : relativePath) {
    if (IsSeparator(c)) {
      segments.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  segments.push_back(current);
  return segments;
}

// The segments that name something, as Windows folds them; "." and empty ones
// drop out. A safe path has no "..", so nothing else can climb.
std::vector<std::string> NamedSegments(const std::string& relativePath) {
  std::vector<std::string> named;
  for (const std::string& segment : Segments(relativePath)) {
    if (!AsWindowsNamesIt(segment).empty()) named.push_back(AsWindowsNamesIt(segment));
  }
  return named;
}

// True when relativePath names exactly fileName at the top of its directory.
bool NamesTopLevelFile(const std::string& relativePath, const std::string& fileName) {
  const std::vector<std::string> named = NamedSegments(relativePath);
  return named.size() == 1 && !fileName.empty() && named.front() == AsWindowsNamesIt(fileName);
}

// A path with no file name of its own (it ends in a separator, "." or the
// like) would move or delete a whole directory. One that resolves to
// "package.json" directly under "temp\" is the pending manifest itself: moving
// it early would end the pending state before the other files are in place.
bool NamesAFileOfItsOwn(const std::string& relativePath) {
  if (AsWindowsNamesIt(Segments(relativePath).back()).empty()) return false;
  return !NamesTopLevelFile(relativePath, kManifestName);
}

}  // namespace

FinaliseAction FinaliseActionFor(const std::string& act) {
  if (act == "reg") return FinaliseAction::kRegister;
  if (act == "delete") return FinaliseAction::kDelete;
  return FinaliseAction::kNone;
}

std::vector<FinaliseStep> PlanFinalisation(const PackageManifest& pending, const PackageManifest& local,
                                           const std::string& moduleDirectory, const std::string& tempDirectory,
                                           const std::string& programName) {
  std::vector<FinaliseStep> steps;
  for (const PackageFileEntry& entry : pending.file_list()) {
    FinaliseStep step;
    step.name = entry.name();
    step.entry = entry;
    const std::string relativePath = entry.local_path() + entry.name();
    if (CompareVersions(entry.ver(), FindEntryByName(local, entry.name()).ver()) != 1) {
      step.skip = FinaliseSkip::kNotNewer;
    } else if (!IsSafeRelativePath(relativePath)) {
      // The path comes from the network, and a "reg" entry is registered with
      // administrator rights: nothing outside our directories is touched.
      step.skip = FinaliseSkip::kUnsafePath;
    } else if (!NamesAFileOfItsOwn(relativePath)) {
      step.skip = FinaliseSkip::kNotAFile;
    } else {
      step.installDirectory = moduleDirectory + entry.local_path();
      step.stagedPath = tempDirectory + relativePath;
      step.installedPath = moduleDirectory + relativePath;
      step.action = FinaliseActionFor(entry.act());
      step.replacesRunningProgram = NamesTopLevelFile(relativePath, programName);
    }
    steps.push_back(step);
  }
  return steps;
}
