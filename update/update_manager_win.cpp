#include "update/update_manager.h"

#include <commctrl.h>

#include <ctime>
#include <exception>
#include <utility>

#include "platform/machine_identity.h"
#include "platform/machine_policy.h"
#include "platform/narrow_file.h"
#include "platform/paths.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "update/full_update.h"
#include "update/incremental_update.h"
#include "update/install/finalise_update.h"
#include "update/manifest/version_number.h"
#include "update/proof/issue_ledger.h"
#include "update/transfer/http_transfer.h"
#include "update/transfer/proxy_route.h"
#include "update/update_check.h"
#include "update/update_messages.h"

namespace {

// In temp\: the newest time of issue taken for each version.
constexpr wchar_t kIssueLedgerName[] = L"issued.txt";

}  // namespace

UpdateManager::UpdateManager(const ReleaseTrust& releaseTrust)
    : trust(releaseTrust),
      localManifestPath(GetModuleDirectory() + L"package.json"),
      pendingManifestPath(GetTempDirectory() + L"package.json") {}

bool UpdateManager::CheckForUpdate() {
  // Turned off by the administrator: not even the manifest is asked for.
  if (!UpdatesEnabledByPolicy()) return false;
  // First, so that the request can say which release this PC runs.
  LoadLocalManifest(WideToNarrow(localManifestPath));
  FetchRemoteManifest();
  if (!remoteTrusted || !IsUpdateDue(remoteManifest, localManifest)) return false;
  // Held back by the administrator: as if no update were due.
  if (!WithinHighestVersion(remoteManifest, HighestVersionByPolicy())) return false;
  // A staged release: a PC outside its share sees no update due, and has
  // fetched nothing but the manifest.
  return TakesRelease(remoteManifest, RolloutBucket(remoteManifest.version(), MachineIdentity()));
}

void UpdateManager::FetchRemoteManifest() {
  const std::string url = WideToNarrow(ReadPolicyOrSetting(kUpdateUrlKey, kDefaultUpdateUrl));
  // Every request of this check and of the update after it goes by this.
  SetProxyOverride(WideToNarrow(ReadPolicyOrSetting(kProxyKey, L"")));
  const DWORD tickCount = GetTickCount();
  const std::int32_t installed = VersionNumber(localManifest.version());
  std::string body;
  HttpTransfer transfer;
  const int fetched =
      transfer.FetchToMemory(BuildManifestRequestUrl(url, tickCount, installed), body, kMaxManifestBytes);
  // Whatever arrived is kept: the pending manifest is written from exactly
  // these bytes. A body that does not parse leaves remoteManifest as it was.
  remoteManifestText = body;
  remoteTrusted = false;
  // An answer over the cap is no manifest at all, whatever a part of it says.
  if (fetched == CURLE_FILESIZE_EXCEEDED) return;
  if (trust.required()) {
    std::string signature;
    const int signatureFetched = HttpTransfer().FetchToMemory(
        BuildManifestRequestUrl(SignatureUrlFor(url), tickCount, installed), signature, kMaxSignatureBytes);
    remoteSignatureText = signature;
    if (signatureFetched == CURLE_FILESIZE_EXCEEDED) return;
    // Anyone who can answer for the update host can send a manifest: one that
    // the release key did not sign is not looked at, so nothing it names is
    // fetched, staged or started.
    if (!trust.AcceptsManifest(body, signature)) return;
  }
  PackageManifest parsed = remoteManifest;
  PackageManifestParser::Parse(body, parsed);
  // By this PC's clock: a release past its expiry is treated as unsigned.
  if (!trust.AcceptsExpiry(parsed.expires(), static_cast<std::int64_t>(std::time(nullptr)))) return;
  if (trust.required()) {
    // A text of this version older than one this PC has taken is a replay
    // (the text a halt replaced, say): not taken, and not fetched from.
    const std::string ledgerPath = WideToNarrow(GetTempDirectory() + kIssueLedgerName);
    IssueLedger ledger = IssueLedger::Load(ledgerPath);
    if (!ledger.Accepts(parsed)) return;
    if (ledger.Record(parsed)) ledger.Save(ledgerPath);
  }
  remoteManifest = std::move(parsed);
  remoteTrusted = true;
}

void UpdateManager::LoadLocalManifest(std::string path) {
  PackageManifestParser::Parse(ReadWholeFile(path), localManifest);
}

bool UpdateManager::IsFullUpdate() const {
  return ChooseUpdateKind(remoteManifest) == UpdateKind::kFull;
}

bool UpdateManager::IsForcedUpdate() const {
  return remoteManifest.type() == "force";
}

int UpdateManager::SavePendingManifest() {
  // Each file whole or not at all: a manifest cut short by a full disk would
  // never parse, and every later start would end the shells for nothing.
  if (trust.required()) {
    // First, so that a pending manifest is never there without it; the
    // finalisation checks it again before it installs anything.
    if (!ReplaceNarrowFileWith(WideToNarrow(pendingManifestPath + kSignatureSuffix), remoteSignatureText)) return 1;
  }
  // Text mode: each line feed is written as CR LF.
  ReplaceNarrowFileWith(WideToNarrow(pendingManifestPath), remoteManifestText, "wt");
  return 1;
}

std::wstring UpdateManager::RunFullUpdate() {
  const std::string packageDate = remoteManifest.package_date();
  // An unsafe name fails as a failed download does: nothing is sent.
  if (InstallerFileName(packageDate).empty()) return std::wstring();
  const UpdateRules rules = DownloadRules();
  // With a release key, an installer the signed manifest gives no digest for
  // could never be proved: it is not fetched.
  if (!rules.trust.CanProveInstaller(remoteManifest)) return std::wstring();
  const std::wstring installerPath = GetTempDirectory() + L"setup" + NarrowToWide(packageDate) + L".exe";
  const auto proved = [&](const std::string& path) { return rules.trust.AcceptsInstaller(path, remoteManifest); };
  if (DownloadInstaller(remoteManifest.install_package_url(), WideToNarrow(installerPath), progressBar, rules.retry,
                        LimitsForSize(remoteManifest.install_package_size()), proved) != 0) {
    return std::wstring();
  }
  // The tray window reads the path before SendMessageW returns, while this
  // thread waits; by then it has started the installer and closed itself.
  SendMessageW(trayWindow, kUpdateReadyMessage, 1, reinterpret_cast<LPARAM>(installerPath.c_str()));
  return installerPath;
}

int UpdateManager::RunIncrementalUpdate() {
  IncrementalUpdateReporter reporter;
  reporter.progress = [this](int range, int position) {
    SendMessageW(progressBar, PBM_SETRANGE32, 0, range);
    SendMessageW(progressBar, PBM_SETPOS, position, 0);
  };
  // When the ready message returns, the tray window has written the pending manifest.
  reporter.ready = [this] { SendMessageW(trayWindow, kUpdateReadyMessage, 1, 1); };
  reporter.failed = [this] { SendMessageW(trayWindow, kUpdateFailedMessage, 1, 1); };
  // Staged files belong to one pending manifest: from here on they are this
  // release's, so an older pending manifest left by an earlier run must not
  // install them under its name at the next plain start.
  DeleteFileW(pendingManifestPath.c_str());
  DeleteFileW((pendingManifestPath + kSignatureSuffix).c_str());
  return RunIncrementalUpdateIn(remoteManifest, localManifest, WideToNarrow(GetTempDirectory()),
                                WideToNarrow(GetModuleDirectory()), reporter, DownloadRules());
}

int UpdateManager::FinalisePendingUpdate() {
  wchar_t modulePath[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
  const std::wstring path(modulePath, length < MAX_PATH ? length : 0);
  const std::wstring programName = path.substr(path.find_last_of(L"\\/") + 1);
  return FinaliseInDirectories(GetModuleDirectory(), GetTempDirectory(), localManifest, trayWindow, trust, programName);
}

PackageFileEntry UpdateManager::FindLocalEntry(const std::string& name) const {
  return FindEntryByName(localManifest, name);
}

int UpdateManager::CompareVersions(const std::string& a, const std::string& b) {
  return ::CompareVersions(a, b);
}

std::wstring UpdateManager::GetTempDirectory() {
  return ::GetTempDirectory();
}

UpdateRules UpdateManager::DownloadRules() const {
  UpdateRules rules{trust, retryPolicy};
  rules.retry.stallSeconds =
      StallSecondsFromSetting(WideToNarrow(ReadSetting(kSettingsSection, kStallSecondsKey, L"")));
  rules.parallelDownloads =
      ParallelDownloadsFromSetting(WideToNarrow(ReadSetting(kSettingsSection, kParallelDownloadsKey, L"")));
  return rules;
}

DWORD WINAPI UpdateThreadProc(LPVOID parameter) {
  auto* manager = static_cast<UpdateManager*>(parameter);
  if (manager == nullptr) return 0;
  // Nothing may leave a thread entry: an escaping exception would end the
  // process, and the user would lose the tray companion with it.
  try {
    const CurlGlobalScope curl;
    if (manager->IsFullUpdate()) {
      manager->RunFullUpdate();
    } else if (manager->IsForcedUpdate()) {
      manager->RunIncrementalUpdate();
    }
  } catch (const std::exception&) {
  }
  return 0;
}
