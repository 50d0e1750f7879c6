#include "update/install/finalise_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const std::string kModule = "C:\\Program Files\\Zenquilo\\";
const std::string kTemp = "C:\\Program Files\\Zenquilo\\temp\\";

PackageFileEntry Entry(const std::string& localPath, const std::string& name, const std::string& ver,
                       const std::string& act = "") {
  PackageFileEntry entry;
  entry.set_local_path(localPath);
  entry.set_name(name);
  entry.set_ver(ver);
  entry.set_act(act);
  entry.set_hash("0123456789ABCDEF0123456789ABCDEF");
  entry.set_remote_url("http://files.example/" + name);
  return entry;
}

PackageManifest Manifest(std::vector<PackageFileEntry> entries) {
  PackageManifest manifest;
  manifest.set_version("12");
  manifest.set_type("force");
  manifest.set_file_list(std::move(entries));
  return manifest;
}

FinaliseStep PlanOne(const PackageFileEntry& entry, const PackageManifest& local = PackageManifest()) {
  const std::vector<FinaliseStep> steps = PlanFinalisation(Manifest({entry}), local, PackageManifest(), kModule, kTemp);
  EXPECT_EQ(steps.size(), 1u);
  return steps.empty() ? FinaliseStep() : steps.front();
}

// Catches a skip that still carries paths an executor could act on.
void ExpectSkipped(const FinaliseStep& step, FinaliseSkip why, const std::string& what) {
  EXPECT_EQ(step.skip, why) << what;
  EXPECT_TRUE(step.stagedPath.empty() && step.installedPath.empty() && step.installDirectory.empty()) << what;
}

TEST(PlanFinalisation, AnEmptyListPlansNothing) {
  EXPECT_TRUE(PlanFinalisation(Manifest({}), PackageManifest(), PackageManifest(), kModule, kTemp).empty());
}

TEST(PlanFinalisation, OnlyVersionsThatCountAsNewerAreInstalled) {
  struct Case {
    const char* ver;
    bool installed;
  };
  // Before the local manifest is loaded every entry is compared with ver 0.
  for (const Case& c : {Case{"0", false}, Case{"", false}, Case{"beta", false}, Case{"-3", false}, Case{"2.5", true},
                        Case{"1", true}, Case{" 7x", true}}) {
    const FinaliseStep step = PlanOne(Entry("", "a.dll", c.ver, "reg"));
    if (c.installed) {
      EXPECT_EQ(step.skip, FinaliseSkip::kNone) << c.ver;
      EXPECT_EQ(step.action, FinaliseAction::kRegister) << c.ver;
    } else {
      ExpectSkipped(step, FinaliseSkip::kNotNewer, c.ver);
      EXPECT_EQ(step.action, FinaliseAction::kNone) << c.ver << ": a skipped entry must not register";
    }
  }
}

TEST(PlanFinalisation, ComparesWithTheLocalEntryOfExactlyTheSameName) {
  const PackageManifest local = Manifest({Entry("", "a.dll", "3"), Entry("", "B.dll", "9")});
  EXPECT_EQ(PlanOne(Entry("", "a.dll", "3"), local).skip, FinaliseSkip::kNotNewer);
  EXPECT_EQ(PlanOne(Entry("", "a.dll", "4"), local).skip, FinaliseSkip::kNone);
  EXPECT_EQ(PlanOne(Entry("", "b.dll", "4"), local).skip, FinaliseSkip::kNone) << "names match byte for byte";
}

TEST(PlanFinalisation, OnlyTheExactActsRegisterOrDelete) {
  struct Case {
    const char* act;
    FinaliseAction action;
  };
  for (const Case& c :
       {Case{"reg", FinaliseAction::kRegister}, Case{"delete", FinaliseAction::kDelete},
        Case{"REG", FinaliseAction::kNone}, Case{"reg ", FinaliseAction::kNone}, Case{" reg", FinaliseAction::kNone},
        Case{"Delete", FinaliseAction::kNone}, Case{"", FinaliseAction::kNone}, Case{"copy", FinaliseAction::kNone}}) {
    const FinaliseStep step = PlanOne(Entry("bin\\", "a.dll", "2", c.act));
    EXPECT_EQ(step.action, c.action) << "'" << c.act << "'";
    EXPECT_EQ(step.installedPath, kModule + "bin\\a.dll") << "'" << c.act << "': the move happens for every act";
  }
}

TEST(PlanFinalisation, PathsAreTheDirectoriesWithLocalPathAndNameAppended) {
  struct Case {
    const char* localPath;
    const char* name;
    const char* relative;
  };
  for (const Case& c : {Case{"", "a.dll", "a.dll"}, Case{"bin\\", "a.dll", "bin\\a.dll"},
                        Case{"bin", "a.dll", "bina.dll"}, Case{"bin/sub\\", "a.dll", "bin/sub\\a.dll"},
                        Case{"res\\", "\xD6\xD0\xCE\xC4.png", "res\\\xD6\xD0\xCE\xC4.png"},
                        Case{"conf\\", "package.json", "conf\\package.json"}}) {
    const FinaliseStep step = PlanOne(Entry(c.localPath, c.name, "1"));
    EXPECT_EQ(step.skip, FinaliseSkip::kNone) << c.relative;
    EXPECT_EQ(step.name, c.name);
    EXPECT_EQ(step.stagedPath, kTemp + c.relative);
    EXPECT_EQ(step.installedPath, kModule + c.relative);
    EXPECT_EQ(step.installDirectory, kModule + c.localPath);
  }
}

TEST(PlanFinalisation, PathsThatLeaveOurDirectoriesAreSkipped) {
  for (const auto& [localPath, name] :
       std::vector<std::pair<std::string, std::string>>{{"..\\..\\Windows\\System32\\", "x.dll"},
                                                        {"", "..\\x.dll"},
                                                        {"bin/../../", "x.dll"},
                                                        {"C:\\Windows\\", "x.dll"},
                                                        {"\\\\server\\share\\", "x.dll"},
                                                        {"\\", "x.dll"},
                                                        {"", "x.dll:stream"},
                                                        {"", ""}}) {
    ExpectSkipped(PlanOne(Entry(localPath, name, "5", "reg")), FinaliseSkip::kUnsafePath, localPath + name);
  }
}

TEST(PlanFinalisation, EntriesNamingADirectoryOrThePendingManifestAreSkipped) {
  // Moving temp\bin\ would carry a whole directory; moving temp\package.json
  // would end the pending state before the other files are in place.
  for (const auto& [localPath, name] : std::vector<std::pair<std::string, std::string>>{{"bin\\", ""},
                                                                                        {"bin\\", "."},
                                                                                        {"bin\\", "..."},
                                                                                        {"bin/", " ."},
                                                                                        {"", "package.json"},
                                                                                        {"", "PACKAGE.JSON"},
                                                                                        {".\\", "package.json"},
                                                                                        {"", "package.json. "}}) {
    ExpectSkipped(PlanOne(Entry(localPath, name, "5", "delete")), FinaliseSkip::kNotAFile, localPath + name);
  }
}

// Catches a release that deletes the program that installs releases: no later
// one could reach the PC. Replacing it with a new build stays allowed.
TEST(PlanFinalisation, TheRunningProgramIsNeverDeleted) {
  const std::string program = "ZenquiloStudent.exe";
  for (const auto& [localPath, name] : std::vector<std::pair<std::string, std::string>>{
           {"", "ZenquiloStudent.exe"}, {"", "zenquilostudent.EXE"}, {".\\", "ZenquiloStudent.exe. "}}) {
    const std::vector<FinaliseStep> steps =
        PlanFinalisation(Manifest({Entry(localPath, name, "5", "delete")}), PackageManifest(), PackageManifest(),
                         kModule, kTemp, program);
    ASSERT_EQ(steps.size(), 1u);
    ExpectSkipped(steps[0], FinaliseSkip::kOwnProgram, localPath + name);
  }
  const std::vector<FinaliseStep> steps =
      PlanFinalisation(Manifest({Entry("", program, "5"), Entry("bin\\", program, "5", "delete")}), PackageManifest(),
                       PackageManifest(), kModule, kTemp, program);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_TRUE(steps[0].replacesRunningProgram);
  EXPECT_EQ(steps[1].action, FinaliseAction::kDelete) << "a file of that name elsewhere is no program of ours";
}

TEST(PlanFinalisation, OneStepPerEntryInListOrder) {
  const std::vector<FinaliseStep> steps =
      PlanFinalisation(Manifest({Entry("", "one.dll", "1"), Entry("", "two.dll", "0"), Entry("..\\", "three.dll", "1"),
                                 Entry("lib\\", "four.dll", "3", "delete")}),
                       PackageManifest(), PackageManifest(), kModule, kTemp);
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].name, "one.dll");
  EXPECT_EQ(steps[1].skip, FinaliseSkip::kNotNewer);
  EXPECT_EQ(steps[2].skip, FinaliseSkip::kUnsafePath);
  EXPECT_EQ(steps[3].installedPath, kModule + "lib\\four.dll");
  EXPECT_EQ(steps[3].action, FinaliseAction::kDelete);
}

// Catches a "delete" or file-less entry demanded of staging (which never
// fetches it), and a file demanded in place that staging had no reason to fetch.
TEST(PlanFinalisation, OnlyFilesNewerThanTheInstalledOnesMustBeInPlace) {
  PackageFileEntry noFile = Entry("", "n.dll", "2", "reg");
  noFile.set_hash("");
  noFile.set_remote_url("");
  PackageFileEntry hashlessWithUrl = Entry("", "u.dll", "2");
  hashlessWithUrl.set_hash("");
  const PackageManifest installed = Manifest({Entry("", "same.dll", "2"), Entry("", "older.dll", "1")});
  const std::vector<FinaliseStep> steps =
      PlanFinalisation(Manifest({Entry("", "same.dll", "2"), Entry("", "older.dll", "2"),
                                 Entry("", "gone.dll", "2", "delete"), noFile, hashlessWithUrl}),
                       PackageManifest(), installed, kModule, kTemp);
  ASSERT_EQ(steps.size(), 5u);
  struct Expected {
    bool staged;
    bool inPlace;
  } const expected[] = {{true, false}, {true, true}, {false, false}, {false, false}, {true, true}};
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].skip, FinaliseSkip::kNone) << steps[i].name << ": still installed as before";
    EXPECT_EQ(steps[i].expectsStagedFile, expected[i].staged) << steps[i].name;
    EXPECT_EQ(steps[i].mustBeInPlace, expected[i].inPlace) << steps[i].name;
  }
  EXPECT_EQ(steps[3].action, FinaliseAction::kRegister) << "a file-less entry's act still applies";
}

TEST(StagedPathsNamedBy, NamesOnlyFilesBelowTemp) {
  EXPECT_EQ(StagedPathsNamedBy(
                Manifest({Entry("bin\\", "a.dll", "0"), Entry("..\\", "x.dll", "2"), Entry("", "package.json", "2"),
                          Entry("bin\\", "", "2"), Entry("", "b.dll", "2", "delete")}),
                kTemp),
            (std::vector<std::string>{kTemp + "bin\\a.dll", kTemp + "b.dll"}));
}

}  // namespace
