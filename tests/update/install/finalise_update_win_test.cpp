// Installing a pending update with real files: a scratch directory stands in
// for the program's directory, with its own temp\, stand-in shells and the
// fixture COM server registered through the real regsvr32.
//
// Each run that finds a pending manifest waits a second for the shells to end,
// and every zenquilo.exe and zenquilo_live.exe of the Wine prefix is ended.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wine_support.h"
#include "update/install/finalise_update.h"
#include "update/proof/md5_checksum.h"
#include "update/proof/release_signature.h"
#include "update/proof/sha256_digest.h"

namespace {

std::wstring g_fixtures;  // the build's fixtures directory, as a Wine path

// Stands for the MD5 of the file as it lies, staged or else installed.
const char kDigestOfTheFile[] = "digest of the file";

struct Entry {
  std::string localPath;
  std::string name;
  std::string ver;
  std::string act;
  std::string hash = kDigestOfTheFile;
  std::string sha256;
  std::string remoteUrl = "http://127.0.0.1/x";
};

std::string JsonText(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ManifestJson(const std::vector<Entry>& entries, const std::string& version = "12") {
  std::string json = "{\n \"version\": " + JsonText(version) +
                     ",\n \"package_date\": \"20261207\",\n \"full_update\": false,\n"
                     " \"install_package_url\": \"\",\n \"type\": \"force\",\n \"file_list\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    json += std::string(i == 0 ? "" : ",") + "\n  {\"name\": " + JsonText(e.name) +
            ", \"remote_url\": " + JsonText(e.remoteUrl) + ", \"hash\": " + JsonText(e.hash) +
            ", \"local_path\": " + JsonText(e.localPath) + ", \"ver\": " + JsonText(e.ver) +
            ", \"act\": " + JsonText(e.act) + (e.sha256.empty() ? "" : ", \"sha256\": " + JsonText(e.sha256)) + "}";
  }
  return json + "\n ]\n}\n";
}

std::string Md5Of(const std::string& bytes) {
  CMD5Checksum digest;
  digest.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return digest.Final();
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

class FinaliseTest : public testing::Test {
 protected:
  FinaliseTest() : module_(L"zq finalise"), temp_(module_.Path() + L"temp\\") {
    CreateDirectoryW(temp_.c_str(), nullptr);
  }

  std::wstring Installed(const std::string& relative) const { return module_.Path() + Wide(relative); }
  std::wstring Staged(const std::string& relative) const { return temp_ + Wide(relative); }
  std::wstring LocalManifest() const { return module_.Path() + L"package.json"; }
  std::wstring PendingManifest() const { return temp_ + L"package.json"; }

  // Writes bytes at a path, creating the directories on the way.
  static void Put(const std::wstring& path, const std::string& bytes) {
    for (size_t i = path.find(L'\\', 3); i != std::wstring::npos; i = path.find(L'\\', i + 1)) {
      CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
    ASSERT_TRUE(WriteFileWhole(path, bytes)) << "cannot write the test file";
  }

  // The pending manifest's text, each entry's digest filled in from its file.
  std::string Pending(std::vector<Entry> entries, const std::string& version = "12") const {
    for (Entry& e : entries) {
      if (e.hash != kDigestOfTheFile) continue;
      const std::wstring staged = Staged(e.localPath + e.name);
      e.hash = Md5Of(ReadFileBytes(Exists(staged) ? staged : Installed(e.localPath + e.name)));
    }
    return ManifestJson(entries, version);
  }

  int Run() {
    return FinaliseInDirectories(module_.Path(), temp_, PackageManifest(), nullptr, ReleaseTrust::Unsigned());
  }
  int RunAs(const std::wstring& programName, const ReleaseTrust& trust = ReleaseTrust::Unsigned()) {
    return FinaliseInDirectories(module_.Path(), temp_, PackageManifest(), nullptr, trust, programName);
  }

  // Opens path without FILE_SHARE_DELETE, so that nobody can rename or
  // delete it until the handle is closed.
  static HANDLE Hold(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }

  // A stand-in shell started from the scratch directory under its real name.
  RunningProgram StartShell(const std::wstring& name) {
    module_.CopyIn(g_fixtures + L"zenquilo.exe", name);
    RunningProgram shell = StartProgram(module_.Path() + name, L"");
    EXPECT_TRUE(WaitUntil([&] { return !ReadShellStarts(module_.Path(), name).empty(); })) << "stand-in did not start";
    return shell;
  }

  ScratchDirectory module_;
  std::wstring temp_;
};

std::vector<std::wstring> RetiredPrograms(const std::wstring& temp) {
  return FilesMatching(temp, L"*.zqold");
}

TEST_F(FinaliseTest, WithoutAPendingManifestNothingHappens) {
  RunningProgram shell = StartShell(L"zenquilo.exe");
  Put(LocalManifest(), "old");
  EXPECT_EQ(Run(), -1);
  EXPECT_FALSE(shell.WaitForExit(500, nullptr)) << "a running shell must be left alone";
  EXPECT_EQ(ReadFileBytes(LocalManifest()), "old");
}

TEST_F(FinaliseTest, AnEmptyListEndsTheShellsAndReplacesTheManifest) {
  RunningProgram learning = StartShell(L"zenquilo.exe");
  RunningProgram live = StartShell(L"zenquilo_live.exe");
  Put(LocalManifest(), "old");
  const std::string pending = Pending({});
  Put(PendingManifest(), pending);

  EXPECT_EQ(Run(), 1);
  EXPECT_TRUE(learning.WaitForExit(10000, nullptr)) << "the learning shell must be terminated";
  EXPECT_TRUE(live.WaitForExit(10000, nullptr)) << "the live shell must be terminated";
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending) << "moved byte for byte";
  EXPECT_FALSE(Exists(PendingManifest()));
}

TEST_F(FinaliseTest, AnUnparsableManifestStaysAndNothingIsInstalled) {
  RunningProgram learning = StartShell(L"zenquilo.exe");
  Put(LocalManifest(), "old");
  const std::string pending = "{\"version\": \"12\", \"file_list\": [{\"name\": \"a.txt\", \"ver\": \"3\"";
  Put(PendingManifest(), pending);
  Put(Staged("a.txt"), "new");

  EXPECT_EQ(Run(), -1);
  EXPECT_TRUE(learning.WaitForExit(10000, nullptr)) << "the shells are terminated before the manifest is read";
  EXPECT_EQ(ReadFileBytes(PendingManifest()), pending);
  EXPECT_EQ(ReadFileBytes(LocalManifest()), "old");
  EXPECT_FALSE(Exists(Installed("a.txt")));
}

TEST_F(FinaliseTest, InstallsNewerEntriesAndSkipsTheRest) {
  // Staged at temp\..\ is inside our directory; installed there it would not be.
  const std::wstring outside = module_.Path() + L"..\\zq-finalise-escape.txt";
  DeleteFileW(outside.c_str());
  Put(Installed("top.txt"), "old top");
  Put(Installed("gone.dll"), "old gone");
  const std::vector<Entry> entries = {
      {"bin\\sub\\", "a.dll", "2", ""},
      {"", "top.txt", "2.5", ""},
      {"", "zero.txt", "0", "delete"},
      {"", "beta.txt", "beta", ""},
      {"bin", "a.dll", "1", "REG"},
      {"", "gone.dll", "3", "delete"},
      {"..\\", "zq-finalise-escape.txt", "9", ""},
  };
  for (const char* staged :
       {"bin\\sub\\a.dll", "top.txt", "zero.txt", "beta.txt", "bina.dll", "gone.dll", "..\\zq-finalise-escape.txt"}) {
    Put(Staged(staged), std::string("new ") + staged);
  }
  const std::string pending = Pending(entries);
  Put(PendingManifest(), pending);

  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(ReadFileBytes(Installed("bin\\sub\\a.dll")), "new bin\\sub\\a.dll") << "directories must be created";
  EXPECT_EQ(ReadFileBytes(Installed("top.txt")), "new top.txt") << "2.5 counts as 2 and replaces the file";
  EXPECT_FALSE(Exists(Staged("top.txt")));
  EXPECT_EQ(ReadFileBytes(Installed("bina.dll")), "new bina.dll") << "local_path and name join without a separator";
  for (const char* skipped : {"zero.txt", "beta.txt"}) {
    EXPECT_TRUE(Exists(Staged(skipped))) << skipped << " must stay staged";
    EXPECT_FALSE(Exists(Installed(skipped))) << skipped << " must not be installed";
  }
  EXPECT_FALSE(Exists(Installed("gone.dll"))) << "a delete entry deletes the installed file";
  EXPECT_FALSE(Exists(Staged("gone.dll"))) << "after moving the staged one over it";
  EXPECT_FALSE(Exists(outside)) << "an entry leaving the directory must be skipped";
  DeleteFileW(outside.c_str());
  EXPECT_EQ(ReadFileBytes(Installed("zq-finalise-escape.txt")), "new ..\\zq-finalise-escape.txt");
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
  EXPECT_FALSE(Exists(PendingManifest()));
}

TEST_F(FinaliseTest, AFileThatCannotBeMovedKeepsTheUpdatePending) {
  Put(LocalManifest(), "old");
  Put(Installed("held.dll"), "old held");
  Put(Staged("held.dll"), "new held");
  Put(Staged("free.dll"), "new free");
  const std::string pending = Pending({{"", "held.dll", "2", ""}, {"", "free.dll", "2", ""}});
  Put(PendingManifest(), pending);

  HANDLE holder = Hold(Staged("held.dll"));
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const int result = Run();
  CloseHandle(holder);

  EXPECT_EQ(result, -1) << "an install that did not happen must not be reported as done";
  EXPECT_EQ(ReadFileBytes(Installed("free.dll")), "new free") << "the other entries are still installed";
  EXPECT_EQ(ReadFileBytes(Installed("held.dll")), "old held");
  EXPECT_EQ(ReadFileBytes(PendingManifest()), pending) << "the update must stay pending";
  EXPECT_EQ(ReadFileBytes(LocalManifest()), "old");

  // The next plain start, with the file free again, completes it.
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(ReadFileBytes(Installed("held.dll")), "new held");
  EXPECT_EQ(ReadFileBytes(Installed("free.dll")), "new free");
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
  EXPECT_FALSE(Exists(PendingManifest()));
}

TEST_F(FinaliseTest, AFileLetGoWhileTheMoveIsRetriedIsInstalled) {
  Put(Staged("first.dll"), "new first");
  Put(Staged("held.dll"), "new held");
  const std::string pending = Pending({{"", "first.dll", "2", ""}, {"", "held.dll", "2", ""}});
  Put(PendingManifest(), pending);

  HANDLE holder = Hold(Staged("held.dll"));
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  // Let go a moment after the moves began (first.dll is in place), well
  // within the two seconds that a move is retried for.
  std::thread releaser([&] {
    WaitUntil([&] { return Exists(Installed("first.dll")); });
    Sleep(300);
    CloseHandle(holder);
  });
  const int result = Run();
  releaser.join();

  EXPECT_EQ(result, 1) << "a file in use for a moment must not hold the update back";
  EXPECT_EQ(ReadFileBytes(Installed("held.dll")), "new held");
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
}

// A scanner quarantines a staged file after the release was proved and
// before it moved. Catches package.json claiming the new ver for the old
// file, which would then never be fetched again.
TEST_F(FinaliseTest, AStagedFileGoneSinceItsProofIsNotTakenAsInstalled) {
  Put(LocalManifest(), "old");
  Put(Installed("vanish.dll"), "old vanish");
  Put(Staged("first.dll"), "new first");
  Put(Staged("held.dll"), "new held");
  Put(Staged("vanish.dll"), "new vanish");
  const std::string pending =
      Pending({{"", "first.dll", "2", ""}, {"", "held.dll", "2", ""}, {"", "vanish.dll", "2", ""}});
  Put(PendingManifest(), pending);

  // held.dll's move waits while it is held; the proof is over once first.dll is in place.
  HANDLE holder = Hold(Staged("held.dll"));
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::thread scanner([&] {
    WaitUntil([&] { return Exists(Installed("first.dll")); });
    DeleteFileW(Staged("vanish.dll").c_str());
    CloseHandle(holder);
  });
  const int result = Run();
  scanner.join();

  EXPECT_EQ(result, -1);
  EXPECT_EQ(ReadFileBytes(Installed("vanish.dll")), "old vanish");
  EXPECT_EQ(ReadFileBytes(LocalManifest()), "old") << "no ver is claimed for a file that is not in place";
  EXPECT_EQ(Run(), -1) << "the next start drops the update, so the check fetches it again";
  EXPECT_FALSE(Exists(PendingManifest()));
  EXPECT_EQ(ReadFileBytes(LocalManifest()), "old");
}

// Catches a release that deletes the program: every PC would lose its
// launcher and updater, and no later release could reach it.
TEST_F(FinaliseTest, ADeleteOfTheRunningProgramIsSkippedAndTheRestInstalled) {
  Put(Installed("ZenquiloStudent.exe"), "the program");
  Put(Staged("a.dll"), "new a");
  const std::string pending = Pending({{"", "zenquilostudent.exe", "3", "delete"}, {"", "a.dll", "2", ""}});
  Put(PendingManifest(), pending);

  EXPECT_EQ(RunAs(L"ZenquiloStudent.exe"), 1);
  EXPECT_EQ(ReadFileBytes(Installed("ZenquiloStudent.exe")), "the program");
  EXPECT_TRUE(RetiredPrograms(temp_).empty()) << "nor moved aside";
  EXPECT_EQ(ReadFileBytes(Installed("a.dll")), "new a");
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
}

TEST_F(FinaliseTest, ARunCutShortIsCompletedByTheNextOne) {
  // What a kill between two steps leaves: moved.dll already moved, next.dll
  // still staged, dropped.dll moved and deleted, halfway.dll moved but not yet
  // deleted; the pending manifest still in temp\.
  Put(LocalManifest(), "old");
  Put(Installed("moved.dll"), "new moved");
  Put(Installed("next.dll"), "old next");
  Put(Staged("next.dll"), "new next");
  Put(Installed("halfway.dll"), "new halfway");
  const std::string pending = Pending({{"", "moved.dll", "2", ""},
                                       {"", "dropped.dll", "2", "delete"},
                                       {"", "halfway.dll", "2", "delete"},
                                       {"", "next.dll", "2", ""}});
  Put(PendingManifest(), pending);

  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(ReadFileBytes(Installed("moved.dll")), "new moved");
  EXPECT_EQ(ReadFileBytes(Installed("next.dll")), "new next");
  EXPECT_FALSE(Exists(Installed("dropped.dll")));
  EXPECT_FALSE(Exists(Installed("halfway.dll")));
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
  EXPECT_FALSE(Exists(PendingManifest()));
}

TEST_F(FinaliseTest, AFileThatCannotBeDeletedKeepsTheUpdatePending) {
  Put(LocalManifest(), "old");
  Put(Installed("stuck.dll"), "old stuck");
  Put(Staged("free.dll"), "new free");
  const std::string pending = Pending({{"", "stuck.dll", "2", "delete"}, {"", "free.dll", "2", ""}});
  Put(PendingManifest(), pending);

  HANDLE holder = Hold(Installed("stuck.dll"));
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const int result = Run();
  CloseHandle(holder);

  EXPECT_EQ(result, -1) << "a file the release removes is still there";
  EXPECT_EQ(ReadFileBytes(Installed("free.dll")), "new free");
  EXPECT_EQ(ReadFileBytes(PendingManifest()), pending) << "the update must stay pending";
  EXPECT_EQ(ReadFileBytes(LocalManifest()), "old");

  EXPECT_EQ(Run(), 1);
  EXPECT_FALSE(Exists(Installed("stuck.dll")));
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
}

TEST_F(FinaliseTest, TheRunningProgramIsMovedAsideAndReplaced) {
  // A running copy of "the program" in the module directory: its image cannot
  // be replaced, only renamed.
  RunningProgram program = StartShell(L"ZenquiloStudent.exe");
  const std::string oldImage = ReadFileBytes(Installed("ZenquiloStudent.exe"));
  // The stand-in shells are one source under two names and can link to the
  // same bytes; an overlay after the image makes the next build distinct.
  const std::string newImage = oldImage + "next build";
  Put(Staged("ZenquiloStudent.exe"), newImage);
  const std::string pending = Pending({{"", "zenquilostudent.exe", "2", ""}});
  Put(PendingManifest(), pending);

  EXPECT_EQ(RunAs(L"ZenquiloStudent.exe"), 1);
  EXPECT_EQ(ReadFileBytes(Installed("ZenquiloStudent.exe")), newImage);
  EXPECT_FALSE(Exists(Staged("ZenquiloStudent.exe")));
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
  const std::vector<std::wstring> retired = RetiredPrograms(temp_);
  ASSERT_EQ(retired.size(), 1u) << "the old image waits in temp";
  EXPECT_EQ(ReadFileBytes(temp_ + retired[0]), oldImage);
  EXPECT_TRUE(program.IsRunning()) << "the old build goes on running from its new name";

  RemoveRetiredPrograms(temp_);
  EXPECT_EQ(RetiredPrograms(temp_).size(), 1u) << "still in use";
  program.Terminate();
  program.WaitForExit(10000, nullptr);
  ASSERT_TRUE(WaitUntil([&] {
    RemoveRetiredPrograms(temp_);
    return RetiredPrograms(temp_).empty();
  })) << "a later start removes it";
}

// A file that another process has loaded (an Explorer-loaded COM server): it
// cannot be replaced, only renamed. Catches an update held pending for ever.
TEST_F(FinaliseTest, AFileLoadedElsewhereIsMovedAsideAndReplaced) {
  ASSERT_TRUE(CopyFileW((g_fixtures + L"com_server.dll").c_str(), Installed("loaded.dll").c_str(), FALSE));
  HMODULE loaded = LoadLibraryW(Installed("loaded.dll").c_str());
  ASSERT_NE(loaded, nullptr);
  const std::string newBytes = ReadFileBytes(Installed("loaded.dll")) + "next build";
  Put(Staged("loaded.dll"), newBytes);
  const std::string pending = Pending({{"", "loaded.dll", "2", ""}});
  Put(PendingManifest(), pending);

  const int result = Run();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ReadFileBytes(Installed("loaded.dll")), newBytes);
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
  EXPECT_EQ(RetiredPrograms(temp_).size(), 1u) << "the old copy waits in temp";
  FreeLibrary(loaded);
  RemoveRetiredPrograms(temp_);
  EXPECT_TRUE(RetiredPrograms(temp_).empty()) << "a later start removes it";
}

// Without a release key, each case changes one thing of a staged release of
// a.dll (fetched), c.dll (unchanged) and the program. Catches a release
// installed with a file that is not its own, a version claimed whose file is
// missing, the install moved backwards, and another processor's program.
TEST_F(FinaliseTest, WithoutAKeyOnlyAProvedReleaseThatMovesForwardIsInstalled) {
  const std::string stub = ReadFileBytes(g_fixtures + L"zenquilo.exe");
  ASSERT_GT(stub.size(), 0x40u);
  std::string otherMachine = stub;
  const uint32_t peAt = *reinterpret_cast<const uint32_t*>(otherMachine.data() + 0x3C);
  otherMachine[peAt + 4] = otherMachine[peAt + 4] == '\x4C' ? '\x64' : '\x4C';
  otherMachine[peAt + 5] = otherMachine[peAt + 5] == '\x01' ? '\x86' : '\x01';
  struct Case {
    const char* what;
    bool installs;
    std::string installedVersion = "11";
    bool stagedChanged = false;
    bool stagedMissing = false;
    bool alreadyInstalled = false;
    bool otherProcessor = false;
  } const cases[] = {
      {"as staged", true},
      {"a staged file changed", false, "11", true},
      {"a fetched file missing", false, "11", false, true},
      {"a fetched file moved by an earlier run", true, "11", false, true, true},
      {"the same version installed", false, "12"},
      {"a newer version installed", false, "13"},
      {"another processor's program", false, "11", false, false, false, true},
  };
  for (const Case& c : cases) {
    const std::string local = ManifestJson({{"", "a.dll", "1", ""}, {"", "c.dll", "1", ""}}, c.installedVersion);
    Put(LocalManifest(), local);
    Put(Installed("a.dll"), c.alreadyInstalled ? "new a" : "old a");
    Put(Installed("c.dll"), "c");
    DeleteFileW(Installed("ZenquiloStudent.exe").c_str());
    Put(Installed("ZenquiloStudent.exe"), stub);
    Put(Staged("a.dll"), "new a");
    Put(Staged("ZenquiloStudent.exe"), c.otherProcessor ? otherMachine : stub + "next");
    const std::string pending =
        Pending({{"", "a.dll", "2", ""}, {"", "c.dll", "1", ""}, {"", "ZenquiloStudent.exe", "2", ""}});
    if (c.stagedChanged) Put(Staged("a.dll"), "forged a");
    if (c.stagedMissing) DeleteFileW(Staged("a.dll").c_str());
    Put(PendingManifest(), pending);

    EXPECT_EQ(RunAs(L"ZenquiloStudent.exe"), c.installs ? 1 : -1) << c.what;
    EXPECT_FALSE(Exists(PendingManifest())) << c.what << ": installed, or dropped to be fetched again";
    if (c.installs) {
      EXPECT_EQ(ReadFileBytes(Installed("a.dll")), "new a") << c.what;
      EXPECT_EQ(ReadFileBytes(Installed("ZenquiloStudent.exe")), stub + "next") << c.what;
      EXPECT_EQ(ReadFileBytes(LocalManifest()), pending) << c.what;
    } else {
      EXPECT_EQ(ReadFileBytes(Installed("a.dll")), c.alreadyInstalled ? "new a" : "old a") << c.what;
      EXPECT_EQ(ReadFileBytes(Installed("ZenquiloStudent.exe")), stub) << c.what << ": the program stays";
      EXPECT_EQ(ReadFileBytes(LocalManifest()), local) << c.what;
      EXPECT_FALSE(Exists(Staged("a.dll")) || Exists(Staged("ZenquiloStudent.exe")))
          << c.what << ": the staged files go with their manifest";
    }
    for (const std::wstring& retired : RetiredPrograms(temp_)) DeleteFileW((temp_ + retired).c_str());
  }
}

// Entries of a server's manifest that carry no file: a hashless "delete" and
// a "reg" with neither hash nor URL. Catches them demanded of staging.
TEST_F(FinaliseTest, EntriesWithoutAFileActOnTheInstalledFiles) {
  CreateDirectoryW(Installed("com").c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((g_fixtures + L"com_server.dll").c_str(), Installed("com\\com_server.dll").c_str(), FALSE));
  Put(Installed("gone.dll"), "old gone");
  Entry gone{"", "gone.dll", "2", "delete"};
  gone.hash = "";
  gone.remoteUrl = "";
  Entry reg{"com\\", "com_server.dll", "2", "reg"};
  reg.hash = "";
  reg.remoteUrl = "";
  const std::string pending = Pending({gone, reg});
  Put(PendingManifest(), pending);

  EXPECT_EQ(Run(), 1);
  EXPECT_FALSE(Exists(Installed("gone.dll")));
  EXPECT_TRUE(WaitUntil([&] { return Exists(Installed("com\\com_server.registered")); }, 60000))
      << "regsvr32 did not register the installed file";
  EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
}

// A signed pending update, checked again before anything moves. Each case
// changes one thing after run one staged it; the installed release must stay
// whole and the pending update go, so the next check fetches it anew.
TEST_F(FinaliseTest, ASignedPendingUpdateIsProvedBeforeAnythingMoves) {
  ReleasePublicKey publicKey{};
  ReleaseSecretKey secretKey{};
  ASSERT_TRUE(GenerateReleaseKeyPair(publicKey, secretKey));
  const ReleaseTrust trust = ReleaseTrust::FromKeyText(FormatPublicKey(publicKey));
  const auto md5 = [](const std::string& bytes) {
    CMD5Checksum digest;
    digest.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return digest.Final();
  };
  const auto entry = [&](const std::string& name, const std::string& bytes) {
    Entry e{"", name, "2", ""};
    e.hash = md5(bytes);
    e.sha256 = Sha256HexOfBytes(bytes);
    return e;
  };
  const auto withCrLf = [](const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
  };

  struct Case {
    const char* what;
    bool installs;
    bool signatureMissing = false;
    bool signatureOfOther = false;
    bool manifestChanged = false;
    bool stagedChanged = false;
    bool md5OnlyMatches = false;
  } const cases[] = {
      {"as staged", true},
      {"no signature", false, true},
      {"another release's signature", false, false, true},
      {"the pending manifest changed", false, false, false, true},
      {"a staged file changed", false, false, false, false, true},
      {"a staged file whose MD5 alone matches", false, false, false, false, false, true},
  };
  for (const Case& c : cases) {
    DeleteFileW(Installed("a.dll").c_str());
    DeleteFileW(Installed("b.dll").c_str());
    Put(LocalManifest(), "old");
    Put(Installed("b.dll"), "old b");
    Put(Staged("a.dll"), "new a");
    Put(Staged("b.dll"), c.stagedChanged ? "forged b" : "new b");
    Entry b = entry("b.dll", "new b");
    if (c.md5OnlyMatches) {
      Put(Staged("b.dll"), "forged b");
      b.hash = md5("forged b");
    }
    const std::string served = ManifestJson({entry("a.dll", "new a"), b});
    const std::string signature =
        FormatSignatureFile(SignRelease(c.signatureOfOther ? ManifestJson({}) : served, secretKey));
    std::string pending = withCrLf(served);
    if (c.manifestChanged) pending.replace(pending.find("\"12\""), 4, "\"13\"");
    Put(PendingManifest(), pending);
    DeleteFileW((PendingManifest() + L".sig").c_str());
    if (!c.signatureMissing) Put(PendingManifest() + L".sig", signature);

    EXPECT_EQ(RunAs(L"ZenquiloStudent.exe", trust), c.installs ? 1 : -1) << c.what;
    EXPECT_FALSE(Exists(PendingManifest())) << c.what << ": installed, or dropped to be fetched again";
    EXPECT_FALSE(Exists(PendingManifest() + L".sig")) << c.what;
    if (c.installs) {
      EXPECT_EQ(ReadFileBytes(Installed("a.dll")), "new a");
      EXPECT_EQ(ReadFileBytes(Installed("b.dll")), "new b");
      EXPECT_EQ(ReadFileBytes(LocalManifest()), pending);
    } else {
      EXPECT_FALSE(Exists(Installed("a.dll"))) << c.what << ": nothing of the release may be installed";
      EXPECT_EQ(ReadFileBytes(Installed("b.dll")), "old b") << c.what;
      EXPECT_EQ(ReadFileBytes(LocalManifest()), "old") << c.what;
    }
    if (c.stagedChanged || c.md5OnlyMatches) EXPECT_FALSE(Exists(Staged("b.dll"))) << "a forged file is not kept";
  }
}

// The mark that the fixture's DllRegisterServer leaves beside itself: the
// path it was loaded from, as regsvr32 named it.
std::wstring RegisteredAs(const std::wstring& directory) {
  const std::string bytes = ReadFileBytes(directory + L"com_server.registered");
  std::wstring path(bytes.size() / sizeof(wchar_t), L'\0');
  if (!path.empty()) memcpy(&path[0], bytes.data(), path.size() * sizeof(wchar_t));
  wchar_t longPath[MAX_PATH] = {};
  const DWORD length = GetLongPathNameW(path.c_str(), longPath, MAX_PATH);
  return (length == 0 || length >= MAX_PATH) ? path : std::wstring(longPath);
}

TEST_F(FinaliseTest, RegEntriesAreRegisteredThroughRegsvr32) {
  // A directory with a blank: the short path keeps the parameters one word.
  CreateDirectoryW(Staged("com dir").c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((g_fixtures + L"com_server.dll").c_str(), Staged("com dir\\com_server.dll").c_str(), FALSE));
  // Already installed by a run that was cut short: registered all the same.
  CreateDirectoryW(Installed("again").c_str(), nullptr);
  ASSERT_TRUE(CopyFileW((g_fixtures + L"com_server.dll").c_str(), Installed("again\\com_server.dll").c_str(), FALSE));
  Put(PendingManifest(),
      Pending({{"com dir\\", "com_server.dll", "1", "reg"}, {"again\\", "com_server.dll", "1", "reg"}}));

  EXPECT_EQ(Run(), 1);
  const std::wstring installed = Installed("com dir\\");
  EXPECT_TRUE(WaitUntil([&] { return Exists(installed + L"com_server.registered"); }, 60000))
      << "regsvr32 did not register the installed file";
  EXPECT_EQ(RegisteredAs(installed), installed + L"com_server.dll");
  EXPECT_TRUE(WaitUntil([&] { return Exists(Installed("again\\com_server.registered")); }, 60000));
  EXPECT_FALSE(Exists(Staged("com dir\\com_server.dll")));
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: finalise_update_tests <build directory>\n");
    return 2;
  }
  g_fixtures = WinePathFromUnix(argv[1]) + L"\\fixtures\\";
  return RUN_ALL_TESTS();
}
