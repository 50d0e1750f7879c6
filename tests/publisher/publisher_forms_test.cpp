// zq_publish's smaller forms: compressed copies and deltas beside each file.
// A fault here serves a form that rebuilds another file (every client on
// that road then fails its proof and downloads twice), a delta from a base
// no client has, a manifest older clients read differently, or a release
// that is published although a form of it is wrong. The forms are read back
// with the client's own parser and decoders.

#include <gtest/gtest.h>

#include <json/json.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/publisher/publisher_test_support.h"
#include "publisher/form_plan.h"
#include "publisher/manifest_writer.h"
#include "publisher/publisher.h"
#include "publisher/release_tree.h"
#include "publisher/smaller_forms.h"
#include "update/delta/patch_apply.h"
#include "update/delta/zstd_decode.h"
#include "update/manifest/package_manifest.h"
#include "update/proof/release_trust.h"
#include "update/proof/sha256_digest.h"

namespace {

const char kBase[] = "http://127.0.0.1:8080/zenquilo";

using test_files::CompressibleSample;

// Bytes no compressor shrinks.
std::string Noise(unsigned seed, size_t size) {
  std::string bytes(size, '\0');
  unsigned state = seed;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 23);
  }
  return bytes;
}

class Work : public PublisherScratch {
 public:
  // work/release published as work/<outName>, continuing the releases named.
  Outcome Publish(const std::string& version, const std::string& outName, const std::vector<std::string>& previous,
                  std::vector<std::string> extra = {}, const FormEncoder& encoder = FormEncoder()) const {
    std::vector<std::string> arguments = {"--release-dir", Text("release"), "--version",    version,
                                          "--date",        "20261207",      "--base-url",   kBase,
                                          "--out",         Text(outName),   "--zstd-level", "1"};
    for (const std::string& name : previous) {
      arguments.push_back("--previous");
      arguments.push_back(Text(name + "/package.json"));
    }
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunZqPublish(arguments, encoder);
  }

  PackageManifest Manifest(const std::string& outName) const {
    PackageManifest manifest;
    EXPECT_EQ(PackageManifestParser::Parse(Read(outName + "/package.json"), manifest), 0);
    return manifest;
  }

  // The file below work/<outName> that a URL of that release names.
  std::string Served(const std::string& outName, const std::string& url) const {
    const std::string prefix = std::string(kBase) + "/";
    EXPECT_EQ(url.compare(0, prefix.size(), prefix), 0) << url;
    std::string decoded;
    for (size_t i = prefix.size(); i < url.size(); ++i) {
      if (url[i] == '%') {
        decoded += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        decoded += url[i];
      }
    }
    return outName + "/" + decoded;
  }

  // Decoded with the client's code: the bytes a client would stage.
  std::string Decode(const std::string& form, const std::string* base, long long maxBytes, int windowLog) const {
    // The scratch directory's names are ASCII: narrow text on both systems.
    const std::string source = (path() / PathFromUtf8(form)).string();
    const std::string out = (path() / "decoded").string();
    if (base != nullptr) Write("base", *base);
    const DecodeResult result = base != nullptr
                                    ? ApplyDeltaFile((path() / "base").string(), source, out, maxBytes, windowLog)
                                    : DecompressFile(source, out, maxBytes);
    EXPECT_EQ(result, DecodeResult::kOk) << form << ": " << DecodeResultText(result);
    std::string bytes;
    ReadWholeFile(path() / "decoded", bytes);
    fs::remove(path() / "decoded");
    return bytes;
  }

  std::string ApplyPatch(const std::string& form, const std::string& base, long long maxBytes) const {
    Write("base", base);
    const DecodeResult result = ApplyPatchFile((path() / "base").string(), (path() / PathFromUtf8(form)).string(),
                                               (path() / "decoded").string(), maxBytes);
    EXPECT_EQ(result, DecodeResult::kOk) << form << ": " << DecodeResultText(result);
    std::string bytes;
    ReadWholeFile(path() / "decoded", bytes);
    fs::remove(path() / "decoded");
    return bytes;
  }
};

const PackageFileEntry& EntryNamed(const PackageManifest& manifest, const std::string& name) {
  for (const PackageFileEntry& entry : manifest.file_list()) {
    if (entry.name() == name) return entry;
  }
  static const PackageFileEntry kNone;
  ADD_FAILURE() << "no entry " << name;
  return kNone;
}

// Every form a release names is where its URL says, is the bytes its digest
// names, and rebuilds its file, a delta from the content its from_sha256
// names (looked up in contents, every content the test has published).
void ExpectFormsRebuildTheirFiles(const Work& work, const std::string& outName,
                                  const std::map<std::string, std::string>& contents) {
  const PackageManifest manifest = work.Manifest(outName);
  for (const PackageFileEntry& entry : manifest.file_list()) {
    const std::string& copy = entry.compressed().url;
    if (!copy.empty()) {
      const std::string form = work.Served(outName, copy);
      EXPECT_EQ(Sha256HexOfBytes(work.Read(form)), entry.compressed().sha256) << form;
      EXPECT_LT(entry.compressed().size, entry.size()) << form;
      EXPECT_EQ(Sha256HexOfBytes(work.Decode(form, nullptr, entry.size(), kMaxWindowLog)), entry.sha256()) << form;
    }
    for (const FileDelta& delta : entry.deltas()) {
      const std::string form = work.Served(outName, delta.url);
      EXPECT_EQ(Sha256HexOfBytes(work.Read(form)), delta.sha256) << form;
      const long long reference = copy.empty() ? entry.size() : entry.compressed().size;
      EXPECT_LE(delta.size * 10, reference * 9) << form << ": not clearly smaller";
      const auto base = contents.find(delta.from_sha256);
      ASSERT_NE(base, contents.end()) << form << ": a base never published";
      EXPECT_EQ(Sha256HexOfBytes(work.Decode(form, &base->second, entry.size(), delta.window_log)), entry.sha256())
          << form;
    }
    for (const FileDelta& patch : entry.patches()) {
      const std::string form = work.Served(outName, patch.url);
      EXPECT_EQ(Sha256HexOfBytes(work.Read(form)), patch.sha256) << form;
      const auto base = contents.find(patch.from_sha256);
      ASSERT_NE(base, contents.end()) << form << ": a base never published";
      EXPECT_EQ(Sha256HexOfBytes(work.ApplyPatch(form, base->second, entry.size())), entry.sha256()) << form;
    }
  }
}

TEST(PublisherForms, ThreeReleasesOfferEveryEarlierContentOnce) {
  Work work;
  std::map<std::string, std::string> contents;
  const auto put = [&](const std::string& name, const std::string& bytes) {
    work.Write("release/" + name, bytes);
    contents[Sha256HexOfBytes(bytes)] = bytes;
  };
  const std::string text1 = CompressibleSample(1, 60000);
  const std::string text2 = text1.substr(0, 20000) + "inserted in 2" + text1.substr(20000);
  const std::string text3 = text2.substr(0, 45000) + "inserted in 3" + text2.substr(45000);
  put("bin/text.txt", text1);
  put("steady.txt", CompressibleSample(2, 30000));
  put("doc.txt", CompressibleSample(3, 30000));
  put("noise.bin", Noise(1, 20000));
  ASSERT_EQ(work.Publish("1", "r1", {}).code, 0);

  put("bin/text.txt", text2);
  put("doc.txt", CompressibleSample(3, 30000) + "appended in 2");
  put("noise.bin", Noise(2, 20000));
  const Outcome second = work.Publish("2", "r2", {"r1"});
  ASSERT_EQ(second.code, 0) << second.err;

  put("bin/text.txt", text3);
  put("steady.txt", CompressibleSample(2, 30000) + "changed at last");
  put("noise.bin", Noise(3, 20000));
  const Outcome third = work.Publish("3", "r3", {"r1", "r2"});
  ASSERT_EQ(third.code, 0) << third.err;
  EXPECT_TRUE(third.err.empty()) << third.err;

  const PackageManifest r2 = work.Manifest("r2"), r3 = work.Manifest("r3");
  const PackageFileEntry& text = EntryNamed(r3, "text.txt");
  ASSERT_EQ(text.deltas().size(), 2u) << "one delta from each earlier content";
  EXPECT_EQ(text.deltas()[0].from_sha256, Sha256HexOfBytes(text2)) << "the newest base first";
  EXPECT_EQ(text.deltas()[1].from_sha256, Sha256HexOfBytes(text1));
  EXPECT_EQ(text.deltas()[0].url,
            std::string(kBase) + "/deltas/3/bin/text.txt.from-" + text.deltas()[0].from_hash + ".zst");
  EXPECT_EQ(text.compressed().url, std::string(kBase) + "/compressed/3/bin/text.txt.zst");
  EXPECT_EQ(EntryNamed(r3, "steady.txt").deltas().size(), 1u) << "releases 1 and 2 hold one content";
  EXPECT_TRUE(EntryNamed(r3, "noise.bin").deltas().empty()) << "noise gains nothing from noise";
  EXPECT_TRUE(EntryNamed(r3, "noise.bin").compressed().url.empty());

  // doc.txt is the same in 3 as in 2: release 3 still serves 2's forms,
  // for clients that are on release 1.
  const PackageFileEntry& doc2 = EntryNamed(r2, "doc.txt");
  const PackageFileEntry& doc3 = EntryNamed(r3, "doc.txt");
  ASSERT_EQ(doc3.deltas().size(), 1u);
  EXPECT_EQ(doc3.deltas(), doc2.deltas()) << "same base URL, same places";
  EXPECT_EQ(doc3.compressed(), doc2.compressed());

  for (const char* release : {"r1", "r2", "r3"}) ExpectFormsRebuildTheirFiles(work, release, contents);
  EXPECT_NE(third.out.find("smaller forms: 3 compressed copies ("), std::string::npos) << third.out;
  EXPECT_NE(third.out.find(", 4 deltas ("), std::string::npos) << third.out;
  EXPECT_NE(third.out.find("published version 3: 4 files, 0 new, 3 changed, 1 same"), std::string::npos) << third.out;
}

// What the client shipped before the smaller forms does with package.json:
// jsoncpp's Reader with its default features, asString on the five release
// fields and on six fields of each entry.
std::vector<std::string> ClassicFields(const std::string& text) {
  Json::Value root;
  Json::Reader reader;
  std::vector<std::string> fields;
  if (!reader.parse(text, root)) return fields;
  for (const char* key : {"version", "package_date", "full_update", "install_package_url", "type"}) {
    fields.push_back(key + std::string("=") + root[key].asString());
  }
  for (Json::Value& entry : root["file_list"]) {
    for (const char* key : {"name", "remote_url", "hash", "local_path", "ver", "act"}) {
      fields.push_back(key + std::string("=") + entry[key].asString());
    }
  }
  return fields;
}

TEST(PublisherForms, OlderClientsAndKeyedClientsReadTheNewManifest) {
  Work work;
  std::ostringstream keygenOut, keygenErr;
  ASSERT_EQ(RunPublisher({"keygen", "--out", work.Text("release")}, keygenOut, keygenErr), 0) << keygenErr.str();
  std::string publicKey = work.Read("release.pub");
  publicKey.pop_back();
  work.Write("release/sub/\xE4\xB9\x97.txt", CompressibleSample(1, 40000));
  work.Write("release/a.txt", CompressibleSample(2, 40000));
  ASSERT_EQ(work.Publish("1", "r1", {}).code, 0);
  work.Write("release/sub/\xE4\xB9\x97.txt", CompressibleSample(1, 40000) + "2");
  const Outcome forms = work.Publish("2", "r2", {"r1"}, {"--sign-key", work.Text("release.key")});
  ASSERT_EQ(forms.code, 0) << forms.err;
  const Outcome plain = work.Publish("2", "r2-plain", {"r1"}, {"--no-smaller-forms"});
  ASSERT_EQ(plain.code, 0) << plain.err;

  const std::string text = work.Read("r2/package.json");
  const PackageManifest read = work.Manifest("r2");
  ASSERT_EQ(EntryNamed(read, "\x81\x5C.txt").deltas().size(), 1u) << text;
  const std::vector<std::string> plainFields = ClassicFields(work.Read("r2-plain/package.json"));
  ASSERT_EQ(plainFields.size(), 5u + 2 * 6);
  EXPECT_EQ(ClassicFields(text), plainFields);

  EXPECT_TRUE(ReleaseTrust::FromKeyText(publicKey).AcceptsManifest(text, work.Read("r2/package.json.sig")));

  // Without the forms: no trees, no keys, and the text this publisher wrote before them.
  EXPECT_FALSE(fs::exists(work.path() / "r2-plain" / "compressed"));
  EXPECT_FALSE(fs::exists(work.path() / "r2-plain" / "deltas"));
  EXPECT_EQ(plain.out.find("smaller forms"), std::string::npos) << plain.out;
  PackageManifest stripped = work.Manifest("r2-plain");
  EXPECT_EQ(work.Read("r2-plain/package.json"), WriteManifestText(stripped));
  EXPECT_EQ(work.Read("r2-plain/package.json").find("compressed"), std::string::npos);
}

bool WrongCopy(const std::string& bytes, int level, std::string& frame, int& windowLog) {
  return CompressForServing(bytes + "!", level, frame, windowLog);
}

bool WrongDelta(const std::string& base, const std::string& target, int level, std::string& frame, int& windowLog) {
  return MakeDelta(base, target.substr(1), level, frame, windowLog);
}

bool GarbageDelta(const std::string&, const std::string&, int, std::string& frame, int& windowLog) {
  frame = "not a zstd frame";
  windowLog = 20;
  return true;
}

// A form the client could not turn into its file must never go out: the
// whole release is refused and --out is left as it was.
TEST(PublisherForms, AFormThatDoesNotRebuildItsFileRefusesTheRelease) {
  Work work;
  work.Write("release/a.txt", CompressibleSample(1, 30000));
  ASSERT_EQ(work.Publish("1", "r1", {}).code, 0);
  work.Write("release/a.txt", CompressibleSample(1, 30000) + "2");
  struct Case {
    const char* why;
    FormEncoder encoder;
  };
  Case cases[] = {{"copy of other bytes", {}}, {"delta to other bytes", {}}, {"delta that is no frame", {}}};
  cases[0].encoder.compress = WrongCopy;
  cases[1].encoder.delta = WrongDelta;
  cases[2].encoder.delta = GarbageDelta;
  for (const Case& c : cases) {
    const Outcome outcome = work.Publish("2", "r2", {"r1"}, {}, c.encoder);
    EXPECT_EQ(outcome.code, 3) << c.why;
    EXPECT_NE(outcome.err.find("refused: \"a.txt\": its "), std::string::npos) << c.why << ": " << outcome.err;
    for (const auto& item : fs::directory_iterator(work.path())) {
      EXPECT_NE(item.path().filename().string().compare(0, 2, "r2"), 0) << c.why << ": " << item.path();
    }
  }
}

// The earlier releases are the operator's, and may be damaged or mixed up.
TEST(PublisherForms, EarlierReleasesAreCheckedBeforeTheyServeAsBases) {
  Work work;
  work.Write("release/a.txt", CompressibleSample(1, 30000));
  ASSERT_EQ(work.Publish("1", "r1", {}).code, 0);
  work.Write("release/a.txt", CompressibleSample(1, 30000) + "2");
  ASSERT_EQ(work.Publish("2", "r2", {"r1"}).code, 0);
  work.Write("release/a.txt", CompressibleSample(1, 30000) + "3");

  Outcome outcome = work.Publish("3", "r3", {"r1", "r1"});
  EXPECT_EQ(outcome.code, 2) << "two releases of one version: which one continues?";
  EXPECT_NE(outcome.err.find("are both version 1"), std::string::npos) << outcome.err;
  for (const char* level : {"0", "20", "x"}) EXPECT_EQ(work.Publish("3", "r3", {}, {"--zstd-level", level}).code, 2);
  EXPECT_EQ(work.Publish("3", "r3", {}, {"--delta-releases", "17"}).code, 2);
  EXPECT_FALSE(fs::exists(work.path() / "r3"));

  // The base of release 1 damaged on the server: no delta from it, a warning.
  work.Write("r1/files/1/a.txt", CompressibleSample(1, 30000) + "damaged");
  outcome = work.Publish("3", "r3", {"r2", "r1"});
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_NE(outcome.err.find("warning: release 1: \"files/1/a.txt\" differs from its manifest"), std::string::npos)
      << outcome.err;
  const PackageManifest r3 = work.Manifest("r3");
  const PackageFileEntry& entry = EntryNamed(r3, "a.txt");
  ASSERT_EQ(entry.deltas().size(), 1u);
  EXPECT_EQ(entry.deltas()[0].from_sha256, Sha256HexOfBytes(CompressibleSample(1, 30000) + "2"));

  outcome = work.Publish("3", "r3-no-deltas", {"r2", "r1"}, {"--delta-releases", "0"});
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  const PackageManifest noDeltas = work.Manifest("r3-no-deltas");
  EXPECT_TRUE(EntryNamed(noDeltas, "a.txt").deltas().empty());
  EXPECT_FALSE(EntryNamed(noDeltas, "a.txt").compressed().url.empty());
}

// Code-like bytes whose call targets all move when a relink inserts shift
// bytes early: the pair where a patch is far smaller than a zstd delta.
std::string Relinked(unsigned shift) {
  std::string bytes;
  unsigned state = 7;
  for (unsigned i = 0; i < 6000; ++i) {
    state = state * 1103515245u + 12345u;
    const unsigned address = 0x401000 + (state >> 12) % 0x40000 + (i > 300 ? shift : 0);
    bytes += static_cast<char>(0xE8);
    for (int b = 0; b < 4; ++b) bytes += static_cast<char>(address >> (8 * b));
    for (int b = 0; b < 11; ++b) bytes += static_cast<char>((state >> b) ^ (i * 31 + b));
    if (i == 300) bytes += std::string(shift, '\x90');
  }
  return bytes;
}

// Which delta forms a changed file gets. The zstd delta stays whenever it
// saves enough, for the clients that read only it; the patch is listed only
// when it is smaller still, so that newer clients never fetch the larger one
// first and the server never offers one nobody would take.
TEST(PublisherForms, APatchIsListedBesideTheZstdDeltaOnlyWhenSmaller) {
  const std::string text = CompressibleSample(4, 60000), small = CompressibleSample(5, 3000);
  const struct {
    const char* name;
    std::string before, after;
    bool patch;  // listed
  } cases[] = {
      {"relinked.dll", Relinked(0), Relinked(6), true},
      {"edited.txt", text, text.substr(0, 30000) + "one line more" + text.substr(30000), true},
      // A few bytes of zstd delta beat the patch's header and four frames.
      {"small.txt", small, small.substr(0, 1000) + "X" + small.substr(1001), false},
  };
  Work work;
  std::map<std::string, std::string> contents;
  for (const auto& c : cases) {
    work.Write(std::string("release/") + c.name, c.before);
    contents[Sha256HexOfBytes(c.before)] = c.before;
  }
  ASSERT_EQ(work.Publish("1", "r1", {}).code, 0);
  for (const auto& c : cases) {
    work.Write(std::string("release/") + c.name, c.after);
    contents[Sha256HexOfBytes(c.after)] = c.after;
  }
  const Outcome second = work.Publish("2", "r2", {"r1"});
  ASSERT_EQ(second.code, 0) << second.err;

  const PackageManifest r2 = work.Manifest("r2");
  for (const auto& c : cases) {
    const PackageFileEntry& entry = EntryNamed(r2, c.name);
    ASSERT_EQ(entry.deltas().size(), 1u) << c.name << ": the zstd delta older clients read";
    ASSERT_EQ(entry.patches().size(), c.patch ? 1u : 0u) << c.name << "\n" << second.out;
    if (!c.patch) continue;
    const FileDelta& patch = entry.patches()[0];
    EXPECT_LT(patch.size, entry.deltas()[0].size) << c.name;
    EXPECT_EQ(patch.from_sha256, Sha256HexOfBytes(c.before)) << c.name;
    EXPECT_EQ(patch.url, std::string(kBase) + "/deltas/2/" + c.name + ".from-" + patch.from_hash + ".zqpatch");
  }
  ExpectFormsRebuildTheirFiles(work, "r2", contents);
  EXPECT_NE(second.out.find("3 deltas ("), std::string::npos) << second.out;
  EXPECT_NE(second.out.find(", 2 patches ("), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("no smaller than its zstd delta's"), std::string::npos) << second.out;

  // A client from before the patches reads the same fields as from a release without any forms.
  ASSERT_EQ(work.Publish("2", "r2-plain", {"r1"}, {"--no-smaller-forms"}).code, 0);
  EXPECT_NE(work.Read("r2/package.json").find("\"patches\": [{"), std::string::npos);
  EXPECT_EQ(ClassicFields(work.Read("r2/package.json")), ClassicFields(work.Read("r2-plain/package.json")));

  // Release 3 changes nothing: it carries the patch over, proved again against its base.
  const Outcome third = work.Publish("3", "r3", {"r2", "r1"});
  ASSERT_EQ(third.code, 0) << third.err;
  EXPECT_EQ(EntryNamed(work.Manifest("r3"), "relinked.dll").patches(), EntryNamed(r2, "relinked.dll").patches());
  ExpectFormsRebuildTheirFiles(work, "r3", contents);
}

bool WrongPatch(const std::string& base, const std::string& target, int level, std::string& patch) {
  return MakeServedPatch(base, target + "!", level, patch);
}

// The patch is proved with the client's applier like every other form.
TEST(PublisherForms, APatchThatDoesNotRebuildItsFileRefusesTheRelease) {
  Work work;
  work.Write("release/a.dll", Relinked(0));
  ASSERT_EQ(work.Publish("1", "r1", {}).code, 0);
  work.Write("release/a.dll", Relinked(6));
  FormEncoder encoder;
  encoder.patch = WrongPatch;
  const Outcome outcome = work.Publish("2", "r2", {"r1"}, {}, encoder);
  EXPECT_EQ(outcome.code, 3);
  EXPECT_NE(outcome.err.find("refused: \"a.dll\": its patch from release 1"), std::string::npos) << outcome.err;
  EXPECT_FALSE(fs::exists(work.path() / "r2"));
}

// A patch the maker writes in a later version than the first, as its header
// says: byte 4 rewritten, nothing else. No applier of today takes it.
std::string AsLaterVersion(std::string patch, char version) {
  patch.at(4) = version;
  return patch;
}

// Clients that read "patches" apply only the first version and refuse any
// other as corrupt, after the download: nothing else may be listed there.
TEST(PublisherForms, OnlyAPatchOfTheFirstVersionIsListedUnderPatches) {
  std::string patch;
  ASSERT_TRUE(MakeServedPatch(Relinked(0), Relinked(6), 1, patch));
  EXPECT_EQ(PatchFormatOf(patch), DeltaFormat::kPatch) << "what the maker writes today";
  EXPECT_EQ(PatchFormatOf(AsLaterVersion(patch, 2)), DeltaFormat::kLabelledPatch);
  EXPECT_EQ(PatchFormatOf(AsLaterVersion(patch, 3)), DeltaFormat::kLabelledPatch) << "unknown to today's clients too";
  EXPECT_EQ(PatchFormatOf(patch.substr(0, 4)), DeltaFormat::kLabelledPatch) << "no version at all";
}

// An unchanged file carries its patch over under the key of the patch's own
// version, wherever the earlier release listed it, and keeps the zstd delta
// that clients reading neither key take.
TEST(PublisherForms, ACarriedLaterPatchStaysUnderItsOwnKey) {
  for (const bool listedAsLabelled : {true, false}) {
    const std::string why = listedAsLabelled ? "listed as labelled" : "listed under \"patches\" by mistake";
    Work work;
    work.Write("release/a.dll", Relinked(0));
    ASSERT_EQ(work.Publish("1", "r1", {}).code, 0);
    work.Write("release/a.dll", Relinked(6));
    ASSERT_EQ(work.Publish("2", "r2", {"r1"}).code, 0);

    PackageManifest r2 = work.Manifest("r2");
    std::vector<PackageFileEntry> entries = r2.file_list();
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(entries[0].patches().size(), 1u) << why;
    FileDelta later = entries[0].patches()[0];
    const std::string form = work.Served("r2", later.url);
    const std::string bytes = AsLaterVersion(work.Read(form), 2);
    work.Write(form, bytes);
    later.sha256 = Sha256HexOfBytes(bytes);
    later.format = listedAsLabelled ? DeltaFormat::kLabelledPatch : DeltaFormat::kPatch;
    entries[0].set_patches(listedAsLabelled ? std::vector<FileDelta>() : std::vector<FileDelta>{later});
    entries[0].set_labelled_patches(listedAsLabelled ? std::vector<FileDelta>{later} : std::vector<FileDelta>());
    r2.set_file_list(entries);
    work.Write("r2/package.json", WriteManifestText(r2));

    // Without release 1 the patch's base is not at hand: carried by its SHA-256.
    const Outcome third = work.Publish("3", "r3", {"r2"});
    ASSERT_EQ(third.code, 0) << why << ": " << third.err;
    const PackageManifest r3 = work.Manifest("r3");
    const PackageFileEntry& carried = EntryNamed(r3, "a.dll");
    EXPECT_TRUE(carried.patches().empty()) << why;
    ASSERT_EQ(carried.labelled_patches().size(), 1u) << why;
    EXPECT_EQ(carried.labelled_patches()[0].format, DeltaFormat::kLabelledPatch) << why;
    EXPECT_EQ(carried.labelled_patches()[0].sha256, later.sha256) << why;
    EXPECT_EQ(work.Read(work.Served("r3", carried.labelled_patches()[0].url)), bytes) << why;
    EXPECT_EQ(carried.deltas(), entries[0].deltas()) << why << ": the zstd delta older clients read";
    EXPECT_NE(third.out.find("labelled patch from MD5 "), std::string::npos) << why << "\n" << third.out;
  }
}

}  // namespace
