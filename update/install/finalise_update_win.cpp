#include "update/install/finalise_update.h"

#include <shellapi.h>

#include <io.h>
#include <share.h>
#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "launch/process_killer.h"
#include "platform/error_text.h"
#include "platform/event_log.h"
#include "platform/narrow_file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "update/install/finalise_plan.h"
#include "update/install/pe_machine.h"
#include "update/update_check.h"

namespace {

constexpr wchar_t kManifestName[] = L"package.json";
// What ends the name of a file moved aside into temp\ (RetiredPathFor).
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
  const UniqueFile file(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
  if (!file) return text;
  char block[4096];
  size_t count = 0;
  while ((count = fread(block, 1, sizeof block, file.get())) > 0) text.append(block, count);
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
        // Nothing staged: the caller judges the installed file instead.
        nothingStaged = IsMissing(staged);
        return nothingStaged;
      },
      retryBudgetMs);
  if (nothingStaged) return MoveResult::kNothingStaged;
  return moved ? MoveResult::kMoved : MoveResult::kNotMoved;
}

// Where a file moved aside waits in temp\ (same volume, so a rename) until a
// later start deletes it: "<name>.<tick>.<n>.zqold", unique within a run.
std::wstring RetiredPathFor(const std::wstring& installed, const std::wstring& tempDirectory) {
  static unsigned counter = 0;
  const std::wstring name = installed.substr(installed.find_last_of(L"\\/") + 1);
  return tempDirectory + name + L"." + std::to_wstring(GetTickCount64()) + L"." + std::to_wstring(++counter) +
         kRetiredSuffix;
}

// Windows lets nobody replace or delete a running program's image or a DLL
// that another process has loaded, but such a file may be renamed: the old
// one goes aside into temp\, the new one takes its place, and a failed second
// step puts the old one back, so the install never lacks the file for longer
// than between two renames.
MoveResult MoveAsideAndReplace(const std::wstring& staged, const std::wstring& installed,
                               const std::wstring& tempDirectory, DWORD& retryBudgetMs) {
  if (IsMissing(staged)) return MoveResult::kNothingStaged;
  const std::wstring retired = RetiredPathFor(installed, tempDirectory);
  const bool hadFile = !IsMissing(installed);
  if (hadFile && !RetryWithinBudget(
                     [&] { return MoveFileExW(installed.c_str(), retired.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; },
                     retryBudgetMs)) {
    return MoveResult::kNotMoved;
  }
  if (MoveFileExW(staged.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING)) return MoveResult::kMoved;
  if (hadFile) MoveFileExW(retired.c_str(), installed.c_str(), 0);
  return MoveResult::kNotMoved;
}

MoveResult PutInPlace(const FinaliseStep& step, const std::wstring& tempDirectory, DWORD& retryBudgetMs) {
  const std::wstring staged = NarrowToWide(step.stagedPath);
  const std::wstring installed = NarrowToWide(step.installedPath);
  if (step.replacesRunningProgram) return MoveAsideAndReplace(staged, installed, tempDirectory, retryBudgetMs);
  const MoveResult moved = MoveIntoPlace(staged, installed, retryBudgetMs);
  if (moved != MoveResult::kNotMoved) return moved;
  // Still held after the retries (an Explorer-loaded COM server, a scanner
  // that allows deletion): the held copy goes aside instead.
  return MoveAsideAndReplace(staged, installed, tempDirectory, retryBudgetMs);
}

bool Install(const FinaliseStep& step, const ReleaseTrust& trust, const std::wstring& tempDirectory,
             DWORD& retryBudgetMs) {
  const MoveResult moved = PutInPlace(step, tempDirectory, retryBudgetMs);
  if (moved != MoveResult::kNothingStaged) return moved == MoveResult::kMoved;
  // The staged file was there when the release was proved, and is gone now
  // (an earlier run moved it, or a scanner quarantined it since): only the
  // release's own bytes in place count as installed.
  return !step.mustBeInPlace || trust.AcceptsFile(step.installedPath, step.entry);
}

bool Remove(const FinaliseStep& step, const std::wstring& tempDirectory, DWORD& retryBudgetMs) {
  const std::wstring installed = NarrowToWide(step.installedPath);
  // A staged copy of a file the release deletes was never fetched or proved
  // by this release: it goes, and it is never installed.
  DeleteFileW(NarrowToWide(step.stagedPath).c_str());
  if (RetryWithinBudget([&] { return DeleteFileW(installed.c_str()) != 0 || IsMissing(installed); }, retryBudgetMs)) {
    return true;
  }
  return MoveFileExW(installed.c_str(), RetiredPathFor(installed, tempDirectory).c_str(), 0) != 0;
}

void Register(HWND ownerWindow, const std::wstring& installed) {
  // regsvr32 by its full path: the bare name is looked for in the current
  // and the program's directory first, where anyone who can write there could
  // put one to run as administrator. The DLL's path is quoted rather than
  // shortened, since a volume may have no 8.3 names; a quote inside it (no
  // Windows name holds one) would end the quoting and is refused.
  if (installed.find(L'"') != std::wstring::npos) return;
  wchar_t systemDirectory[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring regsvr32 = std::wstring(systemDirectory, length) + L"\\regsvr32.exe";
  const std::wstring parameters = L"/s \"" + installed + L"\"";
  // Not waited for.
  ShellExecuteW(ownerWindow, L"open", regsvr32.c_str(), parameters.c_str(), nullptr, SW_HIDE);
}

// True when the file is a program image for the processor this build runs
// on: another architecture's image would leave an install that cannot start.
bool IsRunningBuildsImage(const std::wstring& path) {
  std::string head(kPeHeaderBytes, '\0');
  {
    const UniqueFile file(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
    if (!file) return false;
    head.resize(fread(&head[0], 1, head.size(), file.get()));
  }
  std::uint16_t machine = 0;
  return PeMachineOf(head, machine) && machine == RunningBuildMachine();
}

// A pending update that cannot be installed as it stands is dropped whole
// (manifest, signature and the staged files it names): the installed release
// stays as it is, and the next check fetches the release anew if it is due.
int DropPendingUpdate(const std::wstring& pendingManifestPath, const std::vector<std::string>& stagedPaths) {
  for (const std::string& path : stagedPaths) DeleteFileW(NarrowToWide(path).c_str());
  DeleteFileW(pendingManifestPath.c_str());
  DeleteFileW((pendingManifestPath + kSignatureSuffix).c_str());
  return -1;
}

PackageManifest ReadInstalledManifest(const std::wstring& moduleDirectory) {
  PackageManifest installed;
  PackageManifestParser::Parse(ReadWholeBinary(moduleDirectory + kManifestName), installed);
  return installed;
}

// Every file the release puts in place is proved before the first one moves,
// so an install is never left half old and half new by a file that fails: a
// staged file by its digests, and the program image by its processor too. A
// file this release fetched but that is not staged (an earlier run moved it
// before it was cut short) must already be installed with its digests.
bool StagedFilesProved(const ReleaseTrust& trust, const std::vector<FinaliseStep>& steps) {
  for (const FinaliseStep& step : steps) {
    if (step.skip != FinaliseSkip::kNone || !step.expectsStagedFile) continue;
    if (IsMissing(NarrowToWide(step.stagedPath))) {
      if (step.mustBeInPlace && !trust.AcceptsFile(step.installedPath, step.entry)) {
        LogEvent("finalise: " + step.installedPath + " is neither staged nor the release's own bytes");
        return false;
      }
      continue;
    }
    if (!trust.AcceptsFile(step.stagedPath, step.entry)) {
      LogEvent("finalise: staged " + step.stagedPath + " fails its proof");
      return false;
    }
    if (step.replacesRunningProgram && !IsRunningBuildsImage(NarrowToWide(step.stagedPath))) {
      LogEvent("finalise: staged " + step.stagedPath + " is not a program for this processor");
      return false;
    }
  }
  return true;
}

struct FinaliseDirectories {
  std::wstring module;
  std::wstring temp;
  std::wstring programName;
};

enum class PendingVerdict {
  kApply,       // proved: install it
  kUnreadable,  // does not parse: it stays, and nothing moves
  kDropped,     // cannot be installed: dropped
};

// Step one: read the pending manifest, and prove that it moves the install
// forward and that every file it puts in place is its own. Fills steps.
PendingVerdict LoadAndProvePendingUpdate(const FinaliseDirectories& directories, const PackageManifest& localManifest,
                                         const ReleaseTrust& trust, std::vector<FinaliseStep>& steps) {
  const std::wstring pendingManifestPath = directories.temp + kManifestName;
  std::string text = ReadWholeBinary(pendingManifestPath);
  if (trust.required()) {
    std::string served;
    if (!UndoTextModeNewlines(text, served) ||
        !trust.AcceptsManifest(served, ReadWholeBinary(pendingManifestPath + kSignatureSuffix))) {
      DropPendingUpdate(pendingManifestPath, {});
      LogEvent("finalise: the pending manifest's signature is not accepted; dropped");
      return PendingVerdict::kDropped;
    }
    // What is parsed is exactly what the signature covers.
    text = std::move(served);
  }
  PackageManifest pending;
  if (PackageManifestParser::Parse(text, pending) != 0) {
    LogEvent("finalise: the pending manifest cannot be read; nothing moves");
    return PendingVerdict::kUnreadable;
  }

  const std::string tempDirectory = WideToNarrow(directories.temp);
  const PackageManifest installed = ReadInstalledManifest(directories.module);
  // A release that is not newer than the installed one (left pending while a
  // full installer put a newer one in place, or an old one replayed) would
  // move the install backwards.
  if (!IsUpdateDue(pending, installed)) {
    DropPendingUpdate(pendingManifestPath, StagedPathsNamedBy(pending, tempDirectory));
    LogEvent("finalise: pending release " + pending.version() + " is not newer than installed release " +
             installed.version() + "; dropped");
    return PendingVerdict::kDropped;
  }
  steps = PlanFinalisation(pending, localManifest, installed, WideToNarrow(directories.module), tempDirectory,
                           WideToNarrow(directories.programName));
  if (!StagedFilesProved(trust, steps)) {
    DropPendingUpdate(pendingManifestPath, StagedPathsNamedBy(pending, tempDirectory));
    LogEvent("finalise: release " + pending.version() + " dropped; the next check fetches it anew");
    return PendingVerdict::kDropped;
  }
  LogEvent("finalise: release " + pending.version() + " over release " + installed.version() + ", " +
           std::to_string(steps.size()) + " entries");
  return PendingVerdict::kApply;
}

// Step two: put the proved files in place, register and delete, and only
// when every one is done make the pending manifest the installed one.
int ApplyPendingUpdate(const FinaliseDirectories& directories, const std::vector<FinaliseStep>& steps,
                       const ReleaseTrust& trust, HWND trayWindow) {
  // Order matters for a run that is cut short: files move first and the
  // manifest last, so until the end the update stays pending and the next
  // plain start finds the remaining staged files (moved ones are simply gone,
  // and "reg" and "delete" act again on the installed files, which is harmless).
  bool everyStepDone = true;
  DWORD retryBudgetMs = kRetryBudgetMs;
  for (const FinaliseStep& step : steps) {
    if (step.skip != FinaliseSkip::kNone) continue;
    MakeDirectoryTree(step.installDirectory);
    if (step.action == FinaliseAction::kDelete) {
      if (!Remove(step, directories.temp, retryBudgetMs)) {
        LogEvent("finalise: cannot delete " + step.installedPath + ": " + SystemErrorText(GetLastError()));
        everyStepDone = false;
      }
      continue;
    }
    // An entry without a file of its own (no hash, no URL) has nothing
    // proved to move: its act applies to the installed file as it is.
    if (step.expectsStagedFile && !Install(step, trust, directories.temp, retryBudgetMs)) {
      LogEvent("finalise: cannot put " + step.installedPath + " in place: " + SystemErrorText(GetLastError()));
      everyStepDone = false;
    }
    // Whether or not this run moved it.
    if (step.action == FinaliseAction::kRegister) Register(trayWindow, NarrowToWide(step.installedPath));
  }

  // A staged file still waiting, or a file still there that the release
  // deletes, means the installed files are not the ones the manifest
  // describes: keep it pending rather than claim the versions.
  if (!everyStepDone) {
    LogEvent("finalise: not every file is in place; the update stays pending for the next plain start");
    return -1;
  }
  const std::wstring pendingManifestPath = directories.temp + kManifestName;
  const std::wstring localManifestPath = directories.module + kManifestName;
  if (!MoveFileExW(pendingManifestPath.c_str(), localManifestPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    LogEvent("finalise: cannot install the manifest: " + SystemErrorText(GetLastError()));
    return -1;
  }
  DeleteFileW((pendingManifestPath + kSignatureSuffix).c_str());
  LogEvent("finalise: done, the update is installed");
  return 1;
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

  const FinaliseDirectories directories = {moduleDirectory, tempDirectory, programName};
  std::vector<FinaliseStep> steps;
  if (LoadAndProvePendingUpdate(directories, localManifest, trust, steps) != PendingVerdict::kApply) return -1;
  return ApplyPendingUpdate(directories, steps, trust, trayWindow);
}

void RemoveRetiredPrograms(const std::wstring& tempDirectory) {
  WIN32_FIND_DATAW found = {};
  const UniqueFindHandle search(FindFirstFileW((tempDirectory + L"*" + kRetiredSuffix).c_str(), &found));
  if (!search) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      DeleteFileW((tempDirectory + found.cFileName).c_str());
  } while (FindNextFileW(search.get(), &found));
}
