#include "publisher/form_plan.h"

#include <algorithm>
#include <map>

#include "publisher/publish_rules.h"
#include "publisher/release_drafts.h"
#include "update/delta/patch_format.h"
#include "update/proof/sha256_digest.h"

namespace {

constexpr char kDeleteAct[] = "delete";

// The entries of one earlier manifest by install path: the first of each
// path, as the client finds it, and by the path folded as Windows folds it,
// since the installed file is the same one whatever the letter case.
struct EarlierIndex {
  struct Found {
    std::string path;
    const PackageFileEntry* entry = nullptr;
  };
  std::map<std::string, Found> exact;
  std::map<std::string, Found> folded;

  const Found* Find(const std::string& path) const {
    auto hit = exact.find(path);
    if (hit != exact.end()) return &hit->second;
    hit = folded.find(FoldAsciiCase(path));
    return hit != folded.end() ? &hit->second : nullptr;
  }
};

EarlierIndex IndexOf(const PackageManifest& manifest) {
  EarlierIndex index;
  for (const PackageFileEntry& entry : manifest.file_list()) {
    std::string path, problem;
    // A path no client could install names no installed file to start from.
    if (!EntryInstallPath(entry, path, problem)) continue;
    index.exact.emplace(path, EarlierIndex::Found{path, &entry});
    index.folded.emplace(FoldAsciiCase(path), EarlierIndex::Found{path, &entry});
  }
  return index;
}

// The MD5 becomes part of a file name: only its exact form may.
bool IsMd5Hex(const std::string& text) {
  return text.size() == 32 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// The base an earlier entry offers, or false with why not (empty: nothing to say).
bool BaseOf(const EarlierIndex::Found& found, size_t release, const std::string& version, DeltaBase& base,
            std::string& why) {
  const PackageFileEntry& entry = *found.entry;
  if (entry.act() == kDeleteAct) return false;
  if (!IsVerText(entry.ver()) || !IsMd5Hex(entry.hash()) || (!entry.sha256().empty() && !IsSha256Hex(entry.sha256()))) {
    why = "release " + version + ": the entry of " + Quoted(found.path) +
          " has a ver or digest zq_publish never writes; no delta from it";
    return false;
  }
  base.release = release;
  base.servedPath = "files/" + entry.ver() + "/" + found.path;
  base.hash = entry.hash();
  base.sha256 = entry.sha256();
  base.size = entry.size();
  return true;
}

std::vector<DeltaBase> EarlierContents(const std::string& path, const std::vector<PackageManifest>& earlier,
                                       const std::vector<EarlierIndex>& indexes, size_t releases,
                                       std::vector<std::string>& warnings) {
  std::vector<DeltaBase> bases;
  std::map<std::string, std::string> sha256ByMd5;
  for (size_t r = 0; r < releases && r < earlier.size(); ++r) {
    const EarlierIndex::Found* found = indexes[r].Find(path);
    DeltaBase base;
    std::string why;
    if (found == nullptr || !BaseOf(*found, r, earlier[r].version(), base, why)) {
      if (!why.empty()) warnings.push_back(why);
      continue;
    }
    const auto seen = sha256ByMd5.find(base.hash);
    if (seen != sha256ByMd5.end()) {
      // A release from before the digests names no SHA-256: its MD5 alone
      // says whether the content is one already chosen.
      const bool sameContent = seen->second.empty() || base.sha256.empty() || seen->second == base.sha256;
      if (!sameContent) {
        warnings.push_back("release " + earlier[r].version() + ": " + Quoted(path) +
                           " has the MD5 of another earlier content and another SHA-256; no delta from it");
      }
      if (seen->second.empty()) seen->second = base.sha256;
      continue;
    }
    sha256ByMd5[base.hash] = base.sha256;
    bases.push_back(base);
  }
  return bases;
}

std::vector<CarriedForm> CarriedForms(const PublishedFile& file, const std::vector<PackageManifest>& earlier,
                                      const std::vector<EarlierIndex>& indexes, bool withDeltas,
                                      const std::string& baseUrl, std::vector<std::string>& warnings) {
  std::vector<CarriedForm> carried;
  const auto hit = indexes[0].exact.find(file.path);
  // An unchanged file keeps its ver: its forms lie at the same place in both releases.
  if (hit == indexes[0].exact.end() || hit->second.entry->ver() != file.ver) return carried;
  const PackageFileEntry& entry = *hit->second.entry;
  const std::string& version = earlier[0].version();
  const CompressedCopy& copy = entry.compressed();
  if (!copy.url.empty()) {
    CarriedForm form;
    form.servedPath = CompressedServedPath(file.ver, file.path);
    form.copy = copy;
    form.copy.url = ServedUrl(baseUrl, form.servedPath);
    if (IsSha256Hex(copy.sha256)) {
      carried.push_back(form);
    } else {
      warnings.push_back("release " + version + ": the compressed copy of " + Quoted(file.path) +
                         " names no SHA-256 zq_publish writes; not carried over");
    }
  }
  if (!withDeltas) return carried;
  std::vector<FileDelta> deltas;
  for (const std::vector<FileDelta>* list : entry.delta_lists())
    deltas.insert(deltas.end(), list->begin(), list->end());
  for (const FileDelta& delta : deltas) {
    const bool patch = delta.format != DeltaFormat::kZstd;
    if (!IsMd5Hex(delta.from_hash) || !IsSha256Hex(delta.from_sha256) || !IsSha256Hex(delta.sha256)) {
      warnings.push_back("release " + version + ": a " + (patch ? "patch" : "delta") + " of " + Quoted(file.path) +
                         " names digests zq_publish never writes; not carried over");
      continue;
    }
    CarriedForm form;
    form.isDelta = true;
    form.servedPath = patch ? PatchServedPath(file.ver, file.path, delta.from_hash)
                            : DeltaServedPath(file.ver, file.path, delta.from_hash);
    form.delta = delta;
    form.delta.url = ServedUrl(baseUrl, form.servedPath);
    for (size_t r = 0; r < earlier.size() && !form.hasBase; ++r) {
      const EarlierIndex::Found* found = indexes[r].Find(file.path);
      std::string why;
      form.hasBase = found != nullptr && found->entry->hash() == delta.from_hash &&
                     found->entry->sha256() == delta.from_sha256 &&
                     BaseOf(*found, r, earlier[r].version(), form.base, why);
    }
    carried.push_back(form);
  }
  return carried;
}

}  // namespace

std::string CompressedServedPath(const std::string& ver, const std::string& path) {
  return "compressed/" + ver + "/" + path + ".zst";
}

std::string DeltaServedPath(const std::string& ver, const std::string& path, const std::string& fromHash) {
  return "deltas/" + ver + "/" + path + ".from-" + fromHash + ".zst";
}

std::string PatchServedPath(const std::string& ver, const std::string& path, const std::string& fromHash) {
  return "deltas/" + ver + "/" + path + ".from-" + fromHash + ".zqpatch";
}

DeltaFormat PatchFormatOf(const std::string& patch) {
  // Byte 4 of a patch's header is its version; clients that read "patches"
  // apply the first alone.
  const bool first = patch.size() > 4 && static_cast<std::uint8_t>(patch[4]) == kPatchVersion;
  return first ? DeltaFormat::kPatch : DeltaFormat::kLabelledPatch;
}

std::string ServedUrl(const std::string& baseUrl, const std::string& servedPath) {
  return baseUrl + "/" + PercentEncode(servedPath, true);
}

std::vector<FileFormPlan> PlanForms(const ReleasePlan& plan, const std::vector<PackageManifest>& earlier,
                                    int deltaReleases, const std::string& baseUrl, std::vector<std::string>& warnings) {
  std::vector<EarlierIndex> indexes;
  for (const PackageManifest& manifest : earlier) indexes.push_back(IndexOf(manifest));
  const size_t releases = deltaReleases > 0 ? static_cast<size_t>(deltaReleases) : 0;
  std::vector<FileFormPlan> forms(plan.files.size());
  for (size_t i = 0; i < plan.files.size(); ++i) {
    const PublishedFile& file = plan.files[i];
    // A "delete" entry's empty file is never worth a smaller form.
    if (!file.fromRelease) continue;
    if (file.status == EntryStatus::kSame) {
      if (!earlier.empty()) forms[i].carried = CarriedForms(file, earlier, indexes, releases > 0, baseUrl, warnings);
      continue;
    }
    forms[i].makeForms = true;
    forms[i].bases = EarlierContents(file.path, earlier, indexes, releases, warnings);
  }
  return forms;
}
