#include "publisher/manifest_writer.h"

#include <vector>

std::string JsonStringLiteral(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string literal = "\"";
  for (char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      literal += '\\';
      literal += c;
    } else if (byte < 0x20) {
      literal += "\\u00";
      literal += kHex[byte >> 4];
      literal += kHex[byte & 0x0F];
    } else {
      literal += c;
    }
  }
  literal += '"';
  return literal;
}

namespace {

// The release's own fields, each line ending in ",\n", in the client's order.
std::string HeaderText(const PackageManifest& manifest) {
  std::string text = "  \"version\": " + JsonStringLiteral(manifest.version()) + ",\n";
  text += "  \"package_date\": " + JsonStringLiteral(manifest.package_date()) + ",\n";
  text += std::string("  \"full_update\": ") + (manifest.full_update() ? "true" : "false") + ",\n";
  text += "  \"type\": " + JsonStringLiteral(manifest.type()) + ",\n";
  text += "  \"install_package_url\": " + JsonStringLiteral(manifest.install_package_url()) + ",\n";
  // The digests only where there are some, so that a manifest without them
  // is, byte for byte, what the publisher wrote before they existed.
  if (!manifest.install_package_sha256().empty()) {
    text += "  \"install_package_sha256\": " + JsonStringLiteral(manifest.install_package_sha256()) + ",\n";
  }
  if (!manifest.expires().empty()) text += "  \"expires\": " + JsonStringLiteral(manifest.expires()) + ",\n";
  if (!manifest.issued().empty()) text += "  \"issued\": " + JsonStringLiteral(manifest.issued()) + ",\n";
  if (manifest.install_package_size() >= 0) {
    text += "  \"install_package_size\": " + std::to_string(manifest.install_package_size()) + ",\n";
  }
  // Only a staged release names its share: one for everybody stays as before.
  if (manifest.rollout() != kWholeRollout) {
    text += "  \"rollout\": " + std::to_string(manifest.rollout()) + ",\n";
  }
  return text;
}

// ", \"<key>\": [...]" of deltas of one format; nothing for none.
std::string DeltasText(const char* key, const std::vector<FileDelta>& deltas) {
  if (deltas.empty()) return std::string();
  std::string text = std::string(", \"") + key + "\": [";
  for (size_t d = 0; d < deltas.size(); ++d) {
    const FileDelta& delta = deltas[d];
    text += std::string(d == 0 ? "" : ", ") + "{\"from_hash\": " + JsonStringLiteral(delta.from_hash) +
            ", \"from_sha256\": " + JsonStringLiteral(delta.from_sha256) +
            ", \"url\": " + JsonStringLiteral(delta.url) + ", \"size\": " + std::to_string(delta.size) +
            ", \"sha256\": " + JsonStringLiteral(delta.sha256);
    if (delta.format == DeltaFormat::kZstd) text += ", \"window_log\": " + std::to_string(delta.window_log);
    text += "}";
  }
  return text + "]";
}

// ", \"compressed\": {...}", ", \"deltas\": [...]", ", \"patches\": [...]" and
// ", \"labelled_patches\": [...]" where the entry has them.
std::string FormsText(const PackageFileEntry& entry) {
  std::string text;
  const CompressedCopy& copy = entry.compressed();
  if (!copy.url.empty()) {
    text += ", \"compressed\": {\"url\": " + JsonStringLiteral(copy.url) + ", \"size\": " + std::to_string(copy.size) +
            ", \"sha256\": " + JsonStringLiteral(copy.sha256) + "}";
  }
  return text + DeltasText("deltas", entry.deltas()) + DeltasText("patches", entry.patches()) +
         DeltasText("labelled_patches", entry.labelled_patches());
}

// One file_list entry as one line's object, without the line's end.
std::string EntryText(const PackageFileEntry& entry) {
  std::string text = "    {\"name\": " + JsonStringLiteral(entry.name()) +
                     ", \"remote_url\": " + JsonStringLiteral(entry.remote_url()) +
                     ", \"hash\": " + JsonStringLiteral(entry.hash()) +
                     ", \"local_path\": " + JsonStringLiteral(entry.local_path()) +
                     ", \"ver\": " + JsonStringLiteral(entry.ver()) + ", \"act\": " + JsonStringLiteral(entry.act());
  if (!entry.sha256().empty()) text += ", \"sha256\": " + JsonStringLiteral(entry.sha256());
  if (entry.size() >= 0) text += ", \"size\": " + std::to_string(entry.size());
  return text + FormsText(entry) + "}";
}

}  // namespace

std::string WriteManifestText(const PackageManifest& manifest) {
  std::string text = "{\n" + HeaderText(manifest);
  const std::vector<PackageFileEntry> entries = manifest.file_list();
  if (entries.empty()) return text + "  \"file_list\": []\n}\n";
  text += "  \"file_list\": [\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    text += EntryText(entries[i]);
    text += i + 1 < entries.size() ? ",\n" : "\n";
  }
  text += "  ]\n}\n";
  return text;
}
