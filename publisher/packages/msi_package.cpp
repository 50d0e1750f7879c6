#include "publisher/packages/msi_package.h"

#include <set>
#include <sstream>

#include "publisher/packages/run_tool.h"
#include "publisher/release_tree.h"

namespace {

// libgsf, which writes the database's strings for wixl and msibuild, takes
// the code page of a database that names none (wixl's) from
// WINDOWS_LANGUAGE; zh_CN gives 936, which msibuild then records as the
// database's own, so that Windows reads the Chinese names as written.
// Without it wixl writes such a name as empty text, and says nothing.
const char* const kToolEnvironment[] = {"env", "WINDOWS_LANGUAGE=zh_CN"};
constexpr char kCodePageTable[] = "\r\n\r\n936\t_ForceCodepage\r\n";
constexpr std::size_t kToolLinesShown = 5;

// A directory in out for what the tools read and write, removed with all it
// holds when dropped. A scratch directory left by an earlier run that was
// killed is removed first.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(fs::path path) : path_(std::move(path)) {}
  ~ScratchDirectory() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  bool Create() {
    std::error_code error;
    fs::remove_all(path_, error);
    return fs::create_directory(path_, error);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string Text(const fs::path& path) {
  std::string text;
  Utf8FromPath(path, text);
  return text;
}

std::string LastLines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  std::string shown;
  for (std::size_t i = lines.size() > kToolLinesShown ? lines.size() - kToolLinesShown : 0; i < lines.size(); ++i) {
    shown += (shown.empty() ? "" : " | ") + lines[i];
  }
  return shown;
}

bool Run(std::vector<std::string> arguments, bool inChinese, std::string& output, std::string& problem) {
  const std::string tool = arguments.front();
  if (inChinese) arguments.insert(arguments.begin(), std::begin(kToolEnvironment), std::end(kToolEnvironment));
  const int code = RunTool(arguments, output);
  if (code == 0) return true;
  problem = tool + (code < 0 ? " could not run" : " failed (exit code " + std::to_string(code) + ")") + ": " +
            LastLines(output);
  return false;
}

// Puts source at target: a hard link where both lie on one file system, a copy otherwise.
bool Place(const fs::path& source, const fs::path& target) {
  std::error_code error;
  fs::create_hard_link(source, target, error);
  if (error) fs::copy_file(source, target, error);
  return !error;
}

// Every file of the release, placed in scratch/files/ under a number (wixl
// finds a source only below the WiX source's directory, and reads "$" in its
// path as the start of a variable), and the manifest as package.json.
bool GatherFiles(const PackageInputs& inputs, const fs::path& scratch, std::vector<MsiFile>& files,
                 std::string& problem) {
  std::vector<ReleaseItem> items;
  if (WalkRelease(inputs.releaseDir, items, problem) != 0) return false;
  std::error_code error;
  fs::create_directory(scratch / "files", error);
  for (const ReleaseItem& item : items) {
    if (item.isDirectory) continue;
    const std::string source = "files/" + std::to_string(files.size());
    if (!Place(inputs.releaseDir / PathFromUtf8(item.path), scratch / PathFromUtf8(source))) {
      problem = "cannot copy \"" + item.path + "\" into \"" + Text(scratch) + "\"";
      return false;
    }
    files.push_back({item.path, source});
  }
  if (!WriteWholeFile(scratch / "package.json", inputs.manifestText)) {
    problem = "cannot write package.json into \"" + Text(scratch) + "\"";
    return false;
  }
  files.push_back({"package.json", "package.json"});
  return true;
}

bool WriteSources(const MsiSource& source, const fs::path& scratch, std::string& problem) {
  const bool written = WriteWholeFile(scratch / "package.wxs", source.wxs) &&
                       WriteWholeFile(scratch / "IniFile.idt", source.iniFileTable) &&
                       WriteWholeFile(scratch / "RemoveFile.idt", source.removeFileTable) &&
                       WriteWholeFile(scratch / "_ForceCodepage.idt", kCodePageTable);
  if (!written) problem = "cannot write the MSI's sources into \"" + Text(scratch) + "\"";
  return written;
}

// The names in the built database's File table, as msiinfo reads them back.
bool FileTableNames(const fs::path& msi, std::multiset<std::string>& names, std::string& problem) {
  std::string output;
  if (!Run({"msiinfo", "export", Text(msi), "File"}, false, output, problem)) return false;
  for (const std::vector<std::string>& columns : ExportedTableRows(output)) {
    // A name may come as "SHORT|long"; the long one is the file's.
    if (columns.size() > 2) names.insert(columns[2].substr(columns[2].find('|') + 1));
  }
  return true;
}

// wixl and msibuild report success even when a name did not survive the
// code page: every file must be found under its own name.
bool NamesArrived(const fs::path& msi, const std::vector<MsiFile>& files, std::string& problem) {
  std::multiset<std::string> expected, found;
  for (const MsiFile& file : files) expected.insert(file.installPath.substr(file.installPath.rfind('/') + 1));
  if (!FileTableNames(msi, found, problem)) return false;
  if (found == expected) return true;
  problem = "the MSI's File table does not hold the release's file names as they are";
  return false;
}

bool MakeDatabase(const PackageInputs& inputs, const MsiSource& source, const std::vector<MsiFile>& files,
                  const fs::path& scratch, std::string& problem) {
  const std::string msi = Text(scratch / "package.msi");
  std::string output;
  if (!Run({"wixl", "-a", ArchName(inputs.arch), "-o", msi, Text(scratch / "package.wxs")}, true, output, problem)) {
    return false;
  }
  std::vector<std::string> build = {"msibuild", msi};
  for (const char* table : {"_ForceCodepage.idt", "IniFile.idt", "RemoveFile.idt"}) {
    build.insert(build.end(), {"-i", Text(scratch / table)});
  }
  for (const std::string& query : source.queries) build.insert(build.end(), {"-q", query});
  return Run(build, true, output, problem) && NamesArrived(scratch / "package.msi", files, problem);
}

}  // namespace

std::vector<std::vector<std::string>> ExportedTableRows(const std::string& exported) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(exported);
  std::string line;
  for (int header = 0; header < 3 && std::getline(in, line); ++header) {
  }
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> columns;
    std::istringstream row(line);
    for (std::string column; std::getline(row, column, '\t');) columns.push_back(column);
    rows.push_back(columns);
  }
  return rows;
}

bool BuildMsiPackage(const PackageInputs& inputs, const fs::path& out, std::string& problem) {
  const std::string name = MsiPackageName(inputs);
  ScratchDirectory scratch(out / (name + ".scratch"));
  if (!scratch.Create()) {
    problem = "cannot make a scratch directory in \"" + Text(out) + "\"";
    return false;
  }
  std::vector<MsiFile> files;
  MsiSource source;
  if (!GatherFiles(inputs, scratch.path(), files, problem) || !MakeMsiSource(inputs, files, source, problem) ||
      !WriteSources(source, scratch.path(), problem) || !MakeDatabase(inputs, source, files, scratch.path(), problem)) {
    return false;
  }
  std::error_code error;
  fs::rename(scratch.path() / "package.msi", out / name, error);
  if (error) problem = "cannot put " + name + " into \"" + Text(out) + "\": " + error.message();
  return !error;
}
