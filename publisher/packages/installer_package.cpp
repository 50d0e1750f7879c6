#include "publisher/packages/installer_package.h"

#include <sstream>
#include <vector>

#include "publisher/packages/installer_script.h"
#include "publisher/packages/run_tool.h"
#include "publisher/release_drafts.h"
#include "publisher/release_tree.h"

namespace {

// The release's files linked into scratch/files/ under ASCII names, each
// proved against its entry: the script then names no path of the operator's,
// and makensis reads no name in the locale's encoding.
bool StageFiles(const PackageInputs& inputs, InstallerContents& contents, const fs::path& scratch,
                std::string& problem) {
  std::error_code error;
  fs::create_directory(scratch / "files", error);
  for (InstallerFile& file : contents.files) {
    const fs::path source = fs::absolute(inputs.releaseDir / PathFromUtf8(file.installPath), error);
    FileDigests digests;
    if (!fs::is_regular_file(source, error) || !DigestFile(source, digests) || digests.md5 != file.md5) {
      problem = "the release's " + Quoted(file.installPath) + " is not the file its manifest names";
      return false;
    }
    file.size = digests.size;
    fs::create_symlink(source, scratch / PathFromUtf8(file.source), error);
    if (error) {
      problem = "cannot link " + Quoted(file.installPath) + " for makensis: " + error.message();
      return false;
    }
  }
  return true;
}

// What makensis said last: its error and the line it stopped at.
std::string LastLines(const std::string& output) {
  std::istringstream lines(output);
  std::vector<std::string> kept;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) kept.push_back(line);
  }
  std::string text;
  for (size_t i = kept.size() > 3 ? kept.size() - 3 : 0; i < kept.size(); ++i) {
    if (!text.empty()) text += " / ";
    text += kept[i];
  }
  return text;
}

// makensis (3.08) crashes on any non-ASCII text in a script unless the
// locale's encoding is UTF-8, whatever the script's own encoding says.
bool RunMakensis(const fs::path& script, std::string& problem) {
  std::string scriptText, output;
  Utf8FromPath(script, scriptText);
  const int code = RunTool({"env", "LC_ALL=C.UTF-8", "makensis", "-NOCONFIG", "-V2", scriptText}, output);
  if (code == 0) return true;
  problem = "makensis failed (" + std::to_string(code) + "): " + LastLines(output);
  return false;
}

std::string Shown(const fs::path& path) {
  std::string text;
  Utf8FromPath(path, text);
  return Quoted(text);
}

bool MoveInto(const fs::path& from, const fs::path& out, std::string& problem) {
  std::error_code error;
  fs::rename(from, out, error);
  // Another file system: copied instead.
  if (error) fs::copy_file(from, out, fs::copy_options::overwrite_existing, error);
  if (error) problem = "cannot write " + Shown(out) + ": " + error.message();
  return !error;
}

}  // namespace

std::string InstallerPackageName(const PackageInputs& inputs) {
  return std::string("ZenquiloStudent-") + ArchName(inputs.arch) + "-setup.exe";
}

bool BuildInstallerPackage(const PackageInputs& inputs, const fs::path& out, std::string& problem) {
  std::string output;
  if (RunTool({"makensis", "-VERSION"}, output) != 0) {
    problem = "makensis (Debian's package nsis) cannot be run: " + LastLines(output);
    return false;
  }
  InstallerContents contents;
  if (!InstallerContentsFromManifest(inputs, contents, problem)) return false;
  PartialRelease scratch;
  if (scratch.Create(out, problem) != 0 || !StageFiles(inputs, contents, scratch.path(), problem)) return false;
  // A byte order mark: makensis then reads the script as UTF-8 in any locale.
  const std::string script = "\xEF\xBB\xBF" + InstallerScript(inputs, contents);
  if (!WriteWholeFile(scratch.path() / "package.json", inputs.manifestText) ||
      !WriteWholeFile(scratch.path() / "installer.nsi", script)) {
    problem = "cannot write the installer's script beside " + Shown(out);
    return false;
  }
  return RunMakensis(scratch.path() / "installer.nsi", problem) && MoveInto(scratch.path() / "setup.exe", out, problem);
}
