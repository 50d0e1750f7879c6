#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "publisher/release_plan.h"
#include "publisher/zstd_encode.h"
#include "update/manifest/package_manifest.h"

// Makes a release's smaller forms (form_plan.h decides which) in the
// directory that becomes the release, and names them in its manifest. Each
// form is decoded with the client's own decoders (update/delta/zstd_decode.h,
// patch_apply.h) and must give back its file's exact bytes before it is kept;
// one that does not refuses the whole release. Files are read into memory one
// at a time, a delta's base beside its target; making a patch needs about six
// times the base and four times the target besides. Any one thread.
//
// From each base both delta forms are made. The zstd delta is listed whenever
// it saves enough, because clients before the patch read only it; the patch
// is listed too when it is smaller still, and newer clients take the smaller.
// A patch no smaller than the zstd delta would never be taken, and is left out.
// A patch of a later version than the first goes under "labelled_patches",
// which clients that apply only the first never read; they keep the zstd delta.

// patch_make.h's MakePatch with its default rewriting of program images.
bool MakeServedPatch(const std::string& base, const std::string& target, int level, std::string& patch);

// The encoders, replaceable so that a test can hand in a faulty one.
struct FormEncoder {
  std::function<bool(const std::string& bytes, int level, std::string& frame, int& windowLog)> compress =
      CompressForServing;
  std::function<bool(const std::string& base, const std::string& target, int level, std::string& frame, int& windowLog)>
      delta = MakeDelta;
  std::function<bool(const std::string& base, const std::string& target, int level, std::string& patch)> patch =
      MakeServedPatch;
};

// An earlier release as published: its directory holds package.json and files/.
struct EarlierRelease {
  std::filesystem::path directory;
  PackageManifest manifest;
};

struct FormSettings {
  int level = kPublishLevel;
  int deltaReleases = 3;  // how many of the newest earlier releases lend delta bases
  std::string baseUrl;    // without a trailing "/"
};

struct FormReport {
  std::vector<std::vector<std::string>> notes;  // per plan.files: the summary's lines on its forms
  std::vector<std::string> warnings;
  int copies = 0;
  long long copyBytes = 0;    // the copies' bytes
  long long copiedBytes = 0;  // their files' bytes
  int deltas = 0;
  long long deltaBytes = 0;
  int patches = 0;
  long long patchBytes = 0;
};

// Makes, proves and places the forms of plan's files below partial, and sets
// them on plan.manifest's entries. earlier: newest first, the first the one
// plan continues. A form is kept only when smaller than what it saves (a copy
// than its file; a delta or a patch at most 90% of the copy, or of the file
// without one; a patch also smaller than a kept zstd delta of its base). 0 done; 3 refused (a form does not give back
// its file; message names the file); 4 a read, a write or zstd failed. On failure partial holds leftovers, which its
// owner removes.
int MakeSmallerForms(const std::filesystem::path& releaseDir, const std::vector<EarlierRelease>& earlier,
                     const FormSettings& settings, const FormEncoder& encoder, const std::filesystem::path& partial,
                     ReleasePlan& plan, FormReport& report, std::string& message);

// "smaller forms: 3 compressed copies (1234 of 5678 bytes), 2 deltas (120 bytes), 1 patch (80 bytes)".
std::string FormTotals(const FormReport& report);
