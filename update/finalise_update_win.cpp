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
#include "update/update_manager.h"

namespace {

constexpr wchar_t kManifestName[] = L"package.json";
constexpr DWORD kShellsEndingMs = 1000;
// A file can stay in use for a moment after its holder was terminated, so a
// move that fails on a file that is there is retried, for about two seconds
// per run in all: a release of many files held open does not hold up the
// start for long, and the next plain start tries again.
constexpr DWORD kMoveRetryBudgetMs = 2000;
constexpr DWORD kMoveRetryPauseMs = 200;

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

MoveResult MoveIntoPlace(const std::wstring& staged, const std::wstring& installed, DWORD& retryBudgetMs) {
  for (;;) {
    if (MoveFileExW(staged.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING)) return MoveResult::kMoved;
    // Nothing staged: an entry that was not downloaded, or one that an earlier
    // run already moved before it was cut short. Not a failure.
    if (GetFileAttributesW(staged.c_str()) == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return MoveResult::kNothingStaged;
    }
    if (retryBudgetMs == 0) return MoveResult::kNotMoved;
    const DWORD pause = std::min(kMoveRetryPauseMs, retryBudgetMs);
    Sleep(pause);
    retryBudgetMs -= pause;
  }
}

void Register(HWND ownerWindow, const std::wstring& installed) {
  // regsvr32 is the file and "/s <path>" its parameters: given the whole
  // command as the file, ShellExecuteW looks for a program of that name and
  // starts nothing (Wine: result 2). The short path keeps blanks out of the
  // parameters. Not waited for.
  const std::wstring parameters = L"/s " + GetShortPath(installed);
  ShellExecuteW(ownerWindow, L"open", L"regsvr32", parameters.c_str(), nullptr, SW_HIDE);
}

}  // namespace

int FinaliseInDirectories(const std::wstring& moduleDirectory, const std::wstring& tempDirectory,
                          const PackageManifest& localManifest, HWND trayWindow) {
  const std::wstring pendingManifestPath = tempDirectory + kManifestName;
  if (_waccess(pendingManifestPath.c_str(), 0) != 0) return -1;

  KillProcessesByName(L"zenquilo.exe");
  KillProcessesByName(L"zenquilo_live.exe");
  // Termination is asynchronous: give the shells time to let go of their files.
  Sleep(kShellsEndingMs);

  PackageManifest pending;
  if (PackageManifestParser::Parse(ReadWholeBinary(pendingManifestPath), pending) != 0) return -1;

  // Order matters for a run that is cut short: files move first and the
  // manifest last, so until the end the update stays pending and the next
  // plain start finds the remaining staged files (moved ones are simply gone,
  // and "reg" and "delete" act again on the installed files, which is harmless).
  bool everyStagedFileMoved = true;
  DWORD retryBudgetMs = kMoveRetryBudgetMs;
  for (const FinaliseStep& step :
       PlanFinalisation(pending, localManifest, WideToNarrow(moduleDirectory), WideToNarrow(tempDirectory))) {
    if (step.skip != FinaliseSkip::kNone) continue;
    const std::wstring installed = NarrowToWide(step.installedPath);
    MakeDirectoryTree(step.installDirectory);
    if (MoveIntoPlace(NarrowToWide(step.stagedPath), installed, retryBudgetMs) == MoveResult::kNotMoved) {
      everyStagedFileMoved = false;
    }
    // Both act on the installed file whether or not this run moved it.
    if (step.action == FinaliseAction::kRegister) Register(trayWindow, installed);
    if (step.action == FinaliseAction::kDelete) DeleteFileW(installed.c_str());
  }

  // A staged file still waiting means the installed files are not the ones
  // the manifest describes: keep it pending rather than claim the versions.
  if (!everyStagedFileMoved) return -1;
  const std::wstring localManifestPath = moduleDirectory + kManifestName;
  if (!MoveFileExW(pendingManifestPath.c_str(), localManifestPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return -1;
  return 1;
}

int UpdateManager::FinalisePendingUpdate() {
  return FinaliseInDirectories(GetModuleDirectory(), GetTempDirectory(), localManifest, trayWindow);
}
