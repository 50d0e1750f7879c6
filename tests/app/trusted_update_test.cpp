// Updates that cannot be forged, stall or strand, end to end: the real
// program (built with the test release key where a test says so) against our
// HTTP server inside this test process.

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/app/app_test_environment.h"
#include "tests/app/update_journey.h"
#include "tests/support/wine_support.h"
#include "update/proof/release_signature.h"

namespace {

constexpr char kSignaturePath[] = "/soft/package.json.sig";

// "major.minor.patch.build" of a program's version resource; empty without one.
std::wstring FileVersionOf(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return L"";
  std::vector<char> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr) {
    return L"";
  }
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionLS));
}

std::wstring ImageOf(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return L"";
  wchar_t path[MAX_PATH] = {};
  DWORD length = MAX_PATH;
  const bool ok = QueryFullProcessImageNameW(process, 0, path, &length) != 0;
  CloseHandle(process);
  return ok ? std::wstring(path, length) : L"";
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  wchar_t longA[MAX_PATH] = {};
  wchar_t longB[MAX_PATH] = {};
  GetLongPathNameW(a.c_str(), longA, MAX_PATH);
  GetLongPathNameW(b.c_str(), longB, MAX_PATH);
  return lstrcmpiW(longA, longB) == 0;
}

// Waits for run one's worker to finish a staging that takes a while (retries,
// stalls): the pending manifest appears.
bool WaitForPendingUpdate(const std::wstring& pendingPath) {
  return WaitUntil([&] { return GetFileAttributesW(pendingPath.c_str()) != INVALID_FILE_ATTRIBUTES; }, 90000);
}

// --- Downloads that stall or break off --------------------------------------

// Catches a cut or stalled download that fails the update although a retry
// resumes it, and a stalled one that holds the worker beyond its limit.
TEST_F(UpdateJourneyTest, CutAndStalledDownloadsAreResumedAndInstalled) {
  install_.WriteFileBytes(L"zenquilostudent.ini", "[global]\r\nURL_UPDATE_PACKAGE=" + server_.BaseUrl() +
                                                      "/soft/package.json\r\nDOWNLOAD_STALL_SECONDS=2\r\n");
  InstallOldRelease();
  PublishNewRelease();
  test_http::ResponsePlan cut;
  ASSERT_TRUE(test_http::ParseFaultTokens("close-mid,times=1", &cut));
  server_.SetFault("/files/0/12", cut);
  test_http::ResponsePlan stall;
  ASSERT_TRUE(test_http::ParseFaultTokens("stall-mid=60,times=1", &stall));
  server_.SetFault("/files/4/12", stall);

  RunningProgram first = StartProgram(install_.Program(), L"");
  const ULONGLONG started = GetTickCount64();
  ASSERT_TRUE(WaitForPendingUpdate(At(L"temp\\package.json"))) << "the update did not complete";
  EXPECT_LT(GetTickCount64() - started, 45000u) << "the stalled file was not cut off at its limit";
  int ranged = 0;
  for (const test_http::RecordedRequest& request : server_.Requests()) {
    if (request.HasHeader("Range")) {
      ++ranged;
      EXPECT_EQ(request.status, 206) << request.path;
    }
  }
  EXPECT_EQ(ranged, 2) << "both broken files are resumed, nothing else";
  EXPECT_TRUE(FilesMatching(At(L"temp\\"), L"*.zqdownload").empty());
  first.Terminate();

  RunningProgram second = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitUntil([&] { return install_.LearningStarts().size() == 2; }));
  ExpectNewReleaseInstalled();
}

// --- A release that replaces the program itself -----------------------------

// Catches a release listing ZenquiloStudent.exe that stays pending for ever
// (the running image cannot be replaced in place), an install left without
// its program, and the old image left behind in temp\.
TEST_F(UpdateJourneyTest, TheProgramReplacesItselfAndTheNextStartRunsTheNewBuild) {
  const std::string nextBuild = ReadFileBytes(g_buildDirectory + L"\\fixtures\\next\\ZenquiloStudent.exe");
  ASSERT_FALSE(nextBuild.empty());
  ASSERT_EQ(FileVersionOf(install_.Program()), L"1.0.0.1");
  InstallOldRelease();
  const std::vector<ReleaseFile> files = {
      {"", "a.dll", "2", "", "a, release 12", L"a.dll"},
      {"", "ZenquiloStudent.exe", "2", "", nextBuild, L"ZenquiloStudent.exe"},
  };
  newManifest_ = ManifestText("12", server_.BaseUrl(), files);
  server_.SetResource("/soft/package.json", newManifest_);
  for (size_t i = 0; i < files.size(); ++i)
    server_.SetResource("/files/" + std::to_string(i) + "/12", files[i].content);

  // Run one stays resident and stages the new build; run two, a second copy,
  // installs it while run one still runs from the old image.
  RunningProgram first = StartProgram(install_.Program(), L"");
  WaitForWorker(first);
  ASSERT_TRUE(Exists(L"temp\\package.json"));
  RunningProgram second = StartProgram(install_.Program(), L"");
  DWORD exitCode = 0;
  ASSERT_TRUE(second.WaitForExit(30000, &exitCode));
  EXPECT_EQ(exitCode, kSecondCopyExitCode);
  EXPECT_EQ(FileVersionOf(install_.Program()), L"1.0.0.2") << "the new build is in place";
  EXPECT_EQ(ReadFileBytes(At(L"a.dll")), "a, release 12");
  EXPECT_EQ(ReadFileBytes(At(L"package.json")), WithCrLf(newManifest_));
  EXPECT_FALSE(Exists(L"temp\\package.json"));
  EXPECT_EQ(FilesMatching(At(L"temp\\"), L"*.zqold").size(), 1u) << "the old image waits while run one uses it";
  EXPECT_TRUE(first.IsRunning());

  first.Terminate();
  first.WaitForExit(10000, nullptr);
  RunningProgram third = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitUntil([&] { return FindWindowW(kTrayClass, kTrayClass) != nullptr; }));
  EXPECT_TRUE(third.IsRunning()) << "the new build is the resident copy now";
  const std::wstring image = ImageOf(third.pid());
  EXPECT_TRUE(SameFile(image, install_.Program())) << testing::PrintToString(image);
  EXPECT_EQ(ReadFileBytes(image), nextBuild) << "the running image is the new build";
  EXPECT_TRUE(FilesMatching(At(L"temp\\"), L"*.zqold").empty()) << "the next start removed the old image";
  EXPECT_TRUE(FilesMatching(At(L"temp\\"), L"*.zqdownload").empty());
}

// --- Signed releases ---------------------------------------------------------

// The program built to trust the test release key, in the install directory.
class SignedJourneyTest : public UpdateJourneyTest {
 protected:
  void SetUp() override {
    UpdateJourneyTest::SetUp();
    install_.CopyIn(g_buildDirectory + L"\\fixtures\\signed\\ZenquiloStudent.exe", L"ZenquiloStudent.exe");
    ASSERT_TRUE(ParseSecretKeyFile(ReadFileBytes(g_buildDirectory + L"\\fixtures\\test_release.key"), key_));
  }

  std::string Sign(const std::string& manifest) const { return FormatSignatureFile(SignRelease(manifest, key_)); }

  // Release 12 with its SHA-256 digests, signed.
  void PublishSignedRelease() {
    PublishNewRelease();
    newManifest_ = ManifestText("12", server_.BaseUrl(), NewRelease(), true);
    server_.SetResource("/soft/package.json", newManifest_);
    server_.SetResource(kSignaturePath, Sign(newManifest_));
  }

  size_t FileRequests() const {
    size_t count = 0;
    for (const test_http::RecordedRequest& request : server_.Requests()) count += request.path.rfind("/files/", 0) == 0;
    return count;
  }

  ReleaseSecretKey key_{};
};

// Catches a signed client that cannot install a signed release, a signature
// fetched from anywhere but beside the manifest, and a pending update saved
// without the signature that the next start checks again.
TEST_F(SignedJourneyTest, ASignedReleaseIsCheckedThenInstalled) {
  InstallOldRelease();
  PublishSignedRelease();

  RunningProgram first = StartProgram(install_.Program(), L"");
  WaitForWorker(first);
  ASSERT_TRUE(Exists(L"temp\\package.json")) << "the signed update did not complete";
  EXPECT_EQ(ReadFileBytes(At(L"temp\\package.json.sig")), Sign(newManifest_));
  bool signatureAsked = false;
  for (const test_http::RecordedRequest& request : server_.Requests()) {
    if (request.path != kSignaturePath) continue;
    signatureAsked = true;
    EXPECT_EQ(request.query.compare(0, 2, "r="), 0) << "past caches, like the manifest";
    EXPECT_EQ(request.Header("User-Agent"), "KVT Updater/1.0");
  }
  EXPECT_TRUE(signatureAsked);

  RunningProgram second = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitUntil([&] { return install_.LearningStarts().size() == 2; }));
  ExpectNewReleaseInstalled();
  EXPECT_EQ(ReadFileBytes(At(L"package.json")), WithCrLf(newManifest_));
  EXPECT_FALSE(Exists(L"temp\\package.json"));
  EXPECT_FALSE(Exists(L"temp\\package.json.sig"));
}

// Each case is something an attacker who answers for the update host can send.
struct Forgery {
  const char* name;
  enum Kind {
    kOtherKey,
    kByteChanged,
    kNoSignature,
    kOtherRelease,
    kOlderRelease,
    kSwappedFile,
    kGarbage,
    kExpired
  } kind;
};

class SignedForgeryTest : public SignedJourneyTest, public testing::WithParamInterface<Forgery> {};

TEST_P(SignedForgeryTest, LeavesTheOldReleaseWhole) {
  const Forgery& forgery = GetParam();
  InstallOldRelease();
  PublishSignedRelease();
  switch (forgery.kind) {
    case Forgery::kOtherKey: {
      ReleasePublicKey otherPublic{};
      ReleaseSecretKey otherSecret{};
      ASSERT_TRUE(GenerateReleaseKeyPair(otherPublic, otherSecret));
      server_.SetResource(kSignaturePath, FormatSignatureFile(SignRelease(newManifest_, otherSecret)));
      break;
    }
    case Forgery::kByteChanged: {
      std::string changed = newManifest_;
      changed[changed.find("\"12\"") + 2] = '3';  // version 13
      server_.SetResource("/soft/package.json", changed);
      break;
    }
    case Forgery::kNoSignature: server_.SetFault(kSignaturePath, test_http::ResponsePlan{404}); break;
    case Forgery::kOtherRelease:
      server_.SetResource(kSignaturePath, Sign(ManifestText("11", server_.BaseUrl(), NewRelease(), true)));
      break;
    case Forgery::kOlderRelease: {
      // A genuine, properly signed release older than the installed one.
      const std::string older = ManifestText("8", server_.BaseUrl(), NewRelease(), true);
      server_.SetResource("/soft/package.json", older);
      server_.SetResource(kSignaturePath, Sign(older));
      break;
    }
    case Forgery::kSwappedFile: {
      // A file swapped for one whose MD5 the signed manifest carries (as an
      // MD5 collision would give) but whose SHA-256 it does not.
      std::vector<ReleaseFile> files = NewRelease();
      const std::string published = files[1].content;
      files[1].content = "swapped bytes";
      std::string manifest = ManifestText("12", server_.BaseUrl(), files, true);
      const std::string swappedDigest = "\"sha256\": " + JsonText(Sha256Of("swapped bytes"));
      manifest.replace(manifest.find(swappedDigest), swappedDigest.size(),
                       "\"sha256\": " + JsonText(Sha256Of(published)));
      server_.SetResource("/soft/package.json", manifest);
      server_.SetResource(kSignaturePath, Sign(manifest));
      server_.SetResource("/files/1/12", "swapped bytes");
      break;
    }
    case Forgery::kGarbage: server_.SetResource(kSignaturePath, "<html><body>signature</body></html>\n"); break;
    case Forgery::kExpired: {
      // A genuine signed release whose expiry has passed: served on by
      // someone who wants clients to stay where they are.
      std::string expired = newManifest_;
      expired.insert(expired.find("\"file_list\""), "\"expires\": \"2026-01-01T00:00:00Z\",\n  ");
      server_.SetResource("/soft/package.json", expired);
      server_.SetResource(kSignaturePath, Sign(expired));
      break;
    }
  }

  {
    RunningProgram first = StartProgram(install_.Program(), L"");
    WaitForWorker(first);
  }
  if (forgery.kind != Forgery::kSwappedFile) {
    EXPECT_EQ(FileRequests(), 0u) << forgery.name << ": nothing of an untrusted manifest is fetched";
    EXPECT_FALSE(Exists(L"temp\\a.dll")) << forgery.name << ": nothing staged";
  }
  EXPECT_FALSE(Exists(L"temp\\package.json")) << forgery.name;
  EXPECT_FALSE(Exists(L"temp\\bin\\b.txt")) << forgery.name << ": the swapped file is never staged";

  RunningProgram second = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitUntil([&] { return install_.LearningStarts().size() == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return FindWindowW(kTrayClass, kTrayClass) != nullptr; }));
  EXPECT_EQ(ReleaseOnDisk(), "old") << forgery.name;
  EXPECT_EQ(FindWindowW(L"#32770", L"Zenquilo提醒"), nullptr) << forgery.name << ": nothing shown";
}

const Forgery kForgeries[] = {
    {"signed by another key", Forgery::kOtherKey},
    {"manifest changed by one byte", Forgery::kByteChanged},
    {"no signature", Forgery::kNoSignature},
    {"signature of another release", Forgery::kOtherRelease},
    {"older signed release replayed", Forgery::kOlderRelease},
    {"file swapped, MD5 matching", Forgery::kSwappedFile},
    {"signature that is not one", Forgery::kGarbage},
    {"signed release past its expiry", Forgery::kExpired},
};

INSTANTIATE_TEST_SUITE_P(Forgeries, SignedForgeryTest, testing::ValuesIn(kForgeries),
                         [](const testing::TestParamInfo<Forgery>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c; ++c) name += std::isalnum(*c) ? *c : '_';
                           return name;
                         });

// The procedure for a lost or compromised primary key A, as docs/operating.md gives
// it: the client trusts A and its offline backup B; a release signed with B
// carries a program that trusts B and a new key C only. Catches a key list
// that trusts its first key alone (the release signed with B is refused), and
// a replaced program that still trusts A (the release signed with A is
// installed afterwards).
TEST_F(UpdateJourneyTest, AReleaseSignedWithTheBackupKeyRetiresThePrimary) {
  const auto secretKey = [](const wchar_t* name) {
    ReleaseSecretKey key{};
    EXPECT_TRUE(ParseSecretKeyFile(ReadFileBytes(g_buildDirectory + L"\\fixtures\\" + name), key)) << name;
    return key;
  };
  const ReleaseSecretKey keyA = secretKey(L"test_release.key");
  const ReleaseSecretKey keyB = secretKey(L"test_release_b.key");
  const std::string rotated = ReadFileBytes(g_buildDirectory + L"\\fixtures\\keys_bc\\ZenquiloStudent.exe");
  ASSERT_FALSE(rotated.empty());
  install_.CopyIn(g_buildDirectory + L"\\fixtures\\keys_ab\\ZenquiloStudent.exe", L"ZenquiloStudent.exe");
  InstallOldRelease();
  const auto publish = [&](const std::string& version, const std::vector<ReleaseFile>& files,
                           const ReleaseSecretKey& key) {
    newManifest_ = ManifestText(version, server_.BaseUrl(), files, true);
    server_.SetResource("/soft/package.json", newManifest_);
    server_.SetResource(kSignaturePath, FormatSignatureFile(SignRelease(newManifest_, key)));
    for (size_t i = 0; i < files.size(); ++i) {
      server_.SetResource("/files/" + std::to_string(i) + "/" + version, files[i].content);
    }
  };

  publish("12",
          {{"", "a.dll", "2", "", "a, release 12", L"a.dll"},
           {"", "ZenquiloStudent.exe", "2", "", rotated, L"ZenquiloStudent.exe"}},
          keyB);
  {
    RunningProgram first = StartProgram(install_.Program(), L"--no-shell");
    WaitForWorker(first);
    ASSERT_TRUE(Exists(L"temp\\package.json")) << "a release signed with the backup key was refused";
  }
  RunningProgram second = StartProgram(install_.Program(), L"");
  ASSERT_TRUE(WaitUntil([&] { return FindWindowW(kTrayClass, kTrayClass) != nullptr; }));
  EXPECT_EQ(ReadFileBytes(install_.Program()), rotated) << "the program trusting B and C is in place";
  EXPECT_EQ(ReadFileBytes(At(L"a.dll")), "a, release 12");
  second.Terminate();
  second.WaitForExit(10000, nullptr);

  // Whoever holds A now publishes a release: the new program refuses it.
  publish("13", {{"", "a.dll", "3", "", "a, release 13 by the lost key", L"a.dll"}}, keyA);
  server_.ClearRequests();
  {
    RunningProgram third = StartProgram(install_.Program(), L"--no-shell");
    WaitForWorker(third);
  }
  EXPECT_FALSE(Exists(L"temp\\package.json")) << "a release signed with the retired key was staged";
  EXPECT_FALSE(Exists(L"temp\\a.dll"));
  for (const test_http::RecordedRequest& request : server_.Requests()) {
    EXPECT_NE(request.path.rfind("/files/", 0), 0u) << "fetched " << request.path;
  }

  // The same release signed with B is still taken: the refusal was the key's.
  server_.SetResource(kSignaturePath, FormatSignatureFile(SignRelease(newManifest_, keyB)));
  RunningProgram fourth = StartProgram(install_.Program(), L"--no-shell");
  WaitForWorker(fourth);
  EXPECT_TRUE(Exists(L"temp\\package.json"));
}

// Catches an installer started on the word of the server alone, and a
// refused one left in temp\ under a name that could be started later.
TEST_F(SignedJourneyTest, AnInstallerStartsOnlyWithItsSignedDigest) {
  InstallOldRelease();
  const std::string installer = ReadFileBytes(g_buildDirectory + L"\\fixtures\\zenquilo.exe");
  server_.SetResource("/setup.exe", installer);
  const auto publish = [&](const std::string& digest) {
    const std::string manifest = "{\"version\": \"12\", \"full_update\": true, \"package_date\": \"20261207\", "
                                 "\"install_package_url\": \"" +
                                 server_.BaseUrl() +
                                 "/setup.exe\", "
                                 "\"install_package_sha256\": \"" +
                                 digest + "\"}";
    server_.SetResource("/soft/package.json", manifest);
    server_.SetResource(kSignaturePath, Sign(manifest));
  };

  publish(Sha256Of("another installer"));
  {
    RunningProgram program = StartProgram(install_.Program(), L"--no-shell");
    ASSERT_TRUE(WaitUntil([&] { return server_.RequestCount() >= 4; })) << "the installer was not fetched";
    Sleep(2000);
    EXPECT_EQ(FindWindowW(L"#32770", L"Zenquilo提醒"), nullptr) << "no notice for a refused installer";
    EXPECT_FALSE(Exists(L"temp\\setup20261207.exe"));
    EXPECT_TRUE(ReadShellStarts(At(L"temp\\"), L"setup20261207.exe").empty());
  }

  publish(Sha256Of(installer));
  server_.ClearRequests();
  RunningProgram program = StartProgram(install_.Program(), L"--no-shell");
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] { return (box = FindWindowW(L"#32770", L"Zenquilo提醒")) != nullptr && IsWindowVisible(box); }, 30000));
  EXPECT_EQ(ReadFileBytes(At(L"temp\\setup20261207.exe")), installer);
  PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  DWORD exitCode = 1;
  ASSERT_TRUE(program.WaitForExit(30000, &exitCode));
  std::vector<ShellStart> installers;
  EXPECT_TRUE(WaitUntil([&] {
    installers = ReadShellStarts(At(L"temp\\"), L"setup20261207.exe");
    return !installers.empty();
  })) << "the proved installer did not start";
  for (const ShellStart& start : installers) TerminateProcessById(start.pid);
}

}  // namespace
