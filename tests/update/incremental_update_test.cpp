// The incremental update against our own HTTP server on 127.0.0.1, with real
// files in a scratch temp directory: the portable run with a recording
// reporter in both builds, and on Windows the update manager's own method with
// windows that record the messages it sends.

#include "update/incremental_update.h"

#include "tests/support/test_files.h"
#include "tests/server/test_http_server.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/sha256_digest.h"

#ifdef _WIN32
#include "platform/text.h"
#include "tests/support/recording_window_win.h"
#include "update/update_manager.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#endif

namespace {

namespace fs = std::filesystem;
using test_files::BypassProxies;
using test_files::NarrowPath;
using test_files::ReadFile;
using test_files::WriteFile;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Body(const std::string& seed) {
  std::string body;
  for (int i = 0; i < 300; ++i) body += seed + "\r\n\x1a" + std::to_string(i);
  return body;
}

PackageFileEntry Entry(const std::string& name, const std::string& ver, const std::string& localPath = "") {
  PackageFileEntry entry;
  entry.set_name(name);
  entry.set_ver(ver);
  entry.set_local_path(localPath);
  return entry;
}

PackageManifest Manifest(const std::vector<PackageFileEntry>& entries) {
  PackageManifest manifest;
  manifest.set_version("12");
  manifest.set_type("force");
  manifest.set_file_list(entries);
  return manifest;
}

class IncrementalUpdateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { BypassProxies(); }

  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    temp_ = NarrowPath(dir_) + static_cast<char>(fs::path::preferred_separator);
  }

  void TearDown() override { server_.Stop(); }

  // entry, served at "/files/<n>" with body; its hash is body's digest.
  PackageFileEntry Served(PackageFileEntry entry, const std::string& body) {
    const std::string path = "/files/" + std::to_string(++served_);
    server_.SetResource(path, body);
    entry.set_remote_url(server_.BaseUrl() + path);
    entry.set_hash(test_files::Md5Of(body));
    return entry;
  }

  int Run(const std::vector<PackageFileEntry>& remote, const std::vector<PackageFileEntry>& local = {},
          int parallel = 1) {
    IncrementalUpdateReporter reporter;
    reporter.progress = [this](int range, int position) {
      events_.push_back("progress " + std::to_string(range) + " " + std::to_string(position));
    };
    reporter.ready = [this] { events_.push_back("ready"); };
    reporter.failed = [this] { events_.push_back("failed"); };
    UpdateRules rules = Rules();
    rules.parallelDownloads = parallel;
    return RunIncrementalUpdateIn(Manifest(remote), Manifest(local), temp_, temp_, reporter, rules);
  }

  // The default retries, with pauses recorded instead of slept.
  UpdateRules Rules() {
    UpdateRules rules{trust_, RetryPolicy()};
    rules.retry.pause = [this](unsigned ms) { pauses_.push_back(ms); };
    if (rulesStall_ > 0) rules.retry.stallSeconds = rulesStall_;
    return rules;
  }

  std::vector<std::string> RequestedPaths() const {
    std::vector<std::string> paths;
    for (const test_http::RecordedRequest& request : server_.Requests()) paths.push_back(request.path);
    return paths;
  }

  fs::path Staged(const std::string& relative) const { return test_files::FromNarrowPath(temp_ + relative); }

  // Names of everything under the temp directory that is a partial download.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(dir_)) {
      const std::string name = item.path().filename().u8string();
      if (name.find(kPartialDownloadSuffix) != std::string::npos) found.push_back(name);
    }
    return found;
  }

  test_http::TestHttpServer server_;
  test_files::TempDirectory scratch_{"zq_incremental_"};
  const fs::path dir_ = scratch_.path();
  std::string temp_;
  int served_ = 0;
  std::vector<std::string> events_;
  std::vector<unsigned> pauses_;
  ReleaseTrust trust_ = ReleaseTrust::Unsigned();
  long rulesStall_ = 0;
};

using Events = std::vector<std::string>;

// Catches a progress message or a request for an empty or fully current list,
// and a run that never reports ready.
TEST_F(IncrementalUpdateTest, NothingToFetchIsReadyAtOnce) {
  EXPECT_EQ(Run({}), 1);
  EXPECT_EQ(events_, Events{"ready"});

  events_.clear();
  const std::vector<PackageFileEntry> remote = {Served(Entry("a.dll", "3"), "a"), Served(Entry("b.dll", "2"), "b"),
                                                Served(Entry("c.dll", "-1"), "c")};
  EXPECT_EQ(Run(remote, {Entry("a.dll", "3"), Entry("b.dll", "7")}), 1);
  EXPECT_EQ(events_, Events{"ready"});
  EXPECT_TRUE(server_.Requests().empty());
}

// Catches a wrong version rule for names the local manifest lacks, and a range
// that counts only the fetched entries.
TEST_F(IncrementalUpdateTest, MissingLocalNameCountsAsVersionZero) {
  const std::vector<PackageFileEntry> remote = {
      Served(Entry("zero.dll", "0"), "0"), Served(Entry("empty.dll", ""), "e"), Served(Entry("beta.dll", "beta"), "b"),
      Served(Entry("one.dll", "1"), "one")};
  EXPECT_EQ(Run(remote), 1);
  EXPECT_EQ(events_, (Events{"progress 4 1", "ready"}));
  EXPECT_EQ(RequestedPaths(), std::vector<std::string>{"/files/4"});
  EXPECT_EQ(ReadFile(Staged("one.dll")), "one");
  EXPECT_FALSE(fs::exists(Staged("zero.dll")));
}

// Catches positions that count skipped entries, a range other than the whole
// list, wrong bytes staged, and a partial download left behind.
TEST_F(IncrementalUpdateTest, ThreeNewerOfTenAreFetchedAndStaged) {
  std::vector<PackageFileEntry> remote;
  std::vector<PackageFileEntry> local;
  for (int i = 0; i < 10; ++i) {
    const std::string name = "f" + std::to_string(i) + ".dll";
    const bool newer = i == 2 || i == 5 || i == 9;
    remote.push_back(Served(Entry(name, newer ? "10" : "4"), Body(name)));
    local.push_back(Entry(name, "4"));
  }
  EXPECT_EQ(Run(remote, local), 1);
  EXPECT_EQ(events_, (Events{"progress 10 1", "progress 10 2", "progress 10 3", "ready"}));
  EXPECT_EQ(RequestedPaths(), (std::vector<std::string>{"/files/3", "/files/6", "/files/10"}));
  for (const char* name : {"f2.dll", "f5.dll", "f9.dll"}) EXPECT_EQ(ReadFile(Staged(name)), Body(name)) << name;
  EXPECT_FALSE(fs::exists(Staged("f0.dll")));
  EXPECT_TRUE(Leftovers().empty());
}

// Catches case-insensitive name matching (A.DLL must not find a.dll), and the
// last rather than the first of two local entries of one name.
TEST_F(IncrementalUpdateTest, NamesMatchExactlyAndTheFirstLocalEntryCounts) {
  const std::vector<PackageFileEntry> remote = {Served(Entry("A.DLL", "2"), "A"), Served(Entry("b.dll", "5"), "b")};
  EXPECT_EQ(Run(remote, {Entry("a.dll", "9"), Entry("b.dll", "4"), Entry("b.dll", "9")}), 1);
  EXPECT_EQ(events_, (Events{"progress 2 1", "progress 2 2", "ready"}));
  EXPECT_EQ(ReadFile(Staged("A.DLL")), "A");
}

// Catches files staged outside their sub-directory, or directories not made.
TEST_F(IncrementalUpdateTest, SubDirectoriesAreCreatedUnderTemp) {
  std::vector<PackageFileEntry> remote = {Served(Entry("x.dll", "1", "bin/plugins/"), "x"),
                                          Served(Entry("y.dat", "1", "data/"), "y")};
#ifdef _WIN32
  remote.push_back(Served(Entry("z.dll", "1", "lib\\deep\\"), "z"));
  // Code page 936 bytes: 中文\ and 组件.dll.
  remote.push_back(Served(Entry("\xD7\xE9\xBC\xFE.dll", "1", "\xD6\xD0\xCE\xC4\\"), "cn"));
  // A character whose second byte is 0x5C, the backslash's byte.
  remote.push_back(Served(Entry("\x95\x5C.dll", "1", "\x95\x5C\\"), "5c"));
#endif
  EXPECT_EQ(Run(remote), 1);
  EXPECT_EQ(ReadFile(dir_ / "bin" / "plugins" / "x.dll"), "x");
  EXPECT_EQ(ReadFile(dir_ / "data" / "y.dat"), "y");
#ifdef _WIN32
  EXPECT_EQ(ReadFile(dir_ / "lib" / "deep" / "z.dll"), "z");
  EXPECT_EQ(ReadFile(dir_ / L"\u4E2D\u6587" / L"\u7EC4\u4EF6.dll"), "cn");
  EXPECT_EQ(ReadFile(Staged("\x95\x5C\\\x95\x5C.dll")), "5c");
  EXPECT_EQ(NarrowToWide("\x95\x5C").size(), 1u);
#endif
  EXPECT_EQ(events_.back(), "ready");
}

// Catches a run that goes on after a mismatch, reports it as ready, leaves the
// bad file staged (or half-named) where a later finalisation would install it,
// or tries it more or less often, or with other pauses, than the policy says.
TEST_F(IncrementalUpdateTest, FirstMismatchStopsTheRun) {
  std::vector<PackageFileEntry> remote;
  for (int i = 0; i < 5; ++i) remote.push_back(Served(Entry("m" + std::to_string(i), "1"), Body("m")));
  remote[1].set_hash(test_files::Md5Of("something else"));
  EXPECT_EQ(Run(remote), -1);
  EXPECT_EQ(events_, (Events{"progress 5 1", "progress 5 2", "failed"}));
  EXPECT_EQ(RequestedPaths(), (std::vector<std::string>{"/files/1", "/files/2", "/files/2", "/files/2", "/files/2"}));
  EXPECT_EQ(pauses_, (std::vector<unsigned>{1000, 4000, 16000}));
  EXPECT_TRUE(fs::exists(Staged("m0")));
  EXPECT_FALSE(fs::exists(Staged("m1")));
  EXPECT_TRUE(Leftovers().empty());
}

// Each case: a file whose digest cannot be proved. Catches a digest compared
// without case, an empty hash taken as proof of a file never fetched, an error
// page or half a body staged, and an older staged file replaced or deleted.
TEST_F(IncrementalUpdateTest, UnprovedFilesFailAndKeepTheOlderStagedFile) {
  struct Case {
    const char* what;
    std::string fault;  // test-server fault tokens for the file, or empty
    bool lowerCaseHash;
    bool emptyHash;
    bool requested;
  };
  const Case cases[] = {
      {"lower-case hash", "", true, false, true},
      {"empty hash, nothing delivered", "404", false, true, false},
      {"404", "404", false, false, true},
      {"500", "500", false, false, true},
      {"cut half-way", "close-mid", false, false, true},
      {"empty body", "empty", false, false, true},
      {"redirect", "redirect=/files/1", false, false, true},
  };
  for (const Case& c : cases) {
    events_.clear();
    server_.ClearRequests();
    PackageFileEntry entry = Served(Entry("old.dll", "2", "sub/"), Body("new"));
    if (c.lowerCaseHash) entry.set_hash(Lower(entry.hash()));
    if (c.emptyHash) entry.set_hash("");
    if (!c.fault.empty()) {
      test_http::ResponsePlan plan;
      ASSERT_TRUE(test_http::ParseFaultTokens(c.fault, &plan));
      server_.SetFault("/files/" + std::to_string(served_), plan);
    }
    fs::create_directories(dir_ / "sub");
    WriteFile(dir_ / "sub" / "old.dll", "older staged file");

    EXPECT_EQ(Run({entry}), -1) << c.what;
    EXPECT_EQ(events_, (Events{"progress 1 1", "failed"})) << c.what;
    EXPECT_EQ(server_.RequestCount(), c.requested ? 4u : 0u) << c.what << ": tried once and three times again";
    EXPECT_EQ(ReadFile(dir_ / "sub" / "old.dll"), "older staged file") << c.what;
    EXPECT_TRUE(Leftovers().empty()) << c.what;
  }
}

// Catches a proved file that does not replace an older staged one, and a
// leftover of an interrupted run being taken for this run's download.
TEST_F(IncrementalUpdateTest, ProvedFileReplacesOlderStagedFileAndStaleLeftover) {
  fs::create_directories(dir_ / "sub");
  WriteFile(dir_ / "sub" / "a.dll", "older staged file");
  WriteFile(dir_ / "sub" / (std::string("b.dll") + kPartialDownloadSuffix), "b");  // b's right bytes, from a crash
  PackageFileEntry a = Served(Entry("a.dll", "2", "sub/"), Body("a"));
  PackageFileEntry b = Served(Entry("b.dll", "2", "sub/"), "b");
  server_.SetFault("/files/2", test_http::ResponsePlan{404});

  EXPECT_EQ(Run({a, b}), -1);
  EXPECT_EQ(ReadFile(dir_ / "sub" / "a.dll"), Body("a"));
  EXPECT_FALSE(fs::exists(dir_ / "sub" / "b.dll"));
  EXPECT_TRUE(Leftovers().empty());
}

// Catches a release key that the run ignores: a file that only its MD5
// vouches for staged, and one the manifest gives no SHA-256 for fetched at all.
TEST_F(IncrementalUpdateTest, WithAReleaseKeyEveryFileNeedsItsSha256) {
  ReleasePublicKey publicKey{};
  ReleaseSecretKey secretKey{};
  ASSERT_TRUE(GenerateReleaseKeyPair(publicKey, secretKey));
  trust_ = ReleaseTrust::FromKeyText(FormatPublicKey(publicKey));

  PackageFileEntry good = Served(Entry("good.dll", "1"), Body("good"));
  good.set_sha256(Sha256HexOfBytes(Body("good")));
  EXPECT_EQ(Run({good}), 1);
  EXPECT_EQ(ReadFile(Staged("good.dll")), Body("good"));

  // What a forger with an MD5 collision serves: the MD5 in the signed manifest
  // matches, the SHA-256 does not.
  PackageFileEntry forged = Served(Entry("forged.dll", "1"), Body("forged"));
  forged.set_sha256(Sha256HexOfBytes(Body("published")));
  server_.ClearRequests();
  EXPECT_EQ(Run({forged}), -1);
  EXPECT_FALSE(fs::exists(Staged("forged.dll")));
  EXPECT_EQ(server_.RequestCount(), 4u);

  PackageFileEntry bare = Served(Entry("bare.dll", "1"), Body("bare"));
  server_.ClearRequests();
  EXPECT_EQ(Run({bare}), -1);
  EXPECT_EQ(server_.RequestCount(), 0u) << "a file that cannot be proved is not fetched";
  EXPECT_TRUE(Leftovers().empty());
}

// Catches a cut connection that fails the run although a retry resumes it.
TEST_F(IncrementalUpdateTest, ACutFileIsResumedAndStaged) {
  PackageFileEntry entry = Served(Entry("big.dll", "1", "sub/"), Body("big") + Body("ger"));
  server_.SetFault("/files/" + std::to_string(served_), [] {
    test_http::ResponsePlan plan;
    EXPECT_TRUE(test_http::ParseFaultTokens("close-mid,times=1", &plan));
    return plan;
  }());
  EXPECT_EQ(Run({entry}), 1);
  EXPECT_EQ(events_, (Events{"progress 1 1", "ready"})) << "a retry sends no progress of its own";
  EXPECT_EQ(ReadFile(dir_ / "sub" / "big.dll"), Body("big") + Body("ger"));
  ASSERT_EQ(server_.RequestCount(), 2u);
  EXPECT_TRUE(server_.Requests()[1].HasHeader("Range"));
  EXPECT_TRUE(Leftovers().empty());
}

// Catches an empty file in a release that can never be staged: a 2xx answer
// with no body creates no file in the transfer.
TEST_F(IncrementalUpdateTest, EmptyFileWithItsDigestIsStaged) {
  EXPECT_EQ(Run({Served(Entry("empty.txt", "1"), "")}), 1);
  EXPECT_TRUE(fs::exists(Staged("empty.txt")));
  EXPECT_EQ(fs::file_size(Staged("empty.txt")), 0u);
}

// Each path would write outside the temp directory. Catches an unsafe entry
// that is only noticed when its turn comes, or only when it is to be fetched:
// nothing at all may be requested.
// What update servers publish beside the files: "delete" entries, with or
// without a hash, and entries with neither hash nor URL. Catches any of them
// fetched, or refused for want of a hash, which stops the whole update.
TEST_F(IncrementalUpdateTest, EntriesWithoutAFileAreNeverFetched) {
  PackageFileEntry hashlessDelete = Entry("old.dll", "3");
  hashlessDelete.set_act("delete");
  PackageFileEntry servedDelete = Served(Entry("older.dll", "3"), "older");
  servedDelete.set_act("delete");
  PackageFileEntry nothingToFetch = Entry("com.dll", "3");
  nothingToFetch.set_act("reg");
  const PackageFileEntry real = Served(Entry("new.dll", "3"), "new");

  EXPECT_EQ(Run({hashlessDelete, servedDelete, nothingToFetch, real}), 1);
  EXPECT_EQ(events_, (Events{"progress 4 1", "ready"}));
  EXPECT_EQ(RequestedPaths(), (std::vector<std::string>{"/files/2"}));
  EXPECT_FALSE(fs::exists(Staged("older.dll")));

  // A URL without a hash is still refused: nothing could prove its bytes.
  events_.clear();
  PackageFileEntry unproved = Served(Entry("u.dll", "3"), "u");
  unproved.set_hash("");
  EXPECT_EQ(Run({hashlessDelete, unproved}), -1);
  EXPECT_EQ(events_, (Events{"progress 2 1", "failed"}));
}

TEST_F(IncrementalUpdateTest, UnsafeEntryAnywhereFailsBeforeAnyRequest) {
  const PackageFileEntry unsafe[] = {
      Entry("x.dll", "9", "..\\..\\Windows\\System32\\"),
      Entry("x.dll", "9", "a/../../"),
      Entry("x.dll", "0", "..\\"),  // skipped by version, still refused
      Entry("..", "9"),
      Entry("C:x.dll", "9"),
      Entry("x.dll", "9", "\\abs\\"),
      Entry("x.dll", "9", "/abs/"),
      Entry("", "9"),
      Entry(std::string("x.dll\0..\\y.dll", 14), "9"),
      Entry("x\ty.dll", "9"),
  };
  for (const PackageFileEntry& bad : unsafe) {
    events_.clear();
    server_.ClearRequests();
    const std::vector<PackageFileEntry> remote = {Served(Entry("good.dll", "1"), "g"), Served(bad, "bad"),
                                                  Served(Entry("late.dll", "1"), "l")};
    EXPECT_EQ(Run(remote), -1) << bad.local_path() << bad.name();
    EXPECT_EQ(events_, Events{"failed"}) << bad.local_path() << bad.name();
    EXPECT_EQ(server_.RequestCount(), 0u) << bad.local_path() << bad.name();
    EXPECT_FALSE(fs::exists(Staged("good.dll")));
  }
}

#ifndef _WIN32
// A full disk, stood for by a file-size limit: the bytes are taken into the
// stream's buffer and fail at its flush. Catches a short file proved by the
// digests of what fwrite was handed, staged, and named as ready.
TEST_F(IncrementalUpdateTest, BytesThatNeverReachTheDiskAreNotStaged) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto stageOnAFullDisk = [this] {
    // The death test's capture of what libcurl prints is a file too.
    if (std::freopen("/dev/null", "w", stderr) == nullptr) std::exit(2);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    const int result = Run({Served(Entry("a.dll", "2"), std::string(3000, 'a'))});
    const bool clean = !fs::exists(Staged("a.dll")) && Leftovers().empty();
    std::exit(result == -1 && events_ == Events{"progress 1 1", "failed"} && clean ? 0 : 1);
  };
  EXPECT_EXIT(stageOnAFullDisk(), testing::ExitedWithCode(0), "");
}
#endif

// Two entries to fetch that Windows resolves to one staged file would be
// downloaded into it at once, each proving its own bytes. Catches any of them
// fetched; twins left unfetched by their ver do not race, and still install.
TEST_F(IncrementalUpdateTest, EntriesNamingOneStagedFileFailBeforeAnyRequest) {
  const std::pair<PackageFileEntry, PackageFileEntry> twins[] = {
      {Entry("a.dll", "2"), Entry("A.DLL", "2")},
      {Entry("b", "2", "a/"), Entry("a/b", "2")},
      {Entry("b", "2", "a\\"), Entry("b", "2", "./a/")},
      {Entry("c.dll", "2"), Entry("c.dll. ", "2")},
  };
  for (const auto& [first, second] : twins) {
    events_.clear();
    server_.ClearRequests();
    EXPECT_EQ(Run({Served(first, "one"), Served(second, "two")}, {}, 4), -1) << second.local_path() << second.name();
    EXPECT_EQ(events_, Events{"failed"});
    EXPECT_EQ(server_.RequestCount(), 0u);
  }
  events_.clear();
  EXPECT_EQ(Run({Served(Entry("d.dll", "2"), "new"), Served(Entry("D.dll", "1"), "old")}, {Entry("D.dll", "1")}), 1);
  EXPECT_EQ(ReadFile(Staged("d.dll")), "new");
}

#ifdef _WIN32

// The update manager's method against the real temp\ beside this program, in
// a sub-directory of its own. Catches wrong message numbers, parameters,
// order or receivers, and a wrong staged location.
class UpdateManagerIncrementalTest : public IncrementalUpdateTest {
 protected:
  void SetUp() override {
    IncrementalUpdateTest::SetUp();
    ClearRecordedMessages();
    std::random_device random;
    subDirectory_ = "zq_incremental_" + std::to_string(random()) + "\\";
    manager_.SetTrayWindow(tray_.get());
    manager_.SetProgressBar(bar_.get());
    manager_.retryPolicy = Rules().retry;
  }
  void TearDown() override {
    std::error_code error;
    fs::remove_all(fs::path(UpdateManager::GetTempDirectory() + NarrowToWide(subDirectory_)), error);
    IncrementalUpdateTest::TearDown();
  }

  // "bar|tray message wParam lParam" for each message received, in order.
  std::vector<std::string> Received() const {
    std::vector<std::string> received;
    for (const RecordedMessage& m : RecordedMessages()) {
      received.push_back(std::string(m.window == bar_.get()    ? "bar "
                                     : m.window == tray_.get() ? "tray "
                                                               : "? ") +
                         std::to_string(m.message) + " " + std::to_string(m.wParam) + " " + std::to_string(m.lParam));
    }
    return received;
  }

  RecordingWindow tray_;
  RecordingWindow bar_;
  UpdateManager manager_{ReleaseTrust::Unsigned()};
  std::string subDirectory_;
};

TEST_F(UpdateManagerIncrementalTest, SendsExactlyTheProgressAndResultMessages) {
  std::vector<PackageFileEntry> remote;
  std::vector<PackageFileEntry> local;
  for (int i = 0; i < 10; ++i) {
    const std::string name = "f" + std::to_string(i) + ".dll";
    remote.push_back(Served(Entry(name, i < 3 ? "2" : "1", subDirectory_), Body(name)));
    local.push_back(Entry(name, "1"));
  }
  manager_.remoteManifest = Manifest(remote);
  manager_.localManifest = Manifest(local);

  EXPECT_EQ(manager_.RunIncrementalUpdate(), 1);
  // PBM_SETRANGE32 1030, PBM_SETPOS 1026, WM_UPDATE_READY 2104.
  EXPECT_EQ(Received(), (Events{"bar 1030 0 10", "bar 1026 1 0", "bar 1030 0 10", "bar 1026 2 0", "bar 1030 0 10",
                                "bar 1026 3 0", "tray 2104 1 1"}));
  const std::wstring staged = UpdateManager::GetTempDirectory() + NarrowToWide(subDirectory_);
  EXPECT_EQ(ReadFile(fs::path(staged + L"f2.dll")), Body("f2.dll"));
}

TEST_F(UpdateManagerIncrementalTest, SendsFailedOnAMismatchAndOnAnUnsafeList) {
  PackageFileEntry bad = Served(Entry("a.dll", "1", subDirectory_), "a");
  bad.set_hash(Lower(bad.hash()));
  manager_.remoteManifest = Manifest({bad});
  EXPECT_EQ(manager_.RunIncrementalUpdate(), -1);
  // WM_UPDATE_FAILED 2094. Several files at once (the default), the bar moves
  // as each is staged, and this one never was.
  EXPECT_EQ(Received(), Events{"tray 2094 1 1"});

  ClearRecordedMessages();
  server_.ClearRequests();
  manager_.remoteManifest = Manifest({Served(Entry("a.dll", "1", subDirectory_ + "..\\..\\"), "a")});
  EXPECT_EQ(manager_.RunIncrementalUpdate(), -1);
  EXPECT_EQ(Received(), Events{"tray 2094 1 1"});
  EXPECT_EQ(server_.RequestCount(), 0u);
}

#endif  // _WIN32

}  // namespace

// Four files at once. Catches files staged with another's bytes, a bar that
// skips or repeats a position or ends short, a cut or stalled file inside the
// batch that is not resumed, and a failure that is reported twice, lets later
// files start, or leaves a file of the batch half-written.
TEST_F(IncrementalUpdateTest, FourAtOnceStageEveryFileOrFailOnce) {
  std::vector<PackageFileEntry> remote;
  for (int i = 0; i < 24; ++i)
    remote.push_back(Served(Entry("p" + std::to_string(i), "1"), Body("p" + std::to_string(i))));
  test_http::ResponsePlan cut;
  ASSERT_TRUE(test_http::ParseFaultTokens("close-mid,times=1", &cut));
  server_.SetFault("/files/3", cut);
  test_http::ResponsePlan stall;
  ASSERT_TRUE(test_http::ParseFaultTokens("stall-mid=20,times=1", &stall));
  server_.SetFault("/files/7", stall);
  rulesStall_ = 1;
  EXPECT_EQ(Run(remote, {}, 4), 1);
  Events expected;
  for (int i = 1; i <= 24; ++i) expected.push_back("progress 24 " + std::to_string(i));
  expected.push_back("ready");
  EXPECT_EQ(events_, expected);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(ReadFile(Staged("p" + std::to_string(i))), Body("p" + std::to_string(i))) << i;
  int resumed = 0;
  for (const test_http::RecordedRequest& request : server_.Requests()) resumed += request.HasHeader("Range") ? 1 : 0;
  EXPECT_EQ(resumed, 2) << "the cut and the stalled file each resume once";
  std::set<std::uint64_t> connections;
  for (const test_http::RecordedRequest& request : server_.Requests()) connections.insert(request.connection);
  EXPECT_LE(connections.size(), 8u) << "24 files must share a few kept-alive connections";
  EXPECT_TRUE(Leftovers().empty());

  // The first file fails at once while the next three are on their way.
  events_.clear();
  server_.ClearRequests();
  std::vector<PackageFileEntry> failing;
  for (int i = 0; i < 12; ++i)
    failing.push_back(Served(Entry("q" + std::to_string(i), "1"), Body("q" + std::to_string(i))));
  failing[0].set_hash(test_files::Md5Of("not these bytes"));
  test_http::ResponsePlan slow;
  ASSERT_TRUE(test_http::ParseFaultTokens("pieces=20,piece-delay=0.2", &slow));
  for (int i = 1; i <= 3; ++i) server_.SetFault(failing[i].remote_url().substr(server_.BaseUrl().size()), slow);
  EXPECT_EQ(Run(failing, {}, 4), -1);
  EXPECT_EQ(events_, Events{"failed"});
  for (const std::string& path : RequestedPaths()) {
    EXPECT_TRUE(path == failing[0].remote_url().substr(server_.BaseUrl().size()) ||
                path == failing[1].remote_url().substr(server_.BaseUrl().size()) ||
                path == failing[2].remote_url().substr(server_.BaseUrl().size()) ||
                path == failing[3].remote_url().substr(server_.BaseUrl().size()))
        << path << ": no file starts after the failure";
  }
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(fs::exists(Staged("q" + std::to_string(i)))) << i;
  EXPECT_TRUE(Leftovers().empty());
}

// Catches a setting that turns parallel downloads off or past the cap by a typo.
TEST(ParallelDownloadsFromSetting, TakesOneToSixteenElseFour) {
  const struct {
    const char* text;
    int count;
  } cases[] = {{"", 4}, {"1", 1}, {" 8\t", 8}, {"16", 16}, {"17", 4}, {"0", 4}, {"-2", 4}, {"4x", 4}, {"100", 4}};
  for (const auto& c : cases) EXPECT_EQ(ParallelDownloadsFromSetting(c.text), c.count) << c.text;
}
