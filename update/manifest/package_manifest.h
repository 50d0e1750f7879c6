#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

// The in-memory form of a "package.json" document: the server's manifest, the
// installed one beside the program and the pending one under "temp\". Plain
// copyable values owned by their users; no locks. Text is narrow: the bytes the
// document holds (code page 936 for file names), never converted here. "version"
// and "ver" stay text; update/manifest/version_number.h turns them into numbers.

// A smaller form of a file that newer publishers serve beside it, under keys
// that older clients never read: where it is, its byte count and SHA-256.
// Only complete forms are kept when a manifest is read.
struct CompressedCopy {
  std::string url;
  long long size = -1;
  std::string sha256;

  friend bool operator==(const CompressedCopy& a, const CompressedCopy& b) {
    return a.url == b.url && a.size == b.size && a.sha256 == b.sha256;
  }
};

// How a delta is applied: a zstd frame with the base as its dictionary
// ("deltas"), or a patch of approximate matches (update/delta/patch_format.h):
// of its first version ("patches", a key clients before it never read), or
// of a later one, which matches program images by labels ("labelled_patches":
// clients that read only "patches" refuse such a patch as corrupt, after
// downloading it, so it must never be listed where they look).
enum class DeltaFormat { kZstd, kPatch, kLabelledPatch };

// A delta that rebuilds the file from one earlier version of it: the earlier
// file's MD5 (upper-case hex, as "hash") and SHA-256, and for a zstd delta the
// window it needs, as 2 to that power bytes (0 for a patch).
struct FileDelta {
  std::string from_hash;
  std::string from_sha256;
  std::string url;
  long long size = -1;
  std::string sha256;
  int window_log = 0;
  DeltaFormat format = DeltaFormat::kZstd;

  friend bool operator==(const FileDelta& a, const FileDelta& b) {
    return a.from_hash == b.from_hash && a.from_sha256 == b.from_sha256 && a.url == b.url && a.size == b.size &&
           a.sha256 == b.sha256 && a.window_log == b.window_log && a.format == b.format;
  }
};

// The rollout share of a release that names none: every PC takes it.
inline constexpr int kWholeRollout = 100;

// One file of a release. A new entry has six empty fields, so its ver counts as 0.
class PackageFileEntry {
 public:
  std::string name() const { return name_; }
  std::string remote_url() const { return remote_url_; }
  std::string hash() const { return hash_; }
  std::string local_path() const { return local_path_; }
  std::string ver() const { return ver_; }
  std::string act() const { return act_; }
  // SHA-256 of the file, 64 lower-case hex digits; written by the publisher for
  // signed releases, empty in older manifests. Only a client built with a
  // release key reads it.
  std::string sha256() const { return sha256_; }
  // The file's byte count, when the manifest names one as a JSON integer of
  // at least 0 (the publisher writes it); -1 otherwise.
  long long size() const { return size_; }
  // The compressed copy ("compressed"); an empty url: none.
  const CompressedCopy& compressed() const { return compressed_; }
  // The deltas from earlier versions ("deltas"), in the manifest's order.
  const std::vector<FileDelta>& deltas() const { return deltas_; }
  // The patches from earlier versions ("patches"), in the manifest's order;
  // each has format kPatch.
  const std::vector<FileDelta>& patches() const { return patches_; }
  // The patches of a later version ("labelled_patches"), likewise; each has
  // format kLabelledPatch.
  const std::vector<FileDelta>& labelled_patches() const { return labelled_patches_; }
  // The three lists above, for what treats every delta form alike.
  std::array<const std::vector<FileDelta>*, 3> delta_lists() const { return {&deltas_, &patches_, &labelled_patches_}; }

  void set_name(std::string value) { name_ = std::move(value); }
  void set_remote_url(std::string value) { remote_url_ = std::move(value); }
  void set_hash(std::string value) { hash_ = std::move(value); }
  void set_local_path(std::string value) { local_path_ = std::move(value); }
  void set_ver(std::string value) { ver_ = std::move(value); }
  void set_act(std::string value) { act_ = std::move(value); }
  void set_sha256(std::string value) { sha256_ = std::move(value); }
  void set_size(long long value) { size_ = value; }
  void set_compressed(CompressedCopy value) { compressed_ = std::move(value); }
  void set_deltas(std::vector<FileDelta> value) { deltas_ = std::move(value); }
  void set_patches(std::vector<FileDelta> value) { patches_ = std::move(value); }
  void set_labelled_patches(std::vector<FileDelta> value) { labelled_patches_ = std::move(value); }

  friend bool operator==(const PackageFileEntry& a, const PackageFileEntry& b) {
    return a.name_ == b.name_ && a.remote_url_ == b.remote_url_ && a.hash_ == b.hash_ &&
           a.local_path_ == b.local_path_ && a.ver_ == b.ver_ && a.act_ == b.act_ && a.sha256_ == b.sha256_ &&
           a.size_ == b.size_ && a.compressed_ == b.compressed_ && a.deltas_ == b.deltas_ && a.patches_ == b.patches_ &&
           a.labelled_patches_ == b.labelled_patches_;
  }
  friend bool operator!=(const PackageFileEntry& a, const PackageFileEntry& b) { return !(a == b); }

 private:
  std::string name_;
  std::string remote_url_;
  std::string hash_;
  std::string local_path_;  // relative directory ending in "\" or "/", or empty
  std::string ver_;
  std::string act_;  // "reg", "delete", anything else: nothing to do
  std::string sha256_;
  long long size_ = -1;
  CompressedCopy compressed_;
  std::vector<FileDelta> deltas_;
  std::vector<FileDelta> patches_;
  std::vector<FileDelta> labelled_patches_;
};

// One release. A new record has empty texts, full_update false and no files.
class PackageManifest {
 public:
  std::string version() const { return version_; }
  std::string package_date() const { return package_date_; }
  bool full_update() const { return full_update_; }
  std::string install_package_url() const { return install_package_url_; }
  std::string type() const { return type_; }
  // A view of the record's own list, valid while the record lives unchanged:
  // lookups by name walk it without copying.
  const std::vector<PackageFileEntry>& file_list() const { return file_list_; }
  // SHA-256 of the installer, as sha256() of a file entry.
  std::string install_package_sha256() const { return install_package_sha256_; }
  // The installer's byte count, as size() of a file entry.
  long long install_package_size() const { return install_package_size_; }
  // When a signed release stops being trusted ("YYYY-MM-DDTHH:MM:SSZ", UTC);
  // empty: never. Only a client built with a release key reads it.
  std::string expires() const { return expires_; }
  // The share of PCs, in percent (0 to 100), that take this release now
  // ("rollout"); kWholeRollout when the manifest names none. Older clients
  // never read it and take every release.
  int rollout() const { return rollout_; }
  // When the publisher signed this text of the release ("issued", the form of
  // expires()); empty when the manifest names none. A keyed client refuses a
  // manifest of a version it has already seen issued later (a replay of the
  // text a halt replaced). Older clients never read it.
  std::string issued() const { return issued_; }

  void set_version(std::string value) { version_ = std::move(value); }
  void set_package_date(std::string value) { package_date_ = std::move(value); }
  void set_full_update(bool value) { full_update_ = value; }
  void set_install_package_url(std::string value) { install_package_url_ = std::move(value); }
  void set_type(std::string value) { type_ = std::move(value); }
  void set_file_list(std::vector<PackageFileEntry> value) { file_list_ = std::move(value); }
  void set_install_package_sha256(std::string value) { install_package_sha256_ = std::move(value); }
  void set_install_package_size(long long value) { install_package_size_ = value; }
  void set_expires(std::string value) { expires_ = std::move(value); }
  void set_rollout(int value) { rollout_ = value; }
  void set_issued(std::string value) { issued_ = std::move(value); }

  friend bool operator==(const PackageManifest& a, const PackageManifest& b) {
    return a.version_ == b.version_ && a.package_date_ == b.package_date_ && a.full_update_ == b.full_update_ &&
           a.install_package_url_ == b.install_package_url_ && a.type_ == b.type_ && a.file_list_ == b.file_list_ &&
           a.install_package_sha256_ == b.install_package_sha256_ &&
           a.install_package_size_ == b.install_package_size_ && a.expires_ == b.expires_ && a.rollout_ == b.rollout_ &&
           a.issued_ == b.issued_;
  }
  friend bool operator!=(const PackageManifest& a, const PackageManifest& b) { return !(a == b); }

 private:
  std::string version_;
  std::string package_date_;
  bool full_update_ = false;
  std::string install_package_url_;
  std::string type_;  // only "force" means a file-by-file update
  std::vector<PackageFileEntry> file_list_;
  std::string install_package_sha256_;
  long long install_package_size_ = -1;
  std::string expires_;
  int rollout_ = kWholeRollout;
  std::string issued_;
};

// Fills a PackageManifest from the whole text of a document. Stateless: make
// one, call Parse, drop it; any thread.
class PackageManifestParser {
 public:
  // 0: the text was a JSON document of the manifest's shape and every field of
  // manifest was replaced, file_list as a whole. The digest keys of signed
  // releases ("sha256", "install_package_sha256", "expires", "issued") are taken only
  // when they are strings, the sizes ("size", "install_package_size") only when they are
  // integers of at least 0, the rollout share clamped to 0..100 when it is a
  // whole number and 0 when it is anything else, and a file's smaller forms ("compressed", "deltas", "patches",
  // "labelled_patches") only when whole and of their exact shape: like any key a client does not know, they can never
  // make a manifest fail that parsed without them. -1: it was not (not JSON, the empty text, a leading byte-order mark,
  // a value of the wrong type, nesting too deep, no memory), and manifest is exactly as it was.
  static int Parse(std::string text, PackageManifest& manifest);
};
