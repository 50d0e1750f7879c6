// zq_publish package and the MSI it builds. A fault here installs an
// older release over a newer one (a version that does not keep the order),
// lets two MSIs of one product stand side by side, installs a file under an
// empty or mangled name (wixl drops what its code page cannot hold, and a
// "$" it reads as a variable), or packages a tree that the installed
// package.json does not describe. The built database is read back with
// msitools, as Windows Installer would read it.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "publisher/packages/msi_package.h"
#include "publisher/packages/run_tool.h"
#include "publisher/publisher.h"
#include "tests/publisher/publisher_test_support.h"

namespace {

constexpr char kBase[] = "http://127.0.0.1:8080/zenquilo";

// A release tree published as work/out, ready to be packaged.
class Published : public PublisherScratch {
 public:
  explicit Published(std::uint16_t machine = 0x8664, const std::string& alsoPublished = "") {
    Write("tree/ZenquiloStudent.exe", ProgramImage(machine));
    if (!alsoPublished.empty()) Write("tree/" + alsoPublished, "published too");
    Write("tree/docs/说明.txt", "release notes");
    Write("tree/a&$b$$c.txt", "a name for the preprocessor");
    const Outcome published = RunZqPublish({"--release-dir", Text("tree"), "--version", "7", "--date", "20261207",
                                            "--base-url", kBase, "--out", Text("out"), "--no-smaller-forms"});
    EXPECT_EQ(published.code, kPublishOk) << published.err;
  }
  Outcome Package(std::vector<std::string> extra = {}, const std::string& out = "pkg") const {
    std::vector<std::string> arguments = {"package",    "--published", Text("out"), "--release-dir",
                                          Text("tree"), "--out",       Text(out)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunZqPublish(arguments);
  }
};

MsiSource SourceFor(ProgramArch arch, const std::vector<std::string>& paths) {
  PackageInputs inputs;
  inputs.version = "7";
  inputs.arch = arch;
  std::vector<MsiFile> files;
  for (const std::string& path : paths) files.push_back({path, "files/" + std::to_string(files.size())});
  MsiSource source;
  std::string problem;
  EXPECT_TRUE(MakeMsiSource(inputs, files, source, problem)) << problem;
  return source;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Windows Installer compares the first three fields, each within its limit;
// the mapping must keep every release above the one before it.
TEST(MsiProductVersion, KeepsTheReleasesOrderWithinTheInstallersLimits) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"1", "0.0.1"},        {"65535", "0.0.65535"},          {"65536", "0.1.0"}, {"16777215", "0.255.65535"},
      {"16777216", "1.0.0"}, {"2147483647", "127.255.65535"}, {"0007", "0.0.7"},
  };
  for (const auto& row : table) {
    std::string version;
    EXPECT_TRUE(MsiProductVersion(row.first, version)) << row.first;
    EXPECT_EQ(version, row.second) << row.first;
  }
  for (const std::string bad : {"2147483648", "99999999999", "", "12a", "-1"}) {
    std::string version;
    EXPECT_FALSE(MsiProductVersion(bad, version)) << bad;
  }
}

// Each architecture into its own Program Files, under its own upgrade code:
// a component without Win64 in the x64 MSI would write the registry's 32-bit
// view, where the 64-bit program never looks.
TEST(MsiSource, InstallsEachArchitectureIntoItsOwnProgramFiles) {
  const MsiSource x64 = SourceFor(ProgramArch::kX64, {"ZenquiloStudent.exe", "bin/a.dll", "package.json"});
  const MsiSource x86 = SourceFor(ProgramArch::kX86, {"ZenquiloStudent.exe", "bin/a.dll", "package.json"});
  EXPECT_NE(x64.wxs.find("Id=\"ProgramFiles64Folder\""), std::string::npos);
  EXPECT_EQ(Count(x64.wxs, "<Component "), Count(x64.wxs, "<Component Id=\""));
  EXPECT_EQ(Count(x64.wxs, "<Component "), Count(x64.wxs, "Guid=\"*\" Win64=\"yes\""));
  EXPECT_EQ(Count(x64.wxs, "<RegistrySearch "), Count(x64.wxs, "Type=\"raw\" Win64=\"yes\""));
  EXPECT_NE(x86.wxs.find("Id=\"ProgramFilesFolder\""), std::string::npos);
  EXPECT_EQ(x86.wxs.find("Win64"), std::string::npos);
  const auto upgradeCode = [](const std::string& wxs) {
    const size_t at = wxs.find("UpgradeCode=\"");
    return wxs.substr(at, wxs.find('"', at + 13) - at);
  };
  EXPECT_NE(upgradeCode(x64.wxs), upgradeCode(x86.wxs));
}

// wixl derives component GUIDs from identifiers: a file keeps its
// identifiers from one release to the next, whatever else comes and goes.
TEST(MsiSource, GivesAFileTheSameIdentifiersInEveryRelease) {
  const MsiSource first = SourceFor(ProgramArch::kX64, {"bin/a.dll", "package.json"});
  const MsiSource next = SourceFor(ProgramArch::kX64, {"a.txt", "bin/0.dll", "bin/a.dll", "package.json"});
  const auto idsOf = [](const std::string& wxs, const std::string& name) {
    const size_t file = wxs.find("Name=\"" + name + "\"");
    const size_t component = wxs.rfind("<Component Id=\"", file);
    return wxs.substr(component, file - component);
  };
  EXPECT_EQ(idsOf(first.wxs, "a.dll"), idsOf(next.wxs, "a.dll"));
}

// A name the MSI cannot carry is refused by name, never installed as
// something else: one outside code page 936 (wixl would write it empty), one
// with "$(" (wixl would read a variable).
TEST(MsiCanHold, RefusesNamesWixlWouldChange) {
  const std::vector<std::pair<std::string, bool>> table = {
      {"docs/说明.txt", true},      {"a$b$$c.txt", true}, {"a&b's (1).txt", true},
      {"docs/\xC3\xA5.txt", false}, {"$(x).txt", false},  {"lib$(ARCH)/a.dll", false},
  };
  for (const auto& row : table) {
    std::string problem;
    EXPECT_EQ(MsiCanHold(row.first, problem), row.second) << row.first;
    if (!row.second) EXPECT_NE(problem.find(row.first), std::string::npos) << problem;
  }
  PackageInputs inputs;
  inputs.version = "7";
  MsiSource source;
  std::string problem;
  EXPECT_FALSE(MakeMsiSource(inputs, {{"$(x).txt", "files/0"}}, source, problem));
}

// The command refuses before it writes anything: options it cannot take, a
// published directory without a manifest, and a tree that is not the
// release the manifest describes.
TEST(PackageCommand, RefusesBeforeWritingAnything) {
  struct Case {
    const char* what;
    std::vector<std::string> extra;
    std::map<std::string, std::string> treeEdits;  // path to new bytes; empty bytes remove the file
    int code;
    const char* message;
  };
  const std::vector<Case> table = {
      {"certificate without its password", {"--sign-cert", "c.p12"}, {}, kPublishBadArguments, "go together"},
      {"a certificate that is not there",
       {"--sign-cert", "c.p12", "--sign-password-file", "p.txt"},
       {},
       kPublishBadArguments,
       "is not a file"},
      {"a changed file", {}, {{"docs/说明.txt", "other notes"}}, kPublishRefused, "MD5 differs"},
      {"a file the manifest does not name", {}, {{"extra.txt", "x"}}, kPublishRefused, "does not name it"},
      {"a file missing", {}, {{"docs/说明.txt", ""}}, kPublishRefused, "not in the release directory"},
  };
  for (const Case& row : table) {
    Published work;
    for (const auto& edit : row.treeEdits) {
      if (edit.second.empty()) {
        fs::remove(work.path() / "tree" / PathFromUtf8(edit.first));
      } else {
        work.Write("tree/" + edit.first, edit.second);
      }
    }
    const Outcome outcome = work.Package(row.extra);
    EXPECT_EQ(outcome.code, row.code) << row.what << ": " << outcome.err;
    EXPECT_NE(outcome.err.find(row.message), std::string::npos) << row.what << ": " << outcome.err;
    EXPECT_FALSE(fs::exists(work.path() / "pkg")) << row.what;
  }
  Published inside;
  const Outcome intoTree = inside.Package({}, "tree/pkg");
  EXPECT_EQ(intoTree.code, kPublishBadArguments) << intoTree.err;
  EXPECT_NE(intoTree.err.find("inside --release-dir"), std::string::npos) << intoTree.err;
  EXPECT_FALSE(fs::exists(inside.path() / "tree/pkg"));
  Published unreadable;
  fs::remove(unreadable.path() / "out/package.json");
  EXPECT_EQ(unreadable.Package().code, kPublishIoError);
  // Published as it is, but not something the MSI can name.
  Published variable(0x8664, "$(x).txt");
  const Outcome outcome = variable.Package();
  EXPECT_EQ(outcome.code, kPublishRefused) << outcome.err;
  EXPECT_FALSE(fs::exists(variable.path() / "pkg"));
}

#ifdef _WIN32
// The Windows build has no wixl: it says where packages are made.
TEST(PackageCommand, IsLeftToTheLinuxBuild) {
  Published work;
  const Outcome outcome = work.Package();
  EXPECT_EQ(outcome.code, kPublishIoError);
  EXPECT_NE(outcome.err.find("Linux build"), std::string::npos) << outcome.err;
}
#else
// One table of the database as msiinfo exports it: the rows' columns.
std::vector<std::vector<std::string>> Table(const fs::path& msi, const std::string& table) {
  std::string output;
  EXPECT_EQ(RunTool({"msiinfo", "export", msi.string(), table}, output), 0) << output;
  return ExportedTableRows(output);
}

std::string Column(const std::vector<std::vector<std::string>>& rows, const std::string& key, size_t column) {
  for (const auto& row : rows) {
    if (!row.empty() && row[0] == key && row.size() > column) return row[column];
  }
  return "<none>";
}

// Built and read back as Windows Installer reads it: every file under its
// own name (Chinese, "&" and "$" included), the manifest as package.json
// byte for byte, the release's MSI version, the settings conditioned on
// their properties, Chinese text in code page 936, and no scratch left.
TEST(PackageCommand, BuildsAnMsiThatHoldsTheRelease) {
  std::string output;
  if (RunTool({"wixl", "--version"}, output) != 0 || RunTool({"msiextract", "--version"}, output) != 0) {
    GTEST_SKIP() << "wixl or msitools is not installed";
  }
  for (const std::uint16_t machine : {0x8664, 0x014C}) {
    Published work(machine);
    const Outcome outcome = work.Package();
    ASSERT_EQ(outcome.code, kPublishOk) << outcome.err;
    const std::string arch = machine == 0x8664 ? "x64" : "x86";
    const fs::path msi = work.path() / "pkg" / ("ZenquiloStudent-" + arch + ".msi");
    const fs::path setup = work.path() / "pkg" / ("ZenquiloStudent-" + arch + "-setup.exe");
    EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(work.path() / "pkg"), {}), (std::set<fs::path>{msi, setup}));

    std::multiset<std::string> names;
    for (const auto& row : Table(msi, "File")) names.insert(row.at(2));
    EXPECT_EQ(names, (std::multiset<std::string>{"ZenquiloStudent.exe", "说明.txt", "a&$b$$c.txt", "package.json"}));
    EXPECT_EQ(Column(Table(msi, "Property"), "ProductVersion", 1), "0.0.7");
    EXPECT_EQ(Column(Table(msi, "Component"), "UpdateUrlSetting", 4), "UPDATE_URL");
    EXPECT_EQ(Column(Table(msi, "Component"), "HomeUrlSetting", 4), "HOME_URL");
    EXPECT_EQ(Column(Table(msi, "Directory"), "INSTALLDIR", 1),
              machine == 0x8664 ? "ProgramFiles64Folder" : "ProgramFilesFolder");
    EXPECT_EQ(Column(Table(msi, "IniFile"), "UpdateUrl", 4), "URL_UPDATE_PACKAGE");

    // msiextract names the 32-bit Program Files, and leaves the 64-bit one out.
    const fs::path extracted = work.path() / "extracted";
    ASSERT_EQ(RunTool({"msiextract", "-C", extracted.string(), msi.string()}, output), 0) << output;
    const std::string installed =
        machine == 0x8664 ? "extracted/ZenquiloStudent/" : "extracted/Program Files/ZenquiloStudent/";
    EXPECT_EQ(work.Read(installed + "package.json"), work.Read("out/package.json"));
    EXPECT_EQ(work.Read(installed + "docs/说明.txt"), "release notes");
  }
}
#endif

}  // namespace
