// The parser feeds every update decision: a field read wrongly installs the
// wrong files or none, and a failed parse that damaged the record in hand would
// make the program act on half of two manifests.

#include "update/manifest/package_manifest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const char kThreeFiles[] = R"({
  "Version": "99", "TYPE": "full", "extra": {"deep": [1, {}]},
  "version": "12",
  "package_date": "20240301",
  "full_update": true,
  "type": "force",
  "install_package_url": "http://update.example/setup.exe",
  "file_list": [
    {"name": "a.dll", "remote_url": "http://update.example/a.dll", "hash": "0CC175B9C0F1B6A831C399E269772661",
     "local_path": "bin\\", "ver": "3", "act": "reg"},
    {"name": "b.txt", "remote_url": "http://update.example/b.txt", "hash": "92EB5FFEE6AE2FEC3AD71C777531578F",
     "local_path": "", "ver": "1"},
    {"name": "old.dll", "remote_url": "", "hash": "", "local_path": "bin/", "ver": "0", "act": "delete"}
  ]
})";

PackageManifest ParseOk(const std::string& text) {
  PackageManifest manifest;
  EXPECT_EQ(PackageManifestParser::Parse(text, manifest), 0) << text.substr(0, 200);
  return manifest;
}

PackageManifest ThreeFiles() {
  PackageManifest manifest = ParseOk(kThreeFiles);
  EXPECT_EQ(manifest.file_list().size(), 3u);
  return manifest;
}

PackageFileEntry Entry(const std::string& name, const std::string& url, const std::string& hash,
                       const std::string& path, const std::string& ver, const std::string& act) {
  PackageFileEntry entry;
  entry.set_name(name);
  entry.set_remote_url(url);
  entry.set_hash(hash);
  entry.set_local_path(path);
  entry.set_ver(ver);
  entry.set_act(act);
  return entry;
}

std::string Repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

std::string Nested(int depth, const std::string& inner) {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// Keys are exact: "Version" and "TYPE" are unknown keys, ignored like "extra".
TEST(PackageManifestParserTest, ReadsEveryFieldAndEntriesInOrder) {
  const PackageManifest manifest = ThreeFiles();
  EXPECT_EQ(manifest.version(), "12");
  EXPECT_EQ(manifest.package_date(), "20240301");
  EXPECT_TRUE(manifest.full_update());
  EXPECT_EQ(manifest.type(), "force");
  EXPECT_EQ(manifest.install_package_url(), "http://update.example/setup.exe");
  const std::vector<PackageFileEntry> expected = {
      Entry("a.dll", "http://update.example/a.dll", "0CC175B9C0F1B6A831C399E269772661", "bin\\", "3", "reg"),
      Entry("b.txt", "http://update.example/b.txt", "92EB5FFEE6AE2FEC3AD71C777531578F", "", "1", ""),
      Entry("old.dll", "", "", "bin/", "0", "delete"),
  };
  EXPECT_EQ(manifest.file_list(), expected);

  EXPECT_EQ(ParseOk(R"({"type": "Force"})").type(), "Force");
  EXPECT_EQ(ParseOk(R"({"type": "force "})").type(), "force ");
}

struct Conversion {
  std::string json;
  std::string text;
  bool flag;
};

// One table for the two readings of a value: as text (every text field of the
// record and of an entry) and as full_update.
TEST(PackageManifestParserTest, ConvertsScalarsAsTheLibraryDoes) {
  const Conversion cases[] = {
      {"null", "", false},
      {"true", "true", true},
      {"false", "false", false},
      {"105", "105", true},
      {"0", "0", false},
      {"-7", "-7", true},
      {"18446744073709551615", "18446744073709551615", true},
      {"1.5", "1.5", true},
      {"0.0", "0.0", false},
      {"2e3", "2000.0", true},
  };
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.json);
    const PackageManifest manifest = ParseOk(R"({"version": )" + c.json + R"(, "full_update": )" + c.json +
                                             R"(, "file_list": [{"ver": )" + c.json + R"(, "act": )" + c.json + "}]}");
    EXPECT_EQ(manifest.version(), c.text);
    EXPECT_EQ(manifest.full_update(), c.flag);
    ASSERT_EQ(manifest.file_list().size(), 1u);
    EXPECT_EQ(manifest.file_list()[0].ver(), c.text);
    EXPECT_EQ(manifest.file_list()[0].act(), c.text);
  }
  EXPECT_FALSE(ParseOk(R"({"version": "1"})").full_update());
}

// Signed releases add digest keys. Catches a digest read from a value that is
// not text, and, since older manifests parsed whatever those keys held, a
// manifest that fails or reads differently because of them.
TEST(PackageManifestParserTest, DigestKeysAreTakenOnlyAsText) {
  const std::string digest(64, 'a');
  const PackageManifest read = ParseOk(R"({"version": "12", "install_package_sha256": ")" + digest +
                                       R"(", "file_list": [{"name": "a.dll", "ver": "1", "sha256": ")" + digest +
                                       R"("}, {"name": "b.dll", "sha256": 7}]})");
  EXPECT_EQ(read.install_package_sha256(), digest);
  EXPECT_EQ(read.file_list()[0].sha256(), digest);
  EXPECT_EQ(read.file_list()[1].sha256(), "");

  PackageManifest odd = ParseOk(R"({"version": "12", "install_package_sha256": {"x": [1]},
      "file_list": [{"name": "a.dll", "ver": "1", "sha256": [1, 2]}, {"name": "b.dll", "sha256": null}]})");
  EXPECT_EQ(odd.install_package_sha256(), "");
  EXPECT_EQ(odd.file_list()[0].sha256(), "");
  EXPECT_EQ(odd.file_list()[0].ver(), "1");
  EXPECT_EQ(odd.file_list()[1].name(), "b.dll");
}

// Sizes bound downloads. Catches a size read from text, a fraction, a negative
// or out-of-range number (which would bound nothing or everything), and a
// manifest that fails because of a size an older client never read.
TEST(PackageManifestParserTest, SizesAreTakenOnlyAsWholeNumbers) {
  const struct {
    const char* json;
    long long size;
  } cases[] = {
      {"0", 0},
      {"1234", 1234},
      {"9223372036854775807", 9223372036854775807LL},
      {"18446744073709551615", -1},
      {"-1", -1},
      {"12.5", -1},
      {"1e3", -1},
      {"\"12\"", -1},
      {"null", -1},
      {"[1]", -1},
      {"true", -1},
  };
  for (const auto& c : cases) {
    const PackageManifest read = ParseOk(std::string(R"({"version": "2", "install_package_size": )") + c.json +
                                         R"(, "file_list": [{"name": "a", "size": )" + c.json + "}]}");
    EXPECT_EQ(read.install_package_size(), c.size) << c.json;
    EXPECT_EQ(read.file_list()[0].size(), c.size) << c.json;
    EXPECT_EQ(read.file_list()[0].name(), "a") << c.json;
  }
  EXPECT_EQ(ParseOk(R"({"file_list": [{"name": "a"}]})").file_list()[0].size(), -1) << "absent";
}

// Patches are network input beside the zstd deltas: one is kept only whole
// and of its exact shape, never fails the manifest, never mixes with the
// deltas a client before it reads, and a flood of them is cut off. Labelled
// patches never reach the list of a client before them.
TEST(PackageManifestParserTest, PatchesAreKeptOnlyWholeAndApartFromDeltas) {
  const std::string whole =
      R"("from_hash": "0CC175B9C0F1B6A831C399E269772661", "from_sha256": "aa", "url": "http://u/p", "size": 7, "sha256": "bb")";
  const struct {
    const char* why;
    std::string patches;
    size_t kept;
  } cases[] = {
      {"a whole patch", "[{" + whole + "}]", 1},
      {"a window is no part of a patch, and harmless", "[{" + whole + R"(, "window_log": 99}])", 1},
      {"no url", R"([{"from_hash": "A", "from_sha256": "aa", "size": 7, "sha256": "bb"}])", 0},
      {"no own digest", R"([{"from_hash": "A", "from_sha256": "aa", "url": "u", "size": 7}])", 0},
      {"no base digest", R"([{"from_hash": "A", "url": "u", "size": 7, "sha256": "bb"}])", 0},
      {"a size that is text", R"([{"from_hash": "A", "from_sha256": "aa", "url": "u", "size": "7", "sha256": "bb"}])",
       0},
      {"a negative size", R"([{"from_hash": "A", "from_sha256": "aa", "url": "u", "size": -7, "sha256": "bb"}])", 0},
      {"a url that is no text", R"([{"from_hash": "A", "from_sha256": "aa", "url": [1], "size": 7, "sha256": "bb"}])",
       0},
      {"items that are no objects", R"([1, "x", null, [], true])", 0},
      {"an object, not a list", "{" + whole + "}", 0},
      {"a flood", "[" + Repeated("{" + whole + "}, ", 40) + "{" + whole + "}]", 16},
  };
  for (const auto& c : cases) {
    const PackageManifest read =
        ParseOk(R"({"version": "2", "file_list": [{"name": "a", "ver": "2", "patches": )" + c.patches + "}]}");
    const PackageFileEntry& entry = read.file_list()[0];
    EXPECT_EQ(entry.name(), "a") << c.why;
    EXPECT_TRUE(entry.deltas().empty()) << c.why;
    ASSERT_EQ(entry.patches().size(), c.kept) << c.why;
    for (const FileDelta& patch : entry.patches()) {
      EXPECT_EQ(patch.format, DeltaFormat::kPatch) << c.why;
      EXPECT_EQ(patch.window_log, 0) << c.why;
      EXPECT_EQ(patch.size, 7) << c.why;
    }
  }
  // Beside a zstd delta of the same base, each stays in its own list.
  const PackageManifest both =
      ParseOk(R"({"file_list": [{"name": "a", "deltas": [{)" + whole + R"(, "window_log": 20}], "patches": [{)" +
              whole + R"(}], "labelled_patches": [{)" + whole + "}, {" + whole + "}]}]}");
  ASSERT_EQ(both.file_list()[0].deltas().size(), 1u);
  ASSERT_EQ(both.file_list()[0].patches().size(), 1u);
  ASSERT_EQ(both.file_list()[0].labelled_patches().size(), 2u);
  EXPECT_EQ(both.file_list()[0].patches()[0].format, DeltaFormat::kPatch);
  EXPECT_EQ(both.file_list()[0].labelled_patches()[1].format, DeltaFormat::kLabelledPatch);
  EXPECT_TRUE(ParseOk(R"({"file_list": [{"name": "a", "labelled_patches": [{)" + whole + "}]}]}")
                  .file_list()[0]
                  .patches()
                  .empty());
  EXPECT_EQ(both.file_list()[0].deltas()[0].format, DeltaFormat::kZstd);
  EXPECT_EQ(both.file_list()[0].deltas()[0].window_log, 20);
  EXPECT_FALSE(both.file_list()[0].deltas()[0] == both.file_list()[0].patches()[0]) << "the format is part of a delta";
}

// An absent share means everyone, as before the key existed; a share that is
// there but unreadable holds the release back instead of sending it to all.
TEST(PackageManifestParserTest, RolloutShareIsClampedOrHeld) {
  const struct {
    const char* json;
    int share;
  } cases[] = {
      {"null", 100},
      {"0", 0},
      {"37", 37},
      {"100", 100},
      {"250", 100},
      {"-5", 0},
      {"50.0", 50},
      {"12.5", 0},
      {"\"50\"", 0},
      {"true", 0},
      {"[50]", 0},
      {"{}", 0},
      {"18446744073709551615", 100},
      {"1e300", 0},
      {"-1e300", 0},
  };
  for (const auto& c : cases) {
    const PackageManifest read =
        ParseOk(std::string(R"({"version": "2", "rollout": )") + c.json + R"(, "file_list": [{"name": "a"}]})");
    EXPECT_EQ(read.rollout(), c.share) << c.json;
    EXPECT_EQ(read.version(), "2") << c.json;
  }
  EXPECT_EQ(ParseOk(R"({"version": "2"})").rollout(), kWholeRollout) << "absent";
}

TEST(PackageManifestParserTest, EmptyAndNullDocumentsGiveDefaults) {
  for (const char* text : {"{}", "null", " /* nothing */ null // here\n"}) {
    SCOPED_TRACE(text);
    PackageManifest manifest = ThreeFiles();
    EXPECT_EQ(PackageManifestParser::Parse(text, manifest), 0);
    EXPECT_EQ(manifest.version(), "");
    EXPECT_FALSE(manifest.full_update());
    EXPECT_TRUE(manifest.file_list().empty());
    EXPECT_EQ(manifest, PackageManifest());
  }
}

TEST(PackageManifestParserTest, FileListOfNoElementsGivesEmptyList) {
  for (const char* list : {"", R"("file_list": null,)", R"("file_list": "a.dll",)", R"("file_list": 3,)",
                           R"("file_list": true,)", R"("file_list": {},)", R"("file_list": [],)"}) {
    SCOPED_TRACE(list);
    PackageManifest manifest = ThreeFiles();
    EXPECT_EQ(PackageManifestParser::Parse(std::string("{") + list + R"("version": "2"})", manifest), 0);
    EXPECT_TRUE(manifest.file_list().empty());
    EXPECT_EQ(manifest.version(), "2");
  }
}

TEST(PackageManifestParserTest, NullElementAndMissingKeysGiveEmptyFields) {
  const PackageManifest manifest = ParseOk(R"({"file_list": [null, {"name": "x", "ver": 4}, {}]})");
  const std::vector<PackageFileEntry> expected = {PackageFileEntry(), Entry("x", "", "", "", "4", ""),
                                                  PackageFileEntry()};
  EXPECT_EQ(manifest.file_list(), expected);
}

TEST(PackageManifestParserTest, SecondParseReplacesTheWholeList) {
  PackageManifest manifest = ThreeFiles();
  ASSERT_EQ(PackageManifestParser::Parse(R"({"version": "13", "file_list": [{"name": "c.exe"}]})", manifest), 0);
  EXPECT_EQ(manifest.file_list(), std::vector<PackageFileEntry>{Entry("c.exe", "", "", "", "", "")});
  EXPECT_EQ(manifest.package_date(), "");
  EXPECT_EQ(manifest.type(), "");
}

TEST(PackageManifestParserTest, AcceptsCommentsAndIgnoresTextAfterTheRoot) {
  const std::string text =
      "// leading line comment\n/* block */ { /* a */ \"version\" : /* c */ \"7\" // d\n"
      ", \"file_list\" : [ /* e */ { \"name\" : \"a\" } // f\n , /* g */ null ] /* h */ } // tail\n";
  const PackageManifest manifest = ParseOk(text);
  EXPECT_EQ(manifest.version(), "7");
  EXPECT_EQ(manifest.file_list().size(), 2u);

  for (const char* tail : {"garbage", "}}}]]", "{\"version\": \"99\"}", "\x01\xff", "/* unterminated"}) {
    SCOPED_TRACE(tail);
    EXPECT_EQ(ParseOk(std::string(R"({"version": "5"})") + tail).version(), "5");
  }
}

// Every way to fail: not JSON at all, JSON of the wrong shape (which jsoncpp
// reports by throwing), and nesting past jsoncpp's limit. Each must give -1
// and leave a record that already held a manifest exactly as it was.
TEST(PackageManifestParserTest, FailureLeavesTheRecordUntouched) {
  const std::string cases[] = {
      "",
      "   ",
      "{",
      R"({"version": "1",)",
      R"({"version": "1" "type": "force"})",
      "\xEF\xBB\xBF{}",
      "\xEF\xBB\xBF" + std::string(kThreeFiles),
      "garbage {}",
      R"({"version" /* between a key and its colon the reader takes no comment */ : "9"})",
      "[]",
      R"([{"version": "99"}])",
      R"("text")",
      "42",
      "true",
      R"({"version": ["1"]})",
      R"({"version": "99", "package_date": {"y": 2024}})",
      R"({"version": "99", "full_update": "true"})",
      R"({"full_update": []})",
      R"({"version": "99", "type": "force", "install_package_url": [null]})",
      R"({"version": "99", "file_list": {"name": "a.dll"}})",
      R"({"version": "99", "file_list": [{"name": "a"}, "b.dll"]})",
      R"({"version": "99", "file_list": [[]]})",
      R"({"version": "99", "file_list": [7]})",
      R"({"version": "99", "file_list": [{"name": "a", "ver": [3]}]})",
      R"({"version": "99", "file_list": [{"name": "a", "act": {}}]})",
      Nested(1000, ""),
      Nested(100000, ""),
      R"({"version": "99", "x": )" + Nested(999, "1") + "}",
      Repeated(R"({"a": )", 100000) + "null" + std::string(100000, '}'),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    PackageManifest manifest = ThreeFiles();
    const PackageManifest before = manifest;
    EXPECT_EQ(PackageManifestParser::Parse(text, manifest), -1);
    EXPECT_EQ(manifest, before);
  }

  PackageManifest fresh;
  EXPECT_EQ(PackageManifestParser::Parse("", fresh), -1);
  EXPECT_EQ(fresh, PackageManifest());
}

TEST(PackageManifestParserTest, NestingBelowTheLimitIsAccepted) {
  // The 1 lies 999 levels below the root object, the deepest that jsoncpp
  // allows; one array more is refused (see FailureLeavesTheRecordUntouched).
  const PackageManifest manifest = ParseOk(R"({"version": "3", "x": )" + Nested(998, "1") + "}");
  EXPECT_EQ(manifest.version(), "3");
}

TEST(PackageManifestParserTest, KeepsBytesAsTheyAre) {
  // Code page 936 for "中文.dll" and the directory "新建", and bytes that are not UTF-8 at all.
  const std::string name = "\xD6\xD0\xCE\xC4.dll";
  const std::string directory = "\xD0\xC2\xBD\xA8";
  const std::string odd = "\xFF\xFE\x80\xC0\xAF";
  const PackageManifest manifest = ParseOk("{\"package_date\": \"" + odd + "\", \"file_list\": [{\"name\": \"" + name +
                                           "\", \"local_path\": \"" + directory + R"(\\"}]})");
  EXPECT_EQ(manifest.package_date(), odd);
  ASSERT_EQ(manifest.file_list().size(), 1u);
  EXPECT_EQ(manifest.file_list()[0].name(), name);
  EXPECT_EQ(manifest.file_list()[0].local_path(), directory + "\\");

  // An escape yields UTF-8, not code page 936: the document's author must write raw bytes.
  EXPECT_EQ(ParseOk(R"({"version": "\u4e2d"})").version(), "\xE4\xB8\xAD");
}

TEST(PackageManifestParserTest, HandlesHugeStrings) {
  const std::string big(10 * 1024 * 1024, 'a');
  const PackageManifest manifest = ParseOk(R"({"file_list": [{"name": ")" + big + R"("}]})");
  ASSERT_EQ(manifest.file_list().size(), 1u);
  EXPECT_EQ(manifest.file_list()[0].name(), big);
}

TEST(PackageManifestParserTest, HandlesAHundredThousandEntries) {
  constexpr int kCount = 100000;
  std::string text = R"({"version": "1", "file_list": [)";
  for (int i = 0; i < kCount; ++i) {
    if (i > 0) text += ',';
    text += R"({"name": "f)" + std::to_string(i) +
            R"(.dll", "remote_url": "http://update.example/f.dll",)"
            R"( "hash": "0CC175B9C0F1B6A831C399E269772661", "local_path": "bin\\", "ver": "2", "act": ""})";
  }
  text += "]}";

  const auto start = std::chrono::steady_clock::now();
  const PackageManifest manifest = ParseOk(text);
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();

  const std::vector<PackageFileEntry> list = manifest.file_list();
  ASSERT_EQ(list.size(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(list.back().name(), "f99999.dll");
  // A bound for a quadratic slip, not a benchmark: a few seconds under the
  // sanitizers, where quadratic work would take many minutes.
  EXPECT_LT(seconds, 60);
}

}  // namespace
