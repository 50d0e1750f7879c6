#include "update/update_manager.h"

#include <commctrl.h>

#include <ctime>
#include <exception>
#include <utility>

#include "platform/event_log.h"
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
#include "update/transfer/download_policy.h"
#include "update/transfer/http_transfer.h"
#include "update/transfer/proxy_route.h"
#include "update/update_check.h"
#include "update/update_messages.h"

namespace {

// In temp\: the newest time of issue taken for each version.
constexpr wchar_t kIssueLedgerName[] = L"issued.txt";

void LogCheck(const std::string& text) {
  LogEvent("check: " + text);
}

// Fetches the manifest's signature from url into signatureText, as it
// comes; true when the release key accepts body with it.
bool SignatureAccepted(const ReleaseTrust& trust, const std::string& url, const std::string& body,
                       std::string& signatureText) {
  std::string signature;
  HttpTransfer transfer;
  const int fetched = transfer.FetchToMemory(url, signature, kMaxSignatureBytes);
  signatureText = signature;
  if (fetched == CURLE_FILESIZE_EXCEEDED) {
    LogCheck(LoggedUrl(url) + ": the signature is over its size limit");
    return false;
  }
  if (trust.AcceptsManifest(body, signature)) return true;
  LogCheck("the manifest's signature is not accepted by this program's release key" +
           (fetched == CURLE_OK ? std::string() : ", " + TransferResultText(fetched, transfer.responseStatus)));
  return false;
}

// Records the manifest's time of issue in the ledger at ledgerPath; false
// when a newer text of its version was taken before.
bool RecordIssue(const PackageManifest& manifest, const std::string& ledgerPath) {
  IssueLedger ledger = IssueLedger::Load(ledgerPath);
  if (!ledger.Accepts(manifest)) return false;
  if (ledger.Record(manifest)) ledger.Save(ledgerPath);
  return true;
}

}  // namespace

UpdateManager::UpdateManager(const ReleaseTrust& releaseTrust)
    : trust(releaseTrust),
      localManifestPath(GetModuleDirectory() + L"package.json"),
      pendingManifestPath(GetTempDirectory() + L"package.json") {}

bool UpdateManager::CheckForUpdate() {
  // Turned off by the administrator: not even the manifest is asked for.
  if (!UpdatesEnabledByPolicy()) {
    LogCheck("none: updates are turned off by Group Policy");
    return false;
  }
  // First, so that the request can say which release this PC runs.
  LoadLocalManifest(WideToNarrow(localManifestPath));
  FetchRemoteManifest();
  if (!remoteTrusted) return false;
  const std::string offered = LoggedUrl(manifestUrl) + ": release " + remoteManifest.version() + " offered, release " +
                              localManifest.version() + " installed";
  if (!IsUpdateDue(remoteManifest, localManifest)) {
    if (!remoteManifest.version().empty()) LogCheck(offered + ": nothing to do");
    return false;
  }
  // Held back by the administrator: as if no update were due.
  const std::optional<std::uint32_t> highest = HighestVersionByPolicy();
  if (!WithinHighestVersion(remoteManifest, highest)) {
    LogCheck(offered + ": held back, Group Policy allows up to release " + std::to_string(*highest));
    return false;
  }
  // A staged release: a PC outside its share sees no update due, and has
  // fetched nothing but the manifest.
  const int bucket = RolloutBucket(remoteManifest.version(), MachineIdentity());
  const bool takes = TakesRelease(remoteManifest, bucket);
  LogCheck(offered + ", " + (trust.required() ? "signed" : "unsigned") + ", rolled out to " +
           std::to_string(remoteManifest.rollout()) + " % of PCs, this PC's bucket " + std::to_string(bucket) +
           (takes ? ": taken" : ": not yet"));
  return takes;
}

void UpdateManager::FetchRemoteManifest() {
  const std::string url = WideToNarrow(ReadPolicyOrSetting(kUpdateUrlKey, kDefaultUpdateUrl));
  manifestUrl = url;
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
  if (fetched != CURLE_OK) {
    LogCheck(LoggedUrl(url) + ": no manifest, " + TransferResultText(fetched, transfer.responseStatus));
  }
  // An answer over the cap is no manifest at all, whatever a part of it says.
  if (fetched == CURLE_FILESIZE_EXCEEDED) return;
  // Anyone who can answer for the update host can send a manifest: one that
  // the release key did not sign is not looked at, so nothing it names is
  // fetched, staged or started.
  if (trust.required() && !SignatureAccepted(trust, BuildManifestRequestUrl(SignatureUrlFor(url), tickCount, installed),
                                             body, remoteSignatureText)) {
    return;
  }
  PackageManifest parsed = remoteManifest;
  if (PackageManifestParser::Parse(body, parsed) != 0 && fetched == CURLE_OK) {
    LogCheck(LoggedUrl(url) + ": the answer is no manifest (HTTP " + std::to_string(transfer.responseStatus) + ")");
  }
  // By this PC's clock: a release past its expiry is treated as unsigned.
  if (!trust.AcceptsExpiry(parsed.expires(), static_cast<std::int64_t>(std::time(nullptr)))) {
    LogCheck("release " + parsed.version() + ": its signed manifest expired at " + parsed.expires());
    return;
  }
  // A text of this version older than one this PC has taken is a replay
  // (the text a halt replaced, say): not taken, and not fetched from.
  if (trust.required() && !RecordIssue(parsed, WideToNarrow(GetTempDirectory() + kIssueLedgerName))) {
    LogCheck("release " + parsed.version() + ": older than a text of it this PC has taken; not taken");
    return;
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
  if (InstallerFileName(packageDate).empty()) {
    LogEvent("installer: the manifest's package_date is no safe file name; nothing fetched");
    return std::wstring();
  }
  const UpdateRules rules = DownloadRules();
  // With a release key, an installer the signed manifest gives no digest for
  // could never be proved: it is not fetched.
  if (!rules.trust.CanProveInstaller(remoteManifest)) {
    LogEvent("installer: the signed manifest names no SHA-256 for it; nothing fetched");
    return std::wstring();
  }
  const std::wstring installerPath = GetTempDirectory() + L"setup" + NarrowToWide(packageDate) + L".exe";
  const auto proved = [&](const std::string& path) { return rules.trust.AcceptsInstaller(path, remoteManifest); };
  if (DownloadInstaller(remoteManifest.install_package_url(), WideToNarrow(installerPath), progressBar, rules.retry,
                        LimitsForSize(remoteManifest.install_package_size()), proved) != 0) {
    LogEvent("installer: " + LoggedUrl(remoteManifest.install_package_url()) + " not fetched and proved");
    return std::wstring();
  }
  LogEvent("installer: " + LoggedUrl(remoteManifest.install_package_url()) + " fetched and proved; it starts");
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
  const UpdateRules rules = DownloadRules();
  LogEvent("update: release " + remoteManifest.version() + ", file by file, " +
           std::to_string(rules.parallelDownloads) + " at once");
  const int result = RunIncrementalUpdateIn(remoteManifest, localManifest, WideToNarrow(GetTempDirectory()),
                                            WideToNarrow(GetModuleDirectory()), reporter, rules);
  LogEvent(result == 1 ? "update: staged; it is installed at the next plain start"
                       : "update: failed; nothing of it is installed, the next start checks again");
  return result;
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
  } catch (const std::exception& error) {
    LogEvent(std::string("update: stopped by an error: ") + error.what());
  }
  return 0;
}
