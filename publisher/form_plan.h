#pragma once

#include <string>
#include <vector>

#include "publisher/release_plan.h"
#include "update/manifest/package_manifest.h"

// Which smaller forms a release offers for each of its files, decided from
// values: the release plan and the manifests of earlier releases in, the
// bases to make deltas from and the forms to carry over out. No I/O; any
// thread. smaller_forms.h makes, proves and places them.
//
// Below a release directory a file's forms lie at
//   compressed/<ver>/<path>.zst             its compressed copy
//   deltas/<ver>/<path>.from-<MD5>.zst      its delta from the content of that MD5
//   deltas/<ver>/<path>.from-<MD5>.zqpatch  its patch from that content, of either key
// beside files/<ver>/<path>, and are served under the same base URL.

// "compressed/<ver>/<path>.zst".
std::string CompressedServedPath(const std::string& ver, const std::string& path);
// "deltas/<ver>/<path>.from-<fromHash>.zst".
std::string DeltaServedPath(const std::string& ver, const std::string& path, const std::string& fromHash);
// "deltas/<ver>/<path>.from-<fromHash>.zqpatch".
std::string PatchServedPath(const std::string& ver, const std::string& path, const std::string& fromHash);
// The key a made patch is listed under: kPatch for one of the first version,
// the only one that clients reading "patches" apply; kLabelledPatch for any
// other, which they must never download.
DeltaFormat PatchFormatOf(const std::string& patch);
// baseUrl + "/" + servedPath, its bytes percent-encoded as remote_url's are.
std::string ServedUrl(const std::string& baseUrl, const std::string& servedPath);

// An earlier content of a file: a delta's base, as an earlier release serves it.
struct DeltaBase {
  size_t release = 0;      // index into the earlier manifests, newest first
  std::string servedPath;  // "files/<ver>/<path>" below that release's directory
  std::string hash;        // the MD5 its manifest names
  std::string sha256;      // the SHA-256 it names; empty in a release from before the digests
  long long size = -1;     // the byte count it names, or -1
};

// A form the continued release names for a file that has not changed, to
// be copied over from that release's directory to the same place in this one.
struct CarriedForm {
  std::string servedPath;
  bool isDelta = false;
  CompressedCopy copy;   // when !isDelta, its url already this release's
  FileDelta delta;       // when isDelta, likewise; a zstd delta or a patch by its format
  bool hasBase = false;  // a delta's base is in one of the earlier releases
  DeltaBase base;        // when hasBase: where, to apply the delta to it
};

struct FileFormPlan {
  bool makeForms = false;        // new or changed, and served from the release directory
  std::vector<DeltaBase> bases;  // distinct contents, newest release first
  std::vector<CarriedForm> carried;
};

// One per plan.files, in its order. earlier: the manifests of earlier
// releases, newest first, the first being the one this release continues.
// deltaReleases: how many of them (newest first) lend bases; 0 turns deltas
// off, carried ones included. Bases are distinct by SHA-256 (by MD5 where
// an older manifest names none), and by MD5 too, which names the delta's file.
// warnings gets a line for each earlier entry or form passed over.
std::vector<FileFormPlan> PlanForms(const ReleasePlan& plan, const std::vector<PackageManifest>& earlier,
                                    int deltaReleases, const std::string& baseUrl, std::vector<std::string>& warnings);
