#include "update/manifest/package_manifest.h"

#include <json/json.h>

#include <exception>

namespace {

// Newer keys are read without asString's conversions or its exceptions.
std::string StringOrEmpty(const Json::Value& value) {
  return value.isString() ? value.asString() : std::string();
}

// A size that is not a whole number of bytes is no size: the download then
// keeps its general bound, as for an older manifest.
long long SizeOrUnknown(const Json::Value& value) {
  const bool integer = value.type() == Json::intValue || value.type() == Json::uintValue;
  return integer && value.isInt64() && value.asInt64() >= 0 ? value.asInt64() : -1;
}

// A share that is there but not a whole number was still written to limit
// the release: it is held back, never sent to every PC.
int RolloutShare(const Json::Value& value) {
  if (value.isNull()) return kWholeRollout;
  if (!value.isIntegral()) return 0;
  // Whole numbers past 64 bits can only be huge positive ones (asInt64 would throw).
  if (!value.isInt64()) return kWholeRollout;
  const Json::Int64 share = value.asInt64();
  return share < 0 ? 0 : share > kWholeRollout ? kWholeRollout : static_cast<int>(share);
}

// The most deltas read for one file: a publisher keeps a few releases' worth.
constexpr Json::ArrayIndex kMaxDeltasPerFile = 16;

bool IsWindowLog(const Json::Value& value) {
  return value.isInt() && value.asInt() >= 10 && value.asInt() <= 31;
}

// A form is kept only with all it needs to be fetched and proved; anything
// else of it is ignored, as an unknown key would be.
CompressedCopy ReadCompressed(const Json::Value& value) {
  CompressedCopy copy;
  if (!value.isObject()) return copy;
  CompressedCopy read;
  read.url = StringOrEmpty(value["url"]);
  read.size = SizeOrUnknown(value["size"]);
  read.sha256 = StringOrEmpty(value["sha256"]);
  if (read.url.empty() || read.size < 0 || read.sha256.empty()) return copy;
  return read;
}

// A zstd delta must name its window; a patch names none, its streams' windows
// are fixed by its format.
std::vector<FileDelta> ReadDeltas(const Json::Value& value, DeltaFormat format) {
  std::vector<FileDelta> deltas;
  if (!value.isArray()) return deltas;
  for (Json::ArrayIndex i = 0; i < value.size() && deltas.size() < kMaxDeltasPerFile; ++i) {
    const Json::Value& item = value[i];
    if (!item.isObject()) continue;
    if (format == DeltaFormat::kZstd && !IsWindowLog(item["window_log"])) continue;
    FileDelta delta;
    delta.format = format;
    delta.from_hash = StringOrEmpty(item["from_hash"]);
    delta.from_sha256 = StringOrEmpty(item["from_sha256"]);
    delta.url = StringOrEmpty(item["url"]);
    delta.size = SizeOrUnknown(item["size"]);
    delta.sha256 = StringOrEmpty(item["sha256"]);
    if (format == DeltaFormat::kZstd) delta.window_log = item["window_log"].asInt();
    if (delta.from_hash.empty() || delta.from_sha256.empty() || delta.url.empty() || delta.size < 0 ||
        delta.sha256.empty()) {
      continue;
    }
    deltas.push_back(delta);
  }
  return deltas;
}

// Each field goes through Json::Value::asString, so numbers and booleans come
// out as their text and null as "". Arrays and objects make jsoncpp throw.
PackageFileEntry ReadEntry(Json::Value& element) {
  PackageFileEntry entry;
  entry.set_name(element["name"].asString());
  entry.set_remote_url(element["remote_url"].asString());
  entry.set_hash(element["hash"].asString());
  entry.set_local_path(element["local_path"].asString());
  entry.set_ver(element["ver"].asString());
  entry.set_act(element["act"].asString());
  entry.set_sha256(StringOrEmpty(element["sha256"]));
  entry.set_size(SizeOrUnknown(element["size"]));
  if (element.isObject()) {
    entry.set_compressed(ReadCompressed(element["compressed"]));
    entry.set_deltas(ReadDeltas(element["deltas"], DeltaFormat::kZstd));
    entry.set_patches(ReadDeltas(element["patches"], DeltaFormat::kPatch));
    entry.set_labelled_patches(ReadDeltas(element["labelled_patches"], DeltaFormat::kLabelledPatch));
  }
  return entry;
}

}  // namespace

int PackageManifestParser::Parse(std::string text, PackageManifest& manifest) {
  // jsoncpp reports a value of the wrong type (an array root, an object where
  // text belongs, a string as full_update) and nesting past its limit of 1000
  // open values by throwing, part-way through the fields. So the record is
  // built aside and handed over only when it is whole: a failure of any kind
  // leaves the caller's record as it was, and nothing escapes to the caller.
  try {
    // The classic reader with its default features, on purpose: comments are
    // allowed anywhere, any value may be the root, text after the root is not
    // examined, and a leading byte-order mark is a syntax error. The manifests
    // in the field were written against exactly that behaviour.
    Json::Reader reader;
    Json::Value root;
    if (!reader.parse(text, root, true)) return -1;

    PackageManifest parsed;
    parsed.set_version(root["version"].asString());
    parsed.set_package_date(root["package_date"].asString());
    parsed.set_full_update(root["full_update"].asBool());
    parsed.set_type(root["type"].asString());
    parsed.set_install_package_url(root["install_package_url"].asString());
    parsed.set_install_package_sha256(StringOrEmpty(root["install_package_sha256"]));
    parsed.set_install_package_size(SizeOrUnknown(root["install_package_size"]));
    parsed.set_expires(StringOrEmpty(root["expires"]));
    parsed.set_rollout(RolloutShare(root["rollout"]));
    parsed.set_issued(StringOrEmpty(root["issued"]));

    // size() is the element count of an array and 0 for null and scalars; an
    // object with members makes the indexing below throw.
    Json::Value list = root["file_list"];
    const Json::ArrayIndex count = list.size();
    std::vector<PackageFileEntry> entries;
    entries.reserve(count);
    for (Json::ArrayIndex i = 0; i < count; ++i) entries.push_back(ReadEntry(list[i]));
    parsed.set_file_list(std::move(entries));

    manifest = std::move(parsed);
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}
