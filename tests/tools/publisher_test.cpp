// zq_publish turns a release directory into what the client downloads. A
// fault here ships a manifest the client misreads (a name, a 0x5C trail byte),
// a ver that makes clients skip a changed file or fetch everything, or a
// half-written release on the server; these tests read the output back with
// the client's own parser and the client's own choice of files to fetch.

#include "tools/publisher/publisher.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tools/publisher/cp936_text.h"
#include "tools/publisher/manifest_writer.h"
#include "tools/publisher/publish_rules.h"
#include "tools/publisher/release_plan.h"
#include "tools/publisher/release_tree.h"
#include "update/incremental_update.h"
#include "update/md5_checksum.h"
#include "update/package_manifest.h"
#include "update/safe_path.h"

namespace {

const char kBase[] = "http://127.0.0.1:8080/zenquilo";
const char kEmptyHash[] = "D41D8CD98F00B204E9800998ECF8427E";
// CP936 bytes: 中文 D6D0 CEC4; 乗 815C (a trail byte that is "\").
const char kZhongwen936[] = "\xD6\xD0\xCE\xC4";
const char kJou936[] = "\x81\x5C";

std::string Md5Of(const std::string& bytes) {
  CMD5Checksum md5;
  md5.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return md5.Final();
}

std::FILE* Open(const fs::path& path, bool write) {
#ifdef _WIN32
  return _wfopen(path.c_str(), write ? L"wb" : L"rb");
#else
  return std::fopen(path.c_str(), write ? "wb" : "rb");
#endif
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::FILE* file = Open(path, true);
  ASSERT_NE(file, nullptr) << path.string();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string ReadBytes(const fs::path& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes)) << path.string();
  return bytes;
}

class TempDir {
 public:
  const fs::path& path() const { return scratch_.path(); }
  // A UTF-8 text of a path below this directory, for the command line.
  std::string Text(const std::string& relative) const {
    std::string text;
    Utf8FromPath(path() / PathFromUtf8(relative), text);
    return text;
  }
  void Write(const std::string& relative, const std::string& bytes) const {
    WriteBytes(path() / PathFromUtf8(relative), bytes);
  }

 private:
  test_files::TempDirectory scratch_{"zq_publish_test_"};
};

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

Outcome Publish(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  Outcome outcome;
  outcome.code = RunPublisher(arguments, out, err);
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

// One release of the tree under work/release into work/<outName>.
Outcome PublishRelease(const TempDir& work, const std::string& version, const std::string& outName,
                       const std::string& previousOut = "", std::vector<std::string> extra = {}) {
  std::vector<std::string> arguments = {"--release-dir", work.Text("release"), "--version", version,
                                        "--date",        "20261207",          "--base-url", std::string(kBase) + "/",
                                        "--out",         work.Text(outName)};
  if (!previousOut.empty()) {
    arguments.push_back("--previous");
    arguments.push_back(work.Text(previousOut + "/package.json"));
  }
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return Publish(arguments);
}

PackageManifest ReadManifest(const TempDir& work, const std::string& outName) {
  PackageManifest manifest;
  EXPECT_EQ(PackageManifestParser::Parse(ReadBytes(work.path() / PathFromUtf8(outName) / "package.json"), manifest),
            0);
  return manifest;
}

PackageFileEntry Entry(const std::string& name, const std::string& localPath, const std::string& urlPath,
                       const std::string& hash, const std::string& ver, const std::string& act) {
  PackageFileEntry entry;
  entry.set_name(name);
  entry.set_local_path(localPath);
  entry.set_remote_url(std::string(kBase) + urlPath);
  entry.set_hash(hash);
  entry.set_ver(ver);
  entry.set_act(act);
  return entry;
}

// "name ver act" of every entry, in list order: short enough to compare whole.
std::vector<std::string> Summary(const PackageManifest& manifest) {
  std::vector<std::string> lines;
  for (const PackageFileEntry& entry : manifest.file_list()) {
    lines.push_back(entry.local_path() + entry.name() + " " + entry.ver() + " " + entry.act());
  }
  return lines;
}

std::vector<std::string> Fetched(const PackageManifest& remote, const PackageManifest& local) {
  std::vector<std::string> names;
  for (const PackageFileEntry& entry : EntriesToFetch(remote, local)) names.push_back(entry.local_path() + entry.name());
  return names;
}

// Served files must be where remote_url says and hash to what the entry says.
void ExpectServedAsListed(const TempDir& work, const std::string& outName, const PackageManifest& manifest) {
  const std::string prefix = std::string(kBase) + "/";
  for (const PackageFileEntry& entry : manifest.file_list()) {
    EXPECT_TRUE(IsSafeRelativePath(entry.local_path() + entry.name())) << entry.name();
    ASSERT_EQ(entry.remote_url().compare(0, prefix.size(), prefix), 0) << entry.remote_url();
    std::string decoded;
    const std::string encoded = entry.remote_url().substr(prefix.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
      if (encoded[i] == '%') {
        decoded += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        decoded += encoded[i];
      }
    }
    EXPECT_EQ(Md5Of(ReadBytes(work.path() / PathFromUtf8(outName) / PathFromUtf8(decoded))), entry.hash())
        << decoded;
  }
}

bool NothingWritten(const TempDir& work, const std::string& outName) {
  for (const auto& item : fs::directory_iterator(work.path())) {
    std::string name;
    Utf8FromPath(item.path().filename(), name);
    if (name.compare(0, outName.size(), outName) == 0) return false;
  }
  return true;
}

TEST(ManifestWriter, ParserReadsEveryFieldBackByteForByte) {
  PackageManifest manifest;
  manifest.set_version("7");
  manifest.set_package_date("2026-12\"07\"");
  manifest.set_full_update(true);
  manifest.set_type("force");
  manifest.set_install_package_url("http://h/a\\b?x=\x01\x1F");
  // A trail byte 0x5C at the end of a string, and one before a quote.
  manifest.set_file_list({Entry(std::string(kJou936), "sub\\" + std::string(kJou936) + "\\", "/x", "AB", "3", "reg"),
                          Entry("\"q\"" + std::string(kJou936) + "\"", "", "/y", "", "", "")});
  const std::string text = WriteManifestText(manifest);
  PackageManifest parsed;
  ASSERT_EQ(PackageManifestParser::Parse(text, parsed), 0) << text;
  EXPECT_EQ(parsed, manifest);
  EXPECT_NE(text.find("\x81\\\\"), std::string::npos) << "the trail byte is escaped, not dropped";
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(PublishRules, GlobsMatchAsDocumented) {
  struct Case {
    const char* pattern;
    const char* path;
    bool matches;
  };
  const Case cases[] = {
      {"*.dll", "a.dll", true},          {"*.dll", "bin/a.dll", false},      {"**/*.dll", "bin/x/a.dll", true},
      {"**/*.dll", "a.dll", true},       {"bin/*", "bin/x/a.dll", false},    {"bin/**", "bin/x/a.dll", true},
      {"?.dll", "\xE4\xB8\xAD.dll", true}, {"a?c", "a/c", false},           {"*.DLL", "a.dll", false},
      {"com/server.dll", "com/server.dll", true}, {"", "a", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchesGlob(c.pattern, c.path), c.matches) << c.pattern << " " << c.path;
}

TEST(PublishRules, UrlsEncodeEverythingButUnreservedBytes) {
  EXPECT_EQ(PercentEncode("sub dir/\xE4\xB8\xAD.dll~_-", true), "sub%20dir/%E4%B8%AD.dll~_-");
  EXPECT_EQ(PercentEncode("a/b#?%", false), "a%2Fb%23%3F%25");
}

TEST(Cp936Text, ConvertsExactlyOrRefuses) {
  std::string narrow;
  ASSERT_TRUE(Utf8ToCp936("\xE4\xB8\xAD\xE6\x96\x87", narrow));
  EXPECT_EQ(narrow, kZhongwen936);
  ASSERT_TRUE(Utf8ToCp936("\xE4\xB9\x97", narrow));
  EXPECT_EQ(narrow, kJou936);
  EXPECT_FALSE(Utf8ToCp936("\xED\x95\x9C", narrow)) << "Korean syllable";
  EXPECT_FALSE(Utf8ToCp936("\xF0\x9F\x98\x80", narrow)) << "emoji";
  EXPECT_FALSE(Utf8ToCp936("a\xC3\xA4", narrow)) << "no best fit: a-umlaut must not become a";
  EXPECT_FALSE(Utf8ToCp936("\xFF", narrow)) << "not UTF-8";
  std::string utf8;
  ASSERT_TRUE(Cp936ToUtf8(kJou936, utf8));
  EXPECT_EQ(utf8, "\xE4\xB9\x97");
}

// The rules a release is refused by, on plain values: each would make the
// client fail, lose a file or install something else than was published.
TEST(ReleasePlan, RefusesWhatTheClientCannotInstall) {
  struct Case {
    const char* why;
    std::vector<std::string> files;
    std::string date;
    std::vector<std::string> deletes;
  };
  const Case cases[] = {
      {"emoji", {"a\xF0\x9F\x98\x80.txt"}, "d", {}},
      {"Korean syllable", {"\xED\x95\x9C.dll"}, "d", {}},
      {"Korean directory", {"\xED\x95\x9C/a.dll"}, "d", {}},
      {"backslash", {"a\\b.dll"}, "d", {}},
      {"colon", {"a:b.dll"}, "d", {}},
      {"trailing dot", {"a.dll."}, "d", {}},
      {"trailing blank", {"dir /a.dll"}, "d", {}},
      {"control character", {"a\tb"}, "d", {}},
      {"reserved device name", {"bin/nul.txt"}, "d", {}},
      {"the client's manifest", {"package.json"}, "d", {}},
      {"the client's manifest, other case", {"Package.JSON"}, "d", {}},
      {"the client's staging directory", {"temp/package.json"}, "d", {}},
      {"case twins", {"bin/A.dll", "bin/a.dll"}, "d", {}},
      {"file where a directory is needed", {"Lib", "lib/x.dll"}, "d", {}},
      {"date with a slash", {"a"}, "2026/12", {}},
      {"date with dots", {"a"}, "..", {}},
      {"date with a colon", {"a"}, "12:00", {}},
      {"no files", {}, "d", {}},
      {"--delete of a shipped file", {"bin/a.dll"}, "d", {"BIN/a.dll"}},
      {"--delete climbing out", {"a"}, "d", {"../x.dll"}},
  };
  for (const Case& c : cases) {
    std::vector<ReleaseItem> items;
    for (const std::string& path : c.files) items.push_back({path, false, kEmptyHash});
    ReleaseOptions options;
    options.version = "2";
    options.date = c.date;
    options.baseUrl = kBase;
    options.deletePaths = c.deletes;
    ReleasePlan plan;
    std::string refusal;
    EXPECT_FALSE(PlanRelease(items, options, plan, refusal)) << c.why;
    EXPECT_FALSE(refusal.empty()) << c.why;
  }
}

TEST(ReleasePlan, RefusesAVersionNotAboveThePrevious) {
  ReleaseOptions options;
  options.date = "d";
  options.baseUrl = kBase;
  options.hasPrevious = true;
  options.previous.set_version("12");
  ReleasePlan plan;
  std::string refusal;
  for (const char* version : {"12", "11", "0012"}) {
    options.version = version;
    EXPECT_FALSE(PlanRelease({{"a", false, kEmptyHash}}, options, plan, refusal)) << version;
  }
  options.version = "13";
  EXPECT_TRUE(PlanRelease({{"a", false, kEmptyHash}}, options, plan, refusal)) << refusal;
}

TEST(Publisher, WritesTheManifestTheClientExpects) {
  TempDir work;
  work.Write("release/a.txt", "alpha");
  work.Write("release/sub/\xE4\xB8\xAD\xE6\x96\x87.dll", "zhongwen");
  work.Write("release/sub/\xE4\xB9\x97.txt", "jou");
  const Outcome outcome = PublishRelease(work, "5", "out", "", {"--reg", "**/*.dll"});
  ASSERT_EQ(outcome.code, 0) << outcome.err;

  PackageManifest expected;
  expected.set_version("5");
  expected.set_package_date("20261207");
  expected.set_type("force");
  expected.set_file_list({
      Entry("a.txt", "", "/files/1/a.txt", Md5Of("alpha"), "1", ""),
      Entry(std::string(kZhongwen936) + ".dll", "sub\\", "/files/1/sub/%E4%B8%AD%E6%96%87.dll", Md5Of("zhongwen"),
            "1", "reg"),
      Entry(std::string(kJou936) + ".txt", "sub\\", "/files/1/sub/%E4%B9%97.txt", Md5Of("jou"), "1", ""),
  });
  const PackageManifest manifest = ReadManifest(work, "out");
  EXPECT_EQ(manifest, expected);
  ExpectServedAsListed(work, "out", manifest);
  const std::string text = ReadBytes(work.path() / "out" / "package.json");
  EXPECT_EQ(text.find("\\u"), std::string::npos) << "names as CP936 bytes, never \\u escapes";
  EXPECT_NE(outcome.out.find("3 new"), std::string::npos) << outcome.out;
}

// The three-release road of one file each way, and what the client fetches.
TEST(Publisher, PerFileVerAcrossReleases) {
  TempDir work;
  work.Write("release/keep.txt", "k");
  work.Write("release/change.txt", "c1");
  work.Write("release/gone.txt", "g");
  work.Write("release/back.txt", "b");
  ASSERT_EQ(PublishRelease(work, "1", "r1").code, 0);
  const PackageManifest r1 = ReadManifest(work, "r1");
  EXPECT_EQ(Summary(r1), (std::vector<std::string>{"back.txt 1 ", "change.txt 1 ", "gone.txt 1 ", "keep.txt 1 "}));

  work.Write("release/change.txt", "c2");
  fs::remove(work.path() / "release" / "gone.txt");
  fs::remove(work.path() / "release" / "back.txt");
  const Outcome second = PublishRelease(work, "2", "r2", "r1");
  ASSERT_EQ(second.code, 0) << second.err;
  const PackageManifest r2 = ReadManifest(work, "r2");
  EXPECT_EQ(Summary(r2), (std::vector<std::string>{"back.txt 2 delete", "change.txt 2 ", "gone.txt 2 delete",
                                                   "keep.txt 1 "}));
  EXPECT_EQ(r2.file_list()[0].hash(), kEmptyHash);
  EXPECT_EQ(Fetched(r2, r1), (std::vector<std::string>{"back.txt", "change.txt", "gone.txt"}));
  ExpectServedAsListed(work, "r2", r2);

  work.Write("release/back.txt", "b");
  const Outcome third = PublishRelease(work, "3", "r3", "r2");
  ASSERT_EQ(third.code, 0) << third.err;
  const PackageManifest r3 = ReadManifest(work, "r3");
  EXPECT_EQ(Summary(r3), (std::vector<std::string>{"back.txt 3 ", "change.txt 2 ", "gone.txt 2 delete",
                                                   "keep.txt 1 "}));
  EXPECT_EQ(Fetched(r3, r2), std::vector<std::string>{"back.txt"});
  EXPECT_EQ(Fetched(r3, r1), (std::vector<std::string>{"back.txt", "change.txt", "gone.txt"}))
      << "a client that skipped release 2";
  ExpectServedAsListed(work, "r3", r3);
}

TEST(Publisher, DeleteAndRegOptions) {
  TempDir work;
  work.Write("release/com/server.dll", "com");
  work.Write("release/com/readme.txt", "r");
  const Outcome first =
      PublishRelease(work, "1", "r1", "", {"--reg", "com/*.dll", "--delete", "old\\legacy.dll", "--delete", "x.ocx"});
  ASSERT_EQ(first.code, 0) << first.err;
  const PackageManifest r1 = ReadManifest(work, "r1");
  EXPECT_EQ(Summary(r1), (std::vector<std::string>{"com\\readme.txt 1 ", "com\\server.dll 1 reg",
                                                   "old\\legacy.dll 1 delete", "x.ocx 1 delete"}));
  ExpectServedAsListed(work, "r1", r1);

  // Registration dropped from the file: the entry changes so clients see it;
  // a --delete given again keeps its entry as it was.
  const Outcome second = PublishRelease(work, "2", "r2", "r1", {"--delete", "x.ocx"});
  ASSERT_EQ(second.code, 0) << second.err;
  EXPECT_EQ(Summary(ReadManifest(work, "r2")),
            (std::vector<std::string>{"com\\readme.txt 1 ", "com\\server.dll 2 ", "old\\legacy.dll 1 delete",
                                      "x.ocx 1 delete"}));
}

TEST(Publisher, FullReleaseCopiesTheInstaller) {
  TempDir work;
  work.Write("release/a.txt", "a");
  work.Write("setup/\xE5\xAE\x89\xE8\xA3\x85 1.exe", "MZ installer");
  const Outcome outcome =
      PublishRelease(work, "9", "out", "", {"--installer", work.Text("setup/\xE5\xAE\x89\xE8\xA3\x85 1.exe")});
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  const PackageManifest manifest = ReadManifest(work, "out");
  EXPECT_TRUE(manifest.full_update());
  EXPECT_EQ(manifest.install_package_url(), std::string(kBase) + "/installer/%E5%AE%89%E8%A3%85%201.exe");
  EXPECT_EQ(ReadBytes(work.path() / "out" / "installer" / PathFromUtf8("\xE5\xAE\x89\xE8\xA3\x85 1.exe")),
            "MZ installer");
  EXPECT_EQ(Summary(manifest), std::vector<std::string>{"a.txt 1 "}) << "the next release needs the file list";
}

TEST(Publisher, RefusalsWriteNothing) {
  TempDir work;
  work.Write("release/a.txt", "a");
  ASSERT_EQ(PublishRelease(work, "4", "r1").code, 0);

  Outcome outcome = PublishRelease(work, "4", "r2", "r1");
  EXPECT_EQ(outcome.code, 3) << "same version as the previous";
  EXPECT_NE(outcome.err.find("--version"), std::string::npos) << outcome.err;

  outcome = Publish({"--release-dir", work.Text("release"), "--version", "5", "--date", "a/../b", "--base-url", kBase,
                     "--out", work.Text("r2")});
  EXPECT_EQ(outcome.code, 3) << "unsafe date";

  work.Write("release/sub/\xED\x95\x9C.dll", "korean");
  outcome = PublishRelease(work, "5", "r2", "r1");
  EXPECT_EQ(outcome.code, 3);
  EXPECT_NE(outcome.err.find("sub/\xED\x95\x9C.dll"), std::string::npos) << "names the file: " << outcome.err;
  EXPECT_TRUE(NothingWritten(work, "r2"));

  EXPECT_EQ(PublishRelease(work, "5", "r1").code, 2) << "never overwrites a published release";
  EXPECT_EQ(Publish({"--version", "5"}).code, 2);
  EXPECT_EQ(Publish({"--release-dir", work.Text("release"), "--version", "1.5", "--date", "d", "--base-url", kBase,
                     "--out", work.Text("r3")})
                .code,
            2);
  EXPECT_TRUE(NothingWritten(work, "r3"));
}

#ifndef _WIN32
TEST(Publisher, RefusesSymlinksThatLeaveTheRelease) {
  TempDir work;
  work.Write("release/a.txt", "a");
  work.Write("secret.txt", "s");
  fs::create_symlink(work.path() / "secret.txt", work.path() / "release" / "link.txt");
  EXPECT_EQ(PublishRelease(work, "1", "out").code, 3);
  EXPECT_TRUE(NothingWritten(work, "out"));
}
#endif

// The client matches entries by name alone (the first of that name in its
// manifest), so two files of one name in different directories must move
// together, or a change to the second is compared against the first's ver.
TEST(Publisher, FilesSharingANameStayFetchable) {
  TempDir work;
  work.Write("release/a/x.dll", "a1");
  work.Write("release/b/x.dll", "b1");
  ASSERT_EQ(PublishRelease(work, "1", "r1").code, 0);
  work.Write("release/a/x.dll", "a2");
  ASSERT_EQ(PublishRelease(work, "2", "r2", "r1").code, 0);
  work.Write("release/b/x.dll", "b2");
  ASSERT_EQ(PublishRelease(work, "3", "r3", "r2").code, 0);
  const PackageManifest r2 = ReadManifest(work, "r2"), r3 = ReadManifest(work, "r3");
  EXPECT_EQ(Fetched(r3, r2), (std::vector<std::string>{"a\\x.dll", "b\\x.dll"}));
  EXPECT_EQ(Fetched(r3, ReadManifest(work, "r1")), (std::vector<std::string>{"a\\x.dll", "b\\x.dll"}));
  ASSERT_EQ(PublishRelease(work, "4", "r4", "r3").code, 0);
  EXPECT_TRUE(Fetched(ReadManifest(work, "r4"), r3).empty()) << "nothing changed, nothing fetched";
}

// On Windows a.dll and A.dll are one file: the rename must not be followed
// by a "delete" of the old spelling, which would delete the new file.
TEST(Publisher, RenameByCaseIsNotADeletion) {
  TempDir work;
  work.Write("release/a.dll", "1");
  ASSERT_EQ(PublishRelease(work, "1", "r1").code, 0);
  // Wine: a rename that changes only the case keeps the old spelling on disk.
  fs::remove(work.path() / "release" / "a.dll");
  work.Write("release/A.dll", "1");
  ASSERT_EQ(PublishRelease(work, "2", "r2", "r1").code, 0);
  EXPECT_EQ(Summary(ReadManifest(work, "r2")), std::vector<std::string>{"A.dll 2 "});
}

TEST(Publisher, OneChangedFileOfAThousandIsTheOneFetched) {
  TempDir work;
  for (int i = 0; i < 1000; ++i) work.Write("release/d" + std::to_string(i % 10) + "/f" + std::to_string(i), "x");
  ASSERT_EQ(PublishRelease(work, "1", "r1").code, 0);
  work.Write("release/d7/f567", "changed");
  const Outcome second = PublishRelease(work, "2", "r2", "r1");
  ASSERT_EQ(second.code, 0) << second.err;
  const PackageManifest r1 = ReadManifest(work, "r1"), r2 = ReadManifest(work, "r2");
  ASSERT_EQ(r2.file_list().size(), 1000u);
  int raised = 0;
  for (const PackageFileEntry& entry : r2.file_list()) raised += entry.ver() != "1";
  EXPECT_EQ(raised, 1);
  EXPECT_EQ(Fetched(r2, r1), std::vector<std::string>{"d7\\f567"});
  EXPECT_NE(second.out.find("1 changed, 999 same, 0 deleted"), std::string::npos) << second.out;
}

}  // namespace
