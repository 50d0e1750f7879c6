#include "update/finalise_update.h"

#include <shellapi.h>

#include <io.h>
#include <share.h>
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "launch/process_killer.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "update/finalise_plan.h"
#include "update/update_check.h"
#include "update/update_manager.h"

namespace {

constexpr wchar_t kManifestName[] = L"package.json";
// What a program image moved aside is called: "<name>.<tick>.zqold".
constexpr wchar_t kRetiredSuffix[] = L".zqold";
constexpr DWORD kShellsEndingMs = 1000;
// A file can stay in use for a moment after its holder was terminated, so a
// move or deletion that fails on a file that is there is retried, for about
// two seconds per run in all: a release of many files held open does not hold
// up the start for long, and the next plain start tries again.
constexpr DWORD kRetryBudgetMs = 2000;
constexpr DWORD kRetryPauseMs = 200;

enum class MoveResult { kMoved, kNothingStaged, kNotMoved };

std::string ReadWholeBinary(const std::wstring& path) {
  std::string text;
  FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
  if (file == nullptr) return text;
  char block[4096];
  size_t count = 0;
  while ((count = fread(block, 1, sizeof block, file)) > 0) text.append(block, count);
  fclose(file);
  return text;
}

bool IsMissing(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Runs attempt until it succeeds, pausing between tries while the run's
// budget lasts. attempt returns true when done.
template <typename Attempt>
bool RetryWithinBudget(Attempt attempt, DWORD& retryBudgetMs) {
  for (;;) {
    if (attempt()) return true;
    if (retryBudgetMs == 0) return false;
    const DWORD pause = std::min(kRetryPauseMs, retryBudgetMs);
    Sleep(pause);
    retryBudgetMs -= pause;
  }
}

MoveResult MoveIntoPlace(const std::wstring& staged, const std::wstring& installed, DWORD& retryBudgetMs) {
  bool nothingStaged = false;
  const bool moved = RetryWithinBudget(
      [&] {
        if (MoveFileExW(staged.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
        // Nothing staged: an entry that was not downloaded, or one that an
        // earlier run already moved before it was cut short. Not a failure.
        nothingStaged = IsMissing(staged);
        return nothingStaged;
      },
      retryBudgetMs);
  if (nothingStaged) return MoveResult::kNothingStaged;
  return moved ? MoveResult::kMoved : MoveResult::kNotMoved;
}

// Windows lets nobody replace or delete a running program's image, but it
// may be renamed: the old one goes aside into temp\ (same volume), the new
// one takes its place, and a failed second step puts the old one back, so the
// install never lacks its program for longer than between two renames.
MoveResult MoveProgramIntoPlace(const std::wstring& staged, const std::wstring& installed,
                                const std::wstring& tempDirectory, const std::wstring& programName,
                                DWORD& retryBudgetMs) {
  if (IsMissing(staged)) return MoveResult::kNothingStaged;
  const std::wstring retired = tempDirectory + programName + L"." + std::to_wstring(GetTickCount64()) + kRetiredSuffix;
  const bool hadProgram = !IsMissing(installed);
  if (hadProgram && !RetryWithinBudget(
                        [&] { return MoveFileExW(installed.c_str(), retired.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; },
                        retryBudgetMs)) {
    return MoveResult::kNotMoved;
  }
  if (MoveFileExW(staged.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING)) return MoveResult::kMoved;
  if (hadProgram) MoveFileExW(retired.c_str(), installed.c_str(), 0);
  return MoveResult::kNotMoved;
}

bool DeleteInstalled(const std::wstring& installed, DWORD& retryBudgetMs) {
  return RetryWithinBudget([&] { return DeleteFileW(installed.c_str()) != 0 || IsMissing(installed); },
                           retryBudgetMs);
}

void Register(HWND ownerWindow, const std::wstring& installed) {
  // regsvr32 is the file and "/s <path>" its parameters: given the whole
  // command as the file, ShellExecuteW looks for a program of that name and
  // starts nothing (Wine: result 2). The short path keeps blanks out of the
  // parameters. Not waited for.
  const std::wstring parameters = L"/s " + GetShortPath(installed);
  ShellExecuteW(ownerWindow, L"open", L"regsvr32", parameters.c_str(), nullptr, SW_HIDE);
}

// A pending update that cannot be trusted is dropped whole: the installed
// release stays as it is, and the next start's check fetches the release anew.
int DiscardPendingUpdate(const std::wstring& pendingManifestPath) {
  DeleteFileW(pendingManifestPath.c_str());
  DeleteFileW((pendingManifestPath + kSignatureSuffix).c_str());
  return -1;
}

bool PendingManifestTrusted(const ReleaseTrust& trust, const std::string& pendingText,
                            const std::wstring& pendingManifestPath) {
  if (!trust.required()) return true;
  std::string served;
  return UndoTextModeNewlines(pendingText, served) &&
         trust.AcceptsManifest(served, ReadWholeBinary(pendingManifestPath + kSignatureSuffix));
}

// Every staged file is checked before the first one moves, so an install is
// never left half old and half new by a file that fails. A file an earlier
// run already moved is not here any more and needs no check.
bool StagedFilesTrusted(const ReleaseTrust& trust, const std::vector<FinaliseStep>& steps) {
  if (!trust.required()) return true;
  for (const FinaliseStep& step : steps) {
    if (step.skip != FinaliseSkip::kNone || IsMissing(NarrowToWide(step.stagedPath))) continue;
    if (!trust.AcceptsFile(step.stagedPath, step.entry)) {
      DeleteFileW(NarrowToWide(step.stagedPath).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int FinaliseInDirectories(const std::wstring& moduleDirectory, const std::wstring& tempDirectory,
                          const PackageManifest& localManifest, HWND trayWindow, const ReleaseTrust& trust,
                          const std::wstring& programName) {
  const std::wstring pendingManifestPath = tempDirectory + kManifestName;
  if (_waccess(pendingManifestPath.c_str(), 0) != 0) return -1;

  KillProcessesByName(L"zenquilo.exe");
  KillProcessesByName(L"zenquilo_live.exe");
  // Termination is asynchronous: give the shells time to let go of their files.
  Sleep(kShellsEndingMs);

  const std::string pendingText = ReadWholeBinary(pendingManifestPath);
  if (!PendingManifestTrusted(trust, pendingText, pendingManifestPath)) return DiscardPendingUpdate(pendingManifestPath);
  PackageManifest pending;
  if (PackageManifestParser::Parse(pendingText, pending) != 0) return -1;

  const std::vector<FinaliseStep> steps = PlanFinalisation(
      pending, localManifest, WideToNarrow(moduleDirectory), WideToNarrow(tempDirectory), WideToNarrow(programName));
  if (!StagedFilesTrusted(trust, steps)) return DiscardPendingUpdate(pendingManifestPath);

  // Order matters for a run that is cut short: files move first and the
  // manifest last, so until the end the update stays pending and the next
  // plain start finds the remaining staged files (moved ones are simply gone,
  // and "reg" and "delete" act again on the installed files, which is harmless).
  bool everyStepDone = true;
  DWORD retryBudgetMs = kRetryBudgetMs;
  for (const FinaliseStep& step : steps) {
    if (step.skip != FinaliseSkip::kNone) continue;
    const std::wstring staged = NarrowToWide(step.stagedPath);
    const std::wstring installed = NarrowToWide(step.installedPath);
    MakeDirectoryTree(step.installDirectory);
    const MoveResult moved =
        step.replacesRunningProgram
            ? MoveProgramIntoPlace(staged, installed, tempDirectory, programName, retryBudgetMs)
            : MoveIntoPlace(staged, installed, retryBudgetMs);
    if (moved == MoveResult::kNotMoved) everyStepDone = false;
    // Both act on the installed file whether or not this run moved it.
    if (step.action == FinaliseAction::kRegister) Register(trayWindow, installed);
    if (step.action == FinaliseAction::kDelete && !DeleteInstalled(installed, retryBudgetMs)) everyStepDone = false;
  }

  // A staged file still waiting, or a file still there that the release
  // deletes, means the installed files are not the ones the manifest
  // describes: keep it pending rather than claim the versions.
  if (!everyStepDone) return -1;
  const std::wstring localManifestPath = moduleDirectory + kManifestName;
  if (!MoveFileExW(pendingManifestPath.c_str(), localManifestPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return -1;
  DeleteFileW((pendingManifestPath + kSignatureSuffix).c_str());
  return 1;
}

void RemoveRetiredPrograms(const std::wstring& tempDirectory) {
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW((tempDirectory + L"*" + kRetiredSuffix).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) DeleteFileW((tempDirectory + found.cFileName).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

int UpdateManager::FinalisePendingUpdate() {
  wchar_t modulePath[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  const std::wstring path(modulePath, length < MAX_PATH ? length : 0);
  const std::wstring programName = path.substr(path.find_last_of(L"\\/") + 1);
  return FinaliseInDirectories(GetModuleDirectory(), GetTempDirectory(), localManifest, trayWindow, trust,
                               programName);
}
