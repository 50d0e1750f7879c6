// The installer executable: its NSIS script, its build with makensis, and
// zq_publish --make-installer. A fault here installs files under other
// names (a "$" or a quote read by NSIS), misses the registration that makes
// "kvts://" links work, leaves files behind at removal, or publishes a full
// release whose installer is not the one its manifest proves.

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "tests/publisher/publisher_test_support.h"
#include "publisher/cp936_text.h"
#include "publisher/manifest_writer.h"
#include "publisher/packages/installer_package.h"
#include "publisher/packages/installer_script.h"
#include "publisher/packages/package_inputs.h"
#include "update/install/pe_machine.h"
#include "update/manifest/package_manifest.h"
#include "update/proof/sha256_digest.h"

namespace {

PackageFileEntry Entry(const std::string& localPath, const std::string& name, const std::string& act,
                       const std::string& hash = "00000000000000000000000000000000") {
  PackageFileEntry entry;
  std::string narrowPath, narrowName;
  EXPECT_TRUE(Utf8ToCp936(localPath, narrowPath) && Utf8ToCp936(name, narrowName)) << localPath << name;
  entry.set_local_path(narrowPath);
  entry.set_name(narrowName);
  entry.set_hash(hash);
  entry.set_act(act);
  entry.set_ver("1");
  entry.set_size(3000);
  return entry;
}

PackageInputs Inputs(const std::vector<PackageFileEntry>& entries, ProgramArch arch = ProgramArch::kX64) {
  PackageManifest manifest;
  manifest.set_version("12");
  manifest.set_file_list(entries);
  PackageInputs inputs;
  inputs.manifestText = WriteManifestText(manifest);
  inputs.version = "12";
  inputs.arch = arch;
  return inputs;
}

bool Holds(const std::string& script, const std::string& line) {
  return script.find(line + "\n") != std::string::npos;
}

TEST(InstallerContents, ReadsEveryEntryOfTheManifest) {
  const PackageInputs inputs = Inputs({Entry("", "ZenquiloStudent.exe", ""), Entry("bin\\", "com.dll", "reg"),
                                       Entry("子 目录\\", "数据 $1.txt", ""), Entry("", "old.dll", "delete")});
  InstallerContents contents;
  std::string problem;
  ASSERT_TRUE(InstallerContentsFromManifest(inputs, contents, problem)) << problem;
  ASSERT_EQ(contents.files.size(), 3u);
  EXPECT_EQ(contents.files[1].installPath, "bin/com.dll");
  EXPECT_TRUE(contents.files[1].registers);
  EXPECT_FALSE(contents.files[0].registers);
  EXPECT_EQ(contents.files[2].installPath, "子 目录/数据 $1.txt") << "converted from code page 936";
  EXPECT_EQ(contents.files[2].source, "files/2");
  EXPECT_EQ(contents.deletions, std::vector<std::string>{"old.dll"});
}

TEST(InstallerContents, RefusesWhatNoInstallerCanHold) {
  struct Case {
    const char* what;
    std::string manifestText;
  } const cases[] = {
      {"no manifest", "{\"version\": "},
      {"the uninstaller's own name", Inputs({Entry("", "Uninstall.EXE", "")}).manifestText},
      {"a path leaving the install directory", Inputs({Entry("..\\", "x.dll", "")}).manifestText},
  };
  for (const Case& c : cases) {
    PackageInputs inputs;
    inputs.manifestText = c.manifestText;
    InstallerContents contents;
    std::string problem;
    EXPECT_FALSE(InstallerContentsFromManifest(inputs, contents, problem)) << c.what;
    EXPECT_FALSE(problem.empty()) << c.what;
  }
}

TEST(InstallerScript, InstallsEachFileUnderItsOwnName) {
  InstallerContents contents;
  contents.files = {{"ZenquiloStudent.exe", "files/0", "", 1, false},
                    {"子 目录/数据 $INSTDIR \"q\".txt", "files/1", "", 1, false},
                    {"bin/it's com.dll", "files/2", "", 1, true},
                    {"bin/sub/x.dat", "files/3", "", 1, false}};
  contents.deletions = {"bin/old $x.dll"};
  const std::string script = InstallerScript(Inputs({}), contents);
  EXPECT_TRUE(Holds(script, "  SetOutPath \"$INSTDIR\"\n  File \"/oname=ZenquiloStudent.exe\" \"files/0\""));
  // "$" doubled and the quote escaped: NSIS would otherwise read a variable
  // and end the string early.
  EXPECT_TRUE(Holds(
      script, "  SetOutPath \"$INSTDIR\\子 目录\"\n  File \"/oname=数据 $$INSTDIR $\\\"q$\\\".txt\" \"files/1\""));
  EXPECT_TRUE(Holds(script, "  Delete \"$INSTDIR\\bin\\old $$x.dll\""));
  // The command is in single quotes: the name's own quote is escaped too.
  EXPECT_TRUE(Holds(script, "  ExecWait '\"$SYSDIR\\regsvr32.exe\" /s \"$INSTDIR\\bin\\it$\\'s com.dll\"'"));
  EXPECT_TRUE(Holds(script, "  ExecWait '\"$SYSDIR\\regsvr32.exe\" /u /s \"$INSTDIR\\bin\\it$\\'s com.dll\"'"));
  // The uninstaller removes each file, then the directories, deepest first.
  EXPECT_TRUE(Holds(script, "  Delete /REBOOTOK \"$INSTDIR\\子 目录\\数据 $$INSTDIR $\\\"q$\\\".txt\""));
  EXPECT_TRUE(Holds(script, "  RMDir \"$INSTDIR\\bin\\sub\"\n  RMDir \"$INSTDIR\\bin\"\n  RMDir \"$INSTDIR\\子 "
                            "目录\"\n  RMDir \"$INSTDIR\""));
  EXPECT_TRUE(Holds(script, "  RMDir /r \"$INSTDIR\\temp\""));
}

TEST(InstallerScript, RegistersTheProgramForEveryUser) {
  const std::string script = InstallerScript(Inputs({}), InstallerContents());
  for (const char* line : {
           "!define PRODUCT_KEY \"Software\\ZenquiloStudent\"",
           "  WriteRegStr HKLM \"${PRODUCT_KEY}\" \"InstallDir\" \"$INSTDIR\"",
           "  WriteRegStr HKLM \"Software\\Classes\\kvts\" \"\" \"URL:kvts Protocol\"",
           "  WriteRegStr HKLM \"Software\\Classes\\kvts\" \"URL Protocol\" \"\"",
           "  WriteRegStr HKLM \"Software\\Classes\\kvts\\shell\\open\\command\" \"\" '\"$INSTDIR\\${PROGRAM}\" "
           "\"%1\"'",
           "  DeleteRegKey HKLM \"Software\\Classes\\kvts\"",
           "!define MUTEX \"NivaroPelmanhur\"",
           "!define VERSION \"12\"",
           "!define NUMERIC_VERSION \"0.0.0.12\"",
           "    File \"/oname=package.json\" \"package.json\"",
           "!insertmacro MUI_LANGUAGE \"SimpChinese\"",
           "!insertmacro MUI_LANGUAGE \"English\"",
       }) {
    EXPECT_TRUE(Holds(script, line)) << line;
  }
}

TEST(InstallerScript, InstallsEachArchitectureIntoItsProgramFiles) {
  const std::string x64 = InstallerScript(Inputs({}, ProgramArch::kX64), InstallerContents());
  const std::string x86 = InstallerScript(Inputs({}, ProgramArch::kX86), InstallerContents());
  EXPECT_TRUE(Holds(x64, "Target amd64-unicode") && Holds(x64, "!define PROGRAM_FILES \"$PROGRAMFILES64\""));
  EXPECT_TRUE(Holds(x86, "Target x86-unicode") && Holds(x86, "!define PROGRAM_FILES \"$PROGRAMFILES32\""));
}

class InstallerBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    work_.Write("tree/ZenquiloStudent.exe", ProgramImage(0x8664));
    work_.Write("tree/子 目录/数据 $x.txt", "data");
    work_.Write("tree/bin/it's b.dll", "library");
  }
  // zq_publish --make-installer of work/tree into work/<out>.
  Outcome Publish(const std::string& out, std::vector<std::string> more = {}) {
    std::vector<std::string> arguments = {"--release-dir", work_.Text("tree"), "--version",       "3",
                                          "--date",        "20261209",         "--base-url",      "http://x/y",
                                          "--out",         work_.Text(out),    "--make-installer"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return RunZqPublish(arguments);
  }
  PublisherScratch work_;
};

#ifndef _WIN32
// Each architecture's installer is a program for it (NSIS's amd64 stub for
// x64), installing into its own Program Files.
TEST_F(InstallerBuild, MakesTheInstallerThatTheFullReleaseProves) {
  struct Case {
    std::uint16_t machine;
    const char* name;
  } const cases[] = {{0x8664, "ZenquiloStudent-x64-setup.exe"}, {0x014C, "ZenquiloStudent-x86-setup.exe"}};
  for (const Case& c : cases) {
    work_.Write("tree/ZenquiloStudent.exe", ProgramImage(c.machine));
    const std::string out = std::string("out-") + c.name;
    const Outcome outcome = Publish(out, {"--reg", "bin/*.dll"});
    ASSERT_EQ(outcome.code, 0) << outcome.err;
    PackageManifest manifest;
    ASSERT_EQ(PackageManifestParser::Parse(work_.Read(out + "/package.json"), manifest), 0);
    EXPECT_TRUE(manifest.full_update());
    EXPECT_EQ(manifest.install_package_url(), std::string("http://x/y/installer/") + c.name);
    const std::string installer = work_.Read(out + "/installer/" + c.name);
    std::uint16_t machine = 0;
    EXPECT_TRUE(PeMachineOf(installer.substr(0, kPeHeaderBytes), machine) && machine == c.machine) << c.name;
    EXPECT_EQ(manifest.install_package_sha256(), Sha256HexOfBytes(installer));
    EXPECT_EQ(manifest.install_package_size(), static_cast<long long>(installer.size()));
  }
  // Nothing of the builds is left beside --out.
  EXPECT_EQ(std::distance(fs::directory_iterator(work_.path()), fs::directory_iterator()), 3);
}

TEST_F(InstallerBuild, RefusesAReleaseThatIsNotItsManifest) {
  PackageInputs inputs;
  std::string problem;
  PackageManifest manifest;
  manifest.set_version("3");
  manifest.set_file_list({Entry("", "ZenquiloStudent.exe", "", "0123456789ABCDEF0123456789ABCDEF")});
  ASSERT_TRUE(ReadPackageInputs(work_.path() / "tree", WriteManifestText(manifest), inputs, problem)) << problem;
  EXPECT_FALSE(BuildInstallerPackage(inputs, work_.path() / "setup.exe", problem));
  EXPECT_NE(problem.find("\"ZenquiloStudent.exe\" is not the file its manifest names"), std::string::npos) << problem;
  EXPECT_FALSE(fs::exists(work_.path() / "setup.exe"));
}
#else
TEST_F(InstallerBuild, TheWindowsBuildSaysItMakesNone) {
  const Outcome outcome = Publish("out");
  EXPECT_EQ(outcome.code, kPublishIoError);
  EXPECT_NE(outcome.err.find("packages are made by the Linux build of zq_publish"), std::string::npos) << outcome.err;
  EXPECT_FALSE(fs::exists(work_.path() / "out"));
}
#endif

TEST_F(InstallerBuild, RefusesWhatCannotMakeAnInstaller) {
  Outcome outcome = Publish("both", {"--installer", work_.Text("tree/bin/it's b.dll")});
  EXPECT_EQ(outcome.code, kPublishBadArguments) << "one installer or the other";
  fs::remove(work_.path() / "tree/ZenquiloStudent.exe");
  outcome = Publish("none");
  EXPECT_EQ(outcome.code, kPublishRefused) << "no program, no architecture";
  EXPECT_NE(outcome.err.find("no installer can be made: the release holds no ZenquiloStudent.exe"), std::string::npos)
      << outcome.err;
  EXPECT_FALSE(fs::exists(work_.path() / "none"));
}

}  // namespace
