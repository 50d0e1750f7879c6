// zq_publish turns a release directory into what the client downloads. A
// fault here ships a manifest the client misreads (a name, a 0x5C trail byte),
// a ver that makes clients skip a changed file or fetch everything, or a
// half-written release on the server, or a signature that clients refuse (or
// a secret key that others could read); these tests read the output back with
// the client's own parser, choice of files to fetch and trust rules.

#include "publisher/publisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/publisher/publisher_test_support.h"
#include "publisher/cp936_text.h"
#include "publisher/manifest_writer.h"
#include "publisher/private_file.h"
#include "publisher/publish_rules.h"
#include "publisher/published_urls.h"
#include "publisher/release_keys.h"
#include "publisher/release_plan.h"
#include "publisher/release_tree.h"
#include "update/proof/expiry_time.h"
#include "update/incremental_update.h"
#include "update/proof/md5_checksum.h"
#include "update/manifest/package_manifest.h"
#include "update/proof/release_signature.h"
#include "update/proof/release_trust.h"
#include "update/manifest/safe_path.h"
#include "update/proof/sha256_digest.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#endif

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

std::string ReadBytes(const fs::path& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes)) << path.string();
  return bytes;
}

using TempDir = PublisherScratch;

Outcome Publish(const std::vector<std::string>& arguments) {
  return RunZqPublish(arguments);
}

// One release of the tree under work/release into work/<outName>.
Outcome PublishRelease(const TempDir& work, const std::string& version, const std::string& outName,
                       const std::string& previousOut = "", std::vector<std::string> extra = {}) {
  std::vector<std::string> arguments = {"--release-dir", work.Text("release"), "--version",  version,
                                        "--date",        "20261207",           "--base-url", std::string(kBase) + "/",
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
  EXPECT_EQ(PackageManifestParser::Parse(ReadBytes(work.path() / PathFromUtf8(outName) / "package.json"), manifest), 0);
  return manifest;
}

PackageFileEntry Entry(const std::string& name, const std::string& localPath, const std::string& urlPath,
                       const std::string& hash, const std::string& ver, const std::string& act,
                       const std::string& sha256 = "") {
  PackageFileEntry entry;
  entry.set_sha256(sha256);
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
  for (const PackageFileEntry& entry : EntriesToFetch(remote, local))
    names.push_back(entry.local_path() + entry.name());
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
    const std::string served = ReadBytes(work.path() / PathFromUtf8(outName) / PathFromUtf8(decoded));
    EXPECT_EQ(Md5Of(served), entry.hash()) << decoded;
    EXPECT_EQ(Sha256HexOfBytes(served), entry.sha256()) << decoded;
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

std::string EmptySha256() {
  return Sha256HexOfBytes(std::string());
}

// Leaves bytes at path where its owner alone can read them, by the rule the
// publisher checks (the creation under test elsewhere serves here as a tool).
void WritePrivate(const fs::path& path, const std::string& bytes) {
  std::string problem;
  ASSERT_EQ(CreateNewFile(path, bytes, true, problem), 0) << problem;
}

// What a careless copy does: the key readable by every account.
void ExposeToEveryone(const fs::path& path) {
#ifdef _WIN32
  // Wine: the DACL becomes Unix mode bits (o+rx here), and the DACL read back
  // is made from those bits again, Everyone's entry included.
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old,
                                  nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof everyone;
  ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
  EXPLICIT_ACCESS_W grant = {};
  grant.grfAccessPermissions = GENERIC_READ;
  grant.grfAccessMode = GRANT_ACCESS;
  grant.grfInheritance = NO_INHERITANCE;
  grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  grant.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  grant.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
  PACL widened = nullptr;
  EXPECT_EQ(SetEntriesInAclW(1, &grant, old, &widened), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, widened, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(widened);
  LocalFree(descriptor);
#else
  fs::permissions(path,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
#endif
}

// A new key pair as work/<prefix>.key and .pub; the public key's text.
std::string MakeKeys(const TempDir& work, const std::string& prefix) {
  const Outcome made = Publish({"keygen", "--out", work.Text(prefix)});
  EXPECT_EQ(made.code, 0) << made.err;
  std::string line = ReadBytes(work.path() / PathFromUtf8(prefix + ".pub"));
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

TEST(ManifestWriter, ParserReadsEveryFieldBackByteForByte) {
  PackageManifest manifest;
  manifest.set_version("7");
  manifest.set_package_date("2026-12\"07\"");
  manifest.set_full_update(true);
  manifest.set_type("force");
  manifest.set_install_package_url("http://h/a\\b?x=\x01\x1F");
  manifest.set_issued("2026-12-07T10:00:00Z");
  // Each delta form under its own key: a labelled patch read back as a
  // plain one would be fetched by clients that cannot apply it.
  PackageFileEntry forms = Entry("f.dll", "", "/f", "CD", "4", "");
  forms.set_deltas({{"A1", "s1", "http://h/d.zst", 9, "t1", 20, DeltaFormat::kZstd}});
  forms.set_patches({{"A1", "s1", "http://h/p", 8, "t2", 0, DeltaFormat::kPatch}});
  forms.set_labelled_patches({{"A1", "s1", "http://h/l", 7, "t3", 0, DeltaFormat::kLabelledPatch},
                              {"B2", "s2", "http://h/m", 6, "t4", 0, DeltaFormat::kLabelledPatch}});
  // A trail byte 0x5C at the end of a string, and one before a quote.
  manifest.set_file_list({Entry(std::string(kJou936), "sub\\" + std::string(kJou936) + "\\", "/x", "AB", "3", "reg"),
                          Entry("\"q\"" + std::string(kJou936) + "\"", "", "/y", "", "", ""), forms});
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
      {"*.dll", "a.dll", true},
      {"*.dll", "bin/a.dll", false},
      {"**/*.dll", "bin/x/a.dll", true},
      {"**/*.dll", "a.dll", true},
      {"bin/*", "bin/x/a.dll", false},
      {"bin/**", "bin/x/a.dll", true},
      {"?.dll", "\xE4\xB8\xAD.dll", true},
      {"a?c", "a/c", false},
      {"*.DLL", "a.dll", false},
      {"com/server.dll", "com/server.dll", true},
      {"", "a", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchesGlob(c.pattern, c.path), c.matches) << c.pattern << " " << c.path;
}

TEST(PublishRules, UrlsEncodeEverythingButUnreservedBytes) {
  EXPECT_EQ(PercentEncode("sub dir/\xE4\xB8\xAD.dll~_-", true), "sub%20dir/%E4%B8%AD.dll~_-");
  EXPECT_EQ(PercentEncode("a/b#?%", false), "a%2Fb%23%3F%25");
}

// Each new text of a version is issued strictly later than the one it
// replaces, whatever the clock says, or a client that took the newer text
// cannot tell the older from it.
TEST(PublishRules, IssueTimeFollowsThePreviousText) {
  const std::int64_t now = 1796640000;  // 2026-12-07T10:40:00Z
  const struct {
    std::string previous;
    const char* issued;
  } cases[] = {
      {"", "2026-12-07T10:40:00Z"},
      {"2026-12-07T10:40:00Z", "2026-12-07T10:40:01Z"},  // within one second
      {"2026-12-07T11:00:00Z", "2026-12-07T11:00:01Z"},  // the clock set back
      {"2026-12-07 10:40:00", "untouched"},
  };
  for (const auto& c : cases) {
    std::string issued = "untouched";
    IssueTime(now, c.previous, issued);
    EXPECT_EQ(issued, c.issued) << c.previous;
  }
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

// The program is the updater: a release whose "delete" entry would take it
// from every PC is refused, however that entry came about.
TEST(ReleasePlan, NeverDeletesTheProgram) {
  const std::string md5 = Md5Of("x");
  const struct {
    const char* why;
    std::vector<std::string> files, deletes;
    std::vector<PackageFileEntry> previous;
    bool allowed;
  } cases[] = {
      {"left out", {"a"}, {}, {Entry("zenquilostudent.exe", "", "/p", md5, "1", "")}, false},
      {"--delete in other letters", {"a"}, {"ZENQUILOSTUDENT.EXE"}, {}, false},
      {"deleted before, still gone",
       {"a"},
       {},
       {Entry("ZenquiloStudent.exe", "", "/p", kEmptyHash, "2", "delete")},
       false},
      {"shipped", {"a", "ZenquiloStudent.exe"}, {}, {Entry("ZenquiloStudent.exe", "", "/p", md5, "1", "")}, true},
      {"never had it, nor the previous release", {"a"}, {}, {Entry("a", "", "/a", md5, "1", "")}, true},
  };
  for (const auto& c : cases) {
    std::vector<ReleaseItem> items;
    for (const std::string& path : c.files) items.push_back({path, false, md5, Sha256HexOfBytes("x"), 1});
    ReleaseOptions options;
    options.version = "2";
    options.date = "d";
    options.baseUrl = kBase;
    options.deletePaths = c.deletes;
    options.hasPrevious = true;
    options.previous.set_version("1");
    options.previous.set_file_list(c.previous);
    ReleasePlan plan;
    std::string refusal;
    EXPECT_EQ(PlanRelease(items, options, plan, refusal), c.allowed) << c.why << ": " << refusal;
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
  std::vector<PackageFileEntry> entries = {
      Entry("a.txt", "", "/files/1/a.txt", Md5Of("alpha"), "1", "", Sha256HexOfBytes("alpha")),
      Entry(std::string(kZhongwen936) + ".dll", "sub\\", "/files/1/sub/%E4%B8%AD%E6%96%87.dll", Md5Of("zhongwen"), "1",
            "reg", Sha256HexOfBytes("zhongwen")),
      Entry(std::string(kJou936) + ".txt", "sub\\", "/files/1/sub/%E4%B9%97.txt", Md5Of("jou"), "1", "",
            Sha256HexOfBytes("jou")),
  };
  // Each file's byte count, which bounds what a client writes of it.
  entries[0].set_size(5);
  entries[1].set_size(8);
  entries[2].set_size(3);
  expected.set_file_list(entries);
  const PackageManifest manifest = ReadManifest(work, "out");
  EXPECT_EQ(manifest, expected);
  ExpectServedAsListed(work, "out", manifest);
  const std::string text = ReadBytes(work.path() / "out" / "package.json");
  EXPECT_EQ(text.find("\\u"), std::string::npos) << "names as CP936 bytes, never \\u escapes";
  EXPECT_NE(outcome.out.find("3 new"), std::string::npos) << outcome.out;
}

// The three-release journey of one file each way, and what the client fetches.
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
  EXPECT_EQ(Summary(r2),
            (std::vector<std::string>{"back.txt 2 delete", "change.txt 2 ", "gone.txt 2 delete", "keep.txt 1 "}));
  EXPECT_EQ(r2.file_list()[0].hash(), kEmptyHash);
  EXPECT_EQ(Fetched(r2, r1), std::vector<std::string>{"change.txt"}) << "a file to delete is never fetched";
  ExpectServedAsListed(work, "r2", r2);

  work.Write("release/back.txt", "b");
  const Outcome third = PublishRelease(work, "3", "r3", "r2");
  ASSERT_EQ(third.code, 0) << third.err;
  const PackageManifest r3 = ReadManifest(work, "r3");
  EXPECT_EQ(Summary(r3),
            (std::vector<std::string>{"back.txt 3 ", "change.txt 2 ", "gone.txt 2 delete", "keep.txt 1 "}));
  EXPECT_EQ(Fetched(r3, r2), std::vector<std::string>{"back.txt"});
  EXPECT_EQ(Fetched(r3, r1), (std::vector<std::string>{"back.txt", "change.txt"})) << "a client that skipped release 2";
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
  EXPECT_EQ(manifest.install_package_sha256(), Sha256HexOfBytes("MZ installer"));
  EXPECT_EQ(manifest.install_package_size(), 12);
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

// Two lines of releases under one base URL, the second started afresh: a
// release that knows both would serve the second's bytes under the URL at
// which the first published its own.
TEST(Publisher, RefusesOtherBytesUnderAPublishedUrl) {
  TempDir work;
  work.Write("release/a.txt", "a, first line");
  ASSERT_EQ(PublishRelease(work, "1", "r1").code, 0);
  work.Write("release/a.txt", "a, second line");
  ASSERT_EQ(PublishRelease(work, "2", "r2").code, 0);
  const Outcome outcome = PublishRelease(work, "3", "r3", "r2", {"--previous", work.Text("r1/package.json")});
  EXPECT_EQ(outcome.code, 3);
  EXPECT_NE(outcome.err.find(std::string(kBase) + "/files/1/a.txt"), std::string::npos) << outcome.err;
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

// Without digests the text is exactly what clients were served before them;
// with them each key sits where the client's parser and a reader expect it.
TEST(ManifestWriter, DigestKeysOnlyWhenThereAreDigests) {
  struct Case {
    const char* why;
    std::string sha256;
    std::string installerSha256;
    std::string expected;
  };
  const std::string head = "{\n  \"version\": \"2\",\n  \"package_date\": \"d\",\n  \"full_update\": true,\n"
                           "  \"type\": \"force\",\n  \"install_package_url\": \"http://h/s.exe\",\n";
  const std::string entry = "    {\"name\": \"a\", \"remote_url\": \"http://h/a\", \"hash\": \"AB\", "
                            "\"local_path\": \"\", \"ver\": \"1\", \"act\": \"\"";
  const Case cases[] = {
      {"no digests: the format as it always was", "", "", head + "  \"file_list\": [\n" + entry + "}\n  ]\n}\n"},
      {"both digests", "ef", "cd",
       head + "  \"install_package_sha256\": \"cd\",\n  \"file_list\": [\n" + entry +
           ", \"sha256\": \"ef\"}\n  ]\n}\n"},
  };
  for (const Case& c : cases) {
    PackageManifest manifest;
    manifest.set_version("2");
    manifest.set_package_date("d");
    manifest.set_full_update(true);
    manifest.set_type("force");
    manifest.set_install_package_url("http://h/s.exe");
    manifest.set_install_package_sha256(c.installerSha256);
    PackageFileEntry file = Entry("a", "", "", "AB", "1", "", c.sha256);
    file.set_remote_url("http://h/a");
    manifest.set_file_list({file});
    EXPECT_EQ(WriteManifestText(manifest), c.expected) << c.why;
  }
}

// A file keeps its ver only while every digest the previous entry has agrees:
// an MD5 collision must not keep clients on the old bytes.
TEST(ReleasePlan, VerFollowsBothDigests) {
  const std::string md5 = Md5Of("x"), sha = Sha256HexOfBytes("x");
  struct Case {
    const char* why;
    std::string previousMd5;
    std::string previousSha256;
    std::string ver;
    EntryStatus status;
  };
  const Case cases[] = {
      {"a release from before the digests", md5, "", "3", EntryStatus::kSame},
      {"both agree", md5, sha, "3", EntryStatus::kSame},
      {"same MD5, other SHA-256", md5, Sha256HexOfBytes("y"), "4", EntryStatus::kChanged},
      {"other MD5", Md5Of("y"), sha, "4", EntryStatus::kChanged},
  };
  for (const Case& c : cases) {
    ReleaseOptions options;
    options.version = "2";
    options.date = "d";
    options.baseUrl = kBase;
    options.hasPrevious = true;
    options.previous.set_version("1");
    options.previous.set_file_list({Entry("a", "", "/a", c.previousMd5, "3", "", c.previousSha256)});
    ReleasePlan plan;
    std::string refusal;
    ASSERT_TRUE(PlanRelease({{"a", false, md5, sha}}, options, plan, refusal)) << refusal;
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_EQ(plan.files[0].ver, c.ver) << c.why;
    EXPECT_EQ(plan.files[0].status, c.status) << c.why;
    EXPECT_EQ(plan.manifest.file_list()[0].sha256(), sha) << c.why;
  }
}

// Caches keep files, compressed copies and deltas a year by URL: other bytes
// under an earlier release's URL refuse a release, by whichever digest both
// manifests name; the same bytes again (a re-publish, a rollback) do not.
TEST(PublishedUrls, AnEarlierUrlKeepsItsBytes) {
  const auto entry = [](const std::string& file, const std::string& copy, const std::string& deltaBytes,
                        const std::string& sha256Of, const std::string& labelledBytes = "l") {
    PackageFileEntry made = Entry("a", "", "/files/1/a", Md5Of(file), "1", "", Sha256HexOfBytes(sha256Of));
    made.set_compressed({std::string(kBase) + "/compressed/1/a.zst", 9, Sha256HexOfBytes(copy)});
    FileDelta delta;
    delta.url = std::string(kBase) + "/deltas/1/a.from-X.zst";
    delta.sha256 = Sha256HexOfBytes(deltaBytes);
    made.set_deltas({delta});
    delta.url = std::string(kBase) + "/deltas/1/a.from-X.zqpatch";
    delta.sha256 = Sha256HexOfBytes(labelledBytes);
    delta.format = DeltaFormat::kLabelledPatch;
    made.set_labelled_patches({delta});
    return made;
  };
  const PackageFileEntry before = entry("a", "c", "d", "a");
  const struct {
    const char* why;
    PackageFileEntry earlier, release;
    bool keeps;
  } cases[] = {
      {"the same bytes again", before, before, true},
      {"an earlier release without SHA-256", Entry("a", "", "/files/1/a", Md5Of("a"), "1", ""), before, true},
      {"the file: same MD5, other SHA-256", before, entry("a", "c", "d", "b"), false},
      {"the compressed copy", before, entry("a", "C", "d", "a"), false},
      {"a delta", before, entry("a", "c", "D", "a"), false},
      {"a labelled patch", before, entry("a", "c", "d", "a", "L"), false},
  };
  for (const auto& c : cases) {
    PackageManifest earlier, release;
    earlier.set_version("1");
    earlier.set_file_list({c.earlier});
    release.set_file_list({c.release});
    std::string refusal;
    EXPECT_EQ(KeepsEarlierUrls(release, {earlier}, refusal), c.keeps) << c.why << ": " << refusal;
  }
}

// Older clients know six keys per entry; the digests must change none of
// what they read, with the parser they share with today's client.
TEST(Publisher, DigestKeysLeaveTheOldFieldsAsTheyWere) {
  TempDir work;
  work.Write("release/sub/\xE4\xB9\x97.dll", "jou");
  work.Write("release/gone.txt", "g");
  work.Write("setup.exe", "MZ");
  ASSERT_EQ(PublishRelease(work, "1", "r1").code, 0);
  fs::remove(work.path() / "release" / "gone.txt");
  const Outcome second = PublishRelease(work, "2", "r2", "r1", {"--installer", work.Text("setup.exe")});
  ASSERT_EQ(second.code, 0) << second.err;

  const PackageManifest withKeys = ReadManifest(work, "r2");
  EXPECT_EQ(withKeys.install_package_sha256(), Sha256HexOfBytes("MZ"));
  ASSERT_EQ(withKeys.file_list().size(), 2u);
  EXPECT_EQ(withKeys.file_list()[0].sha256(), EmptySha256()) << "the tombstone of gone.txt";
  PackageManifest oldFields = withKeys;
  oldFields.set_install_package_sha256("");
  std::vector<PackageFileEntry> entries = oldFields.file_list();
  for (PackageFileEntry& entry : entries) entry.set_sha256("");
  oldFields.set_file_list(entries);
  PackageManifest withoutKeys;
  ASSERT_EQ(PackageManifestParser::Parse(WriteManifestText(oldFields), withoutKeys), 0);
  EXPECT_EQ(withoutKeys, oldFields) << "every other field, top-level and per entry, read alike";
}

// The manifest names both digests before a byte is copied: a file or an
// installer that differs from them while it is copied must never be served.
TEST(ReleaseTree, RefusesACopyThatDiffersFromTheManifest) {
  TempDir work;
  work.Write("release/a.txt", "a");
  work.Write("setup.exe", "MZ");
  std::vector<ReleaseItem> items;
  std::string message;
  ASSERT_EQ(WalkRelease(work.path() / "release", items, message), 0) << message;
  ReleaseOptions options;
  options.version = "1";
  options.date = "d";
  options.baseUrl = kBase;
  options.installerName = "setup.exe";
  options.installerSha256 = Sha256HexOfBytes("MZ");
  ReleasePlan planned;
  ASSERT_TRUE(PlanRelease(items, options, planned, message)) << message;

  struct Case {
    const char* why;
    void (*spoil)(ReleasePlan&);
  };
  const Case cases[] = {
      {"MD5", [](ReleasePlan& plan) { plan.files[0].hash = Md5Of("b"); }},
      {"SHA-256", [](ReleasePlan& plan) { plan.files[0].sha256 = Sha256HexOfBytes("b"); }},
      {"installer", [](ReleasePlan& plan) { plan.manifest.set_install_package_sha256(Sha256HexOfBytes("b")); }},
  };
  for (const Case& c : cases) {
    ReleasePlan plan = planned;
    c.spoil(plan);
    EXPECT_EQ(WriteRelease(work.path() / "release", plan, "{}", "sig\n", work.path() / "setup.exe", work.path() / "out",
                           message),
              4)
        << c.why;
    EXPECT_TRUE(NothingWritten(work, "out")) << c.why;
  }
  EXPECT_EQ(WriteRelease(work.path() / "release", planned, "{}", "sig\n", work.path() / "setup.exe",
                         work.path() / "out", message),
            0)
      << message;
  EXPECT_EQ(ReadBytes(work.path() / "out" / "package.json.sig"), "sig\n");
}

// Catches an expiry in local time, in another form than clients read, one
// not covered by the signature, and one on an unsigned release (which only
// looks like a protection).
TEST(Signing, ExpiresWritesASignedUtcTimeDaysAhead) {
  TempDir work;
  const std::string publicKey = MakeKeys(work, "release");
  work.Write("release/a.txt", "a");
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  const Outcome outcome =
      PublishRelease(work, "1", "out", "", {"--sign-key", work.Text("release.key"), "--expires", "30"});
  const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  const std::string manifest = ReadBytes(work.path() / "out" / "package.json");
  const PackageManifest read = ReadManifest(work, "out");
  std::int64_t expiry = 0, issued = 0;
  ASSERT_TRUE(ParseExpiryTime(read.expires(), expiry)) << read.expires();
  EXPECT_GE(expiry, before + 30 * 86400);
  EXPECT_LE(expiry, after + 30 * 86400);
  ASSERT_TRUE(ParseExpiryTime(read.issued(), issued)) << "a signed text names when it was issued";
  EXPECT_GE(issued, before);
  EXPECT_LE(issued, after);
  const ReleaseTrust trust = ReleaseTrust::FromKeyText(publicKey);
  EXPECT_TRUE(trust.AcceptsManifest(manifest, ReadBytes(work.path() / "out" / "package.json.sig")));
  EXPECT_TRUE(trust.AcceptsExpiry(read.expires(), expiry - 1));
  EXPECT_FALSE(trust.AcceptsExpiry(read.expires(), expiry));

  const struct {
    std::vector<std::string> extra;
    const char* says;
  } refused[] = {
      {{"--expires", "30"}, "--expires needs --sign-key"},
      {{"--sign-key", work.Text("release.key"), "--expires", "0"}, "not a number of days"},
      {{"--sign-key", work.Text("release.key"), "--expires", "3651"}, "not a number of days"},
      {{"--sign-key", work.Text("release.key"), "--expires", "-5"}, "not a number of days"},
  };
  for (const auto& r : refused) {
    const Outcome no = PublishRelease(work, "2", "out-refused", "", r.extra);
    EXPECT_EQ(no.code, 2) << r.says;
    EXPECT_NE(no.err.find(r.says), std::string::npos) << no.err;
    EXPECT_FALSE(fs::exists(work.path() / "out-refused")) << r.says;
  }
}

TEST(Signing, ASignedReleaseIsWhatAClientWithTheKeyAccepts) {
  TempDir work;
  const std::string publicKey = MakeKeys(work, "release");
  work.Write("release/a.txt", "a");
  const Outcome outcome = PublishRelease(work, "1", "out", "", {"--sign-key", work.Text("release.key")});
  ASSERT_EQ(outcome.code, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("signed with key " + publicKey + "\n"), std::string::npos) << outcome.out;

  std::string manifest = ReadBytes(work.path() / "out" / "package.json");
  const std::string signature = ReadBytes(work.path() / "out" / "package.json.sig");
  const ReleaseTrust trust = ReleaseTrust::FromKeyText(publicKey);
  EXPECT_TRUE(trust.AcceptsManifest(manifest, signature));
  manifest[manifest.size() / 2] ^= 0x01;
  EXPECT_FALSE(trust.AcceptsManifest(manifest, signature)) << "one byte changed";

  ASSERT_EQ(PublishRelease(work, "2", "unsigned", "out").code, 0);
  EXPECT_FALSE(fs::exists(work.path() / "unsigned" / "package.json.sig"));
  EXPECT_EQ(ReadBytes(work.path() / "unsigned" / "package.json").find("issued"), std::string::npos)
      << "an unsigned text stays as it always was";
}

TEST(Keygen, MakesAPairThatSignsAndNeverOverwrites) {
  TempDir work;
  const std::string publicKey = MakeKeys(work, "k");
  const std::string secretFile = ReadBytes(work.path() / "k.key");
  ReleaseSecretKey secret;
  ASSERT_TRUE(ParseSecretKeyFile(secretFile, secret));
  EXPECT_EQ(ReadBytes(work.path() / "k.pub"), FormatPublicKey(PublicKeyOf(secret)) + "\n")
      << "the .pub is the .key's public half";
  EXPECT_TRUE(ReleaseTrust::FromKeyText(publicKey).AcceptsManifest("m", FormatSignatureFile(SignRelease("m", secret))));
#ifndef _WIN32
  EXPECT_EQ(fs::status(work.path() / "k.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  SigningKey loaded;
  std::string problem;
  EXPECT_TRUE(LoadSigningKey(work.path() / "k.key", loaded, problem)) << "keygen's own file passes: " << problem;

  Outcome again = Publish({"keygen", "--out", work.Text("k")});
  EXPECT_EQ(again.code, 2);
  EXPECT_EQ(ReadBytes(work.path() / "k.key"), secretFile) << "the key was overwritten";
  work.Write("lone.pub", "x");
  again = Publish({"keygen", "--out", work.Text("lone")});
  EXPECT_EQ(again.code, 2) << "a .pub in the way";
  EXPECT_FALSE(fs::exists(work.path() / "lone.key")) << "half a pair left behind";
  EXPECT_EQ(Publish({"keygen"}).code, 2);
  EXPECT_EQ(Publish({"keygen", "--out", work.Text("x"), "--force"}).code, 2);
}

// Each refusal happens before anything is read from the release or written.
TEST(Signing, RefusesKeysThatAreMissingMalformedOrReadableByOthers) {
  TempDir work;
  MakeKeys(work, "good");
  work.Write("release/a.txt", "a");
  const fs::path exposed = work.path() / "exposed.key";
  WritePrivate(exposed, ReadBytes(work.path() / "good.key"));
  ExposeToEveryone(exposed);
  WritePrivate(work.path() / "garbage.key", "ZQ-ED25519-SECRET-KEY\nnot base64\n");
  WritePrivate(work.path() / "huge.key", std::string(10000, 'A'));
  std::string halves = ReadBytes(work.path() / "good.key");
  halves[halves.size() - 10] = halves[halves.size() - 10] == 'A' ? 'B' : 'A';
  WritePrivate(work.path() / "halves.key", halves);
  WritePrivate(work.path() / "public.key", ReadBytes(work.path() / "good.pub"));
#ifdef _WIN32
  const char* const kExposed = "can be read by ";  // then the account, in the system's language
#else
  const char* const kExposed = "can be read or changed by others (mode 0644); run chmod 600";
#endif
  const char* const kNotAKey = "is not a release secret key file";
  struct Case {
    const char* file;
    const char* why;
    const char* says;
  };
  const Case cases[] = {
      {"missing.key", "no such file", "cannot be read"},
      {"exposed.key", "readable by everyone", kExposed},
      {"garbage.key", "not base64", kNotAKey},
      {"huge.key", "far larger than a key", "is far larger"},
      {"halves.key", "a public half that the seed does not make", kNotAKey},
      {"public.key", "the public key given for the secret one", kNotAKey},
  };
  for (const Case& c : cases) {
    const Outcome outcome = PublishRelease(work, "1", "out", "", {"--sign-key", work.Text(c.file)});
    EXPECT_EQ(outcome.code, 2) << c.why;
    EXPECT_NE(outcome.err.find(std::string("--sign-key \"") + work.Text(c.file) + "\" " + c.says), std::string::npos)
        << c.why << ": " << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << "one line: " << outcome.err;
    EXPECT_TRUE(NothingWritten(work, "out")) << c.why;
  }
#ifndef _WIN32
  // Group bits count as much as everyone's.
  fs::permissions(work.path() / "good.key", fs::perms::group_read, fs::perm_options::add);
  const Outcome group = PublishRelease(work, "1", "out", "", {"--sign-key", work.Text("good.key")});
  EXPECT_EQ(group.code, 2);
  EXPECT_NE(group.err.find("chmod 600"), std::string::npos) << group.err;
#endif
}

// Clients built with a key refuse a release that it did not sign; the
// operator hears of it before the release goes out.
TEST(Signing, WarnsWhenThePreviousReleaseWasSignedOtherwise) {
  TempDir work;
  MakeKeys(work, "a");
  MakeKeys(work, "b");
  work.Write("release/a.txt", "a");
  ASSERT_EQ(PublishRelease(work, "1", "r1", "", {"--sign-key", work.Text("a.key")}).code, 0);
  struct Case {
    const char* version;
    std::vector<std::string> extra;
    bool warned;
  };
  const Case cases[] = {
      {"2", {}, true},
      {"3", {"--sign-key", work.Text("b.key")}, true},
      {"4", {"--sign-key", work.Text("a.key")}, false},
  };
  for (const Case& c : cases) {
    const Outcome outcome = PublishRelease(work, c.version, std::string("r") + c.version, "r1", c.extra);
    ASSERT_EQ(outcome.code, 0) << outcome.err;
    EXPECT_EQ(outcome.err.find("warning") != std::string::npos, c.warned) << c.version << ": " << outcome.err;
  }
}

}  // namespace
