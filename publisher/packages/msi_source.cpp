#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <sstream>

#include "publisher/cp936_text.h"
#include "publisher/packages/msi_package.h"
#include "update/proof/sha256_digest.h"

namespace {

// Fixed for good: each architecture's MSIs replace one another, and only
// one another (the two install into different Program Files).
constexpr char kUpgradeCodeX64[] = "{B78E3EC7-A928-4DC0-9825-C3EB67C84E05}";
constexpr char kUpgradeCodeX86[] = "{E221F85D-27C5-4E25-B153-CAF1FB390EDB}";
constexpr char kRegistryKey[] = "Software\\ZenquiloStudent";
constexpr char kSettingsFile[] = "zenqui~1.ini|zenquilostudent.ini";

// A public property that a school sets, the ini key it fills, and where the
// MSI remembers it for the next upgrade, which is given no properties.
struct Setting {
  const char* property;
  const char* iniKey;
  const char* registryName;
  const char* component;
};
const Setting kSettings[] = {
    {"UPDATE_URL", "URL_UPDATE_PACKAGE", "UpdateUrl", "UpdateUrlSetting"},
    {"HOME_URL", "URL_HOME_PACKAGE", "HomeUrl", "HomeUrlSetting"},
};

// One directory of the install, with what lies in it.
struct DirectoryNode {
  std::vector<const MsiFile*> files;
  std::map<std::string, DirectoryNode> children;
};

// Text for an attribute or element of the WiX source. wixl's preprocessor
// reads "$(" as the start of a variable (MsiCanHold refuses it in names) and
// turns a run of "$" into one fewer, even in attribute values and after
// XML's own escapes: each run gets one more.
std::string Xml(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '$':
        out += '$';
        if (i + 1 == text.size() || text[i + 1] != '$') out += '$';
        break;
      default: out += text[i];
    }
  }
  return out;
}

// A WiX identifier that stays the same for the same path in every release:
// wixl derives each component's GUID from the identifiers above it.
std::string IdFor(char kind, const std::string& path) {
  return std::string(1, kind) + Sha256HexOfBytes(path).substr(0, 32);
}

bool ParseRelease(const std::string& version, std::int64_t& number) {
  if (version.empty() || version.size() > 10) return false;
  number = 0;
  for (const char c : version) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return number <= std::numeric_limits<std::int32_t>::max();
}

std::string SpreadVersion(std::int64_t number) {
  return std::to_string(number >> 24) + "." + std::to_string((number >> 16) & 255) + "." +
         std::to_string(number & 65535);
}

// The tree of install directories, every name checked.
bool BuildTree(const std::vector<MsiFile>& files, DirectoryNode& root, std::string& problem) {
  for (const MsiFile& file : files) {
    if (!MsiCanHold(file.installPath, problem)) return false;
    DirectoryNode* node = &root;
    std::string::size_type start = 0, slash;
    while ((slash = file.installPath.find('/', start)) != std::string::npos) {
      node = &node->children[file.installPath.substr(start, slash - start)];
      start = slash + 1;
    }
    node->files.push_back(&file);
  }
  return true;
}

void WriteProduct(const PackageInputs& inputs, const std::string& msiVersion, const std::string& nextVersion,
                  std::ostream& wxs) {
  const char* upgradeCode = inputs.arch == ProgramArch::kX86 ? kUpgradeCodeX86 : kUpgradeCodeX64;
  wxs << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
      << "  <Product Id=\"*\" Name=\"ZenquiloStudent\" Language=\"1033\" Version=\"" << msiVersion
      << "\" Manufacturer=\"ZenquiloStudent\" UpgradeCode=\"" << upgradeCode << "\">\n"
      << "    <Package InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"perMachine\""
      << " Description=\"ZenquiloStudent release " << inputs.version << "\"/>\n"
      << "    <Media Id=\"1\" Cabinet=\"release.cab\" EmbedCab=\"yes\"/>\n"
      // Up to this release inclusive: an MSI made again of the same release
      // replaces the first rather than standing beside it. (wixl ignores
      // IncludeMaximum; the next release's version is the exclusive bound.)
      << "    <Upgrade Id=\"" << upgradeCode << "\">\n"
      << "      <UpgradeVersion Property=\"OLDER_RELEASE_FOUND\" Minimum=\"0.0.0\" IncludeMinimum=\"yes\" Maximum=\""
      << nextVersion << "\"/>\n"
      << "      <UpgradeVersion Property=\"NEWER_RELEASE_FOUND\" Minimum=\"" << msiVersion
      << "\" IncludeMinimum=\"no\" OnlyDetect=\"yes\"/>\n"
      << "    </Upgrade>\n"
      << "    <Condition Message=\""
      << Xml("已安装更新的 ZenquiloStudent。A newer ZenquiloStudent is installed already.")
      << "\">NOT NEWER_RELEASE_FOUND</Condition>\n"
      // The updater rewrites installed files between MSIs; an upgrade must
      // put the MSI's own bytes back whatever their versions and dates.
      << "    <Property Id=\"REINSTALLMODE\" Value=\"amus\"/>\n"
      << "    <Property Id=\"ARPNOMODIFY\" Value=\"1\"/>\n"
      << "    <Property Id=\"ARPCOMMENTS\" Value=\"Release " << inputs.version << "\"/>\n";
}

// Each setting read back from the registry, unless given on this command
// line: AppSearch would overwrite a given value with the remembered one, so
// the given one is kept aside before it and put back after it.
void WriteSettingProperties(const PackageInputs& inputs, std::ostream& wxs) {
  const char* view = inputs.arch == ProgramArch::kX86 ? "" : " Win64=\"yes\"";
  for (const Setting& setting : kSettings) {
    const std::string given = std::string("GIVEN_") + setting.property;
    wxs << "    <Property Id=\"" << setting.property << "\"><RegistrySearch Id=\"Remembered" << setting.registryName
        << "\" Root=\"HKLM\" Key=\"" << Xml(kRegistryKey) << "\" Name=\"" << setting.registryName << "\" Type=\"raw\""
        << view << "/></Property>\n"
        << "    <CustomAction Id=\"KeepGiven" << setting.registryName << "\" Property=\"" << given << "\" Value=\"["
        << setting.property << "]\" Execute=\"immediate\" Impersonate=\"yes\"/>\n"
        << "    <CustomAction Id=\"TakeGiven" << setting.registryName << "\" Property=\"" << setting.property
        << "\" Value=\"[" << given << "]\" Execute=\"immediate\" Impersonate=\"yes\"/>\n";
  }
  // Only a removal of its own, not one by an upgrade, takes the settings
  // file: the upgrade writes it again and keeps what else it holds.
  wxs << "    <CustomAction Id=\"SettingsFileOnRemoval\" Property=\"SETTINGS_REMOVAL_DIR\" Value=\"[INSTALLDIR]\""
         " Execute=\"immediate\" Impersonate=\"yes\"/>\n";
}

// wixl places actions given Before or After wrongly: every position is a number.
void WriteSequences(std::ostream& wxs) {
  std::ostringstream keepAndTake;
  int sequence = 46;
  for (const Setting& setting : kSettings) {
    keepAndTake << "      <Custom Action=\"KeepGiven" << setting.registryName << "\" Sequence=\"" << sequence++ << "\">"
                << setting.property << "</Custom>\n";
  }
  sequence = 51;
  for (const Setting& setting : kSettings) {
    keepAndTake << "      <Custom Action=\"TakeGiven" << setting.registryName << "\" Sequence=\"" << sequence++
                << "\">GIVEN_" << setting.property << "</Custom>\n";
  }
  wxs << "    <InstallExecuteSequence>\n"
      << keepAndTake.str()
      // The older release goes first, whole: the new one then installs into
      // an empty place, whatever the updater left in it.
      << "      <RemoveExistingProducts Sequence=\"1401\"/>\n"
      << "      <RemoveIniValues Sequence=\"3100\"/>\n"
      << "      <Custom Action=\"SettingsFileOnRemoval\" Sequence=\"3450\">"
      << Xml("REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE") << "</Custom>\n"
      << "      <WriteIniValues Sequence=\"5100\"/>\n"
      << "    </InstallExecuteSequence>\n"
      << "    <InstallUISequence>\n"
      << keepAndTake.str() << "    </InstallUISequence>\n";
}

void WriteFiles(const DirectoryNode& node, const std::string& win64, const std::string& indent,
                std::vector<std::string>& components, std::ostream& wxs) {
  for (const MsiFile* file : node.files) {
    const std::string component = IdFor('c', file->installPath);
    const std::string name = file->installPath.substr(file->installPath.rfind('/') + 1);
    wxs << indent << "<Component Id=\"" << component << "\" Guid=\"*\"" << win64 << "><File Id=\""
        << IdFor('f', file->installPath) << "\" Name=\"" << Xml(name) << "\" Source=\"" << Xml(file->source)
        << "\" KeyPath=\"yes\"/></Component>\n";
    components.push_back(component);
  }
}

void WriteDirectories(const DirectoryNode& node, const std::string& path, const std::string& win64,
                      const std::string& indent, std::vector<std::string>& components, std::ostream& wxs) {
  WriteFiles(node, win64, indent, components, wxs);
  for (const auto& child : node.children) {
    const std::string childPath = path + child.first + "/";
    wxs << indent << "<Directory Id=\"" << IdFor('d', childPath) << "\" Name=\"" << Xml(child.first) << "\">\n";
    WriteDirectories(child.second, childPath, win64, indent + "  ", components, wxs);
    wxs << indent << "</Directory>\n";
  }
}

// temp\ and, within it, the release's directories, where the updater stages
// files: directories without components, named only so that removal finds them.
void WriteTempDirectories(const DirectoryNode& node, const std::string& path, const std::string& indent,
                          std::ostream& wxs) {
  for (const auto& child : node.children) {
    const std::string childPath = path + child.first + "/";
    wxs << indent << "<Directory Id=\"" << IdFor('t', childPath) << "\" Name=\"" << Xml(child.first) << "\"";
    if (child.second.children.empty()) {
      wxs << "/>\n";
      continue;
    }
    wxs << ">\n";
    WriteTempDirectories(child.second, childPath, indent + "  ", wxs);
    wxs << indent << "</Directory>\n";
  }
}

void WriteRegistration(const std::string& win64, std::ostream& wxs) {
  wxs << "          <Component Id=\"Registration\" Guid=\"*\"" << win64 << ">\n"
      << "            <RegistryValue Root=\"HKLM\" Key=\"" << Xml(kRegistryKey)
      << "\" Name=\"InstallDir\" Type=\"string\" Value=\"[INSTALLDIR]\" KeyPath=\"yes\"/>\n"
      // The installer executable of a full release reads it: on a PC IT
      // installed, the MSI's entry stays the one entry.
      << "            <RegistryValue Root=\"HKLM\" Key=\"" << Xml(kRegistryKey)
      << "\" Name=\"Package\" Type=\"string\" Value=\"MSI\"/>\n"
      << "            <RegistryKey Root=\"HKLM\" Key=\"Software\\Classes\\kvts\">\n"
      << "              <RegistryValue Type=\"string\" Value=\"URL:kvts Protocol\"/>\n"
      << "              <RegistryValue Name=\"URL Protocol\" Type=\"string\" Value=\"\"/>\n"
      << "              <RegistryValue Key=\"shell\\open\\command\" Type=\"string\" Value=\""
      << Xml("\"[INSTALLDIR]ZenquiloStudent.exe\" \"%1\"") << "\"/>\n"
      << "            </RegistryKey>\n"
      << "          </Component>\n";
  // Installed only when its property is set (msibuild adds the condition,
  // which wixl cannot write): an empty key would override the program's
  // default with empty text.
  for (const Setting& setting : kSettings) {
    wxs << "          <Component Id=\"" << setting.component << "\" Guid=\"*\"" << win64
        << "><RegistryValue Root=\"HKLM\" Key=\"" << Xml(kRegistryKey) << "\" Name=\"" << setting.registryName
        << "\" Type=\"string\" Value=\"[" << setting.property << "]\" KeyPath=\"yes\"/></Component>\n";
  }
}

void WriteStartMenu(const std::string& win64, std::ostream& wxs) {
  wxs << "      <Directory Id=\"ProgramMenuFolder\">\n"
      << "        <Component Id=\"StartMenuShortcut\" Guid=\"*\"" << win64 << ">\n"
      << "          <Shortcut Id=\"ProgramShortcut\" Name=\"ZenquiloStudent\""
      << " Target=\"[INSTALLDIR]ZenquiloStudent.exe\" WorkingDirectory=\"INSTALLDIR\"/>\n"
      << "          <RegistryValue Root=\"HKLM\" Key=\"" << Xml(kRegistryKey)
      << "\" Name=\"StartMenuShortcut\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"/>\n"
      << "        </Component>\n"
      << "      </Directory>\n";
}

void WriteLayout(const PackageInputs& inputs, const DirectoryNode& root, std::ostream& wxs) {
  const bool x86 = inputs.arch == ProgramArch::kX86;
  const std::string win64 = x86 ? "" : " Win64=\"yes\"";
  std::vector<std::string> components;
  wxs << "    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">\n"
      << "      <Directory Id=\"" << (x86 ? "ProgramFilesFolder" : "ProgramFiles64Folder") << "\">\n"
      << "        <Directory Id=\"INSTALLDIR\" Name=\"ZenquiloStudent\">\n";
  WriteDirectories(root, "", win64, "          ", components, wxs);
  wxs << "          <Directory Id=\"TEMPDIR\" Name=\"temp\">\n";
  WriteTempDirectories(root, "", "            ", wxs);
  wxs << "          </Directory>\n";
  WriteRegistration(win64, wxs);
  wxs << "        </Directory>\n"
      << "      </Directory>\n";
  WriteStartMenu(win64, wxs);
  wxs << "    </Directory>\n"
      << "    <Feature Id=\"Complete\" Level=\"1\">\n";
  components.insert(components.end(), {"Registration", "StartMenuShortcut"});
  for (const Setting& setting : kSettings) components.push_back(setting.component);
  for (const std::string& component : components) wxs << "      <ComponentRef Id=\"" << component << "\"/>\n";
  wxs << "    </Feature>\n"
      << "  </Product>\n"
      << "</Wix>\n";
}

std::string IniFileTable() {
  std::string table = "IniFile\tFileName\tDirProperty\tSection\tKey\tValue\tAction\tComponent_\r\n"
                      "s72\tl255\tS72\tl96\tl128\tl255\ti2\ts72\r\n"
                      "IniFile\tIniFile\r\n";
  // Action 0: the key is added, or replaced when the file has it already.
  for (const Setting& setting : kSettings) {
    table += std::string(setting.registryName) + "\t" + kSettingsFile + "\tINSTALLDIR\tglobal\t" + setting.iniKey +
             "\t[" + setting.property + "]\t0\t" + setting.component + "\r\n";
  }
  return table;
}

void CollectTempDirectories(const DirectoryNode& node, const std::string& path, int depth,
                            std::multimap<int, std::string, std::greater<int>>& byDepth) {
  for (const auto& child : node.children) {
    const std::string childPath = path + child.first + "/";
    byDepth.emplace(depth, IdFor('t', childPath));
    CollectTempDirectories(child.second, childPath, depth + 1, byDepth);
  }
}

// What removal takes beyond the installed files: temp\ with whatever the
// updater left in it, and the settings file. Windows reads "*" as every file
// of the folder; Wine deletes only named files, so the names the client
// itself writes into temp\ are listed too. Rows run in this order: files
// before their folders, inner folders before outer ones.
std::string RemoveFileTable(const DirectoryNode& root) {
  std::multimap<int, std::string, std::greater<int>> byDepth;
  CollectTempDirectories(root, "", 1, byDepth);
  byDepth.emplace(0, "TEMPDIR");
  std::string table = "FileKey\tComponent_\tFileName\tDirProperty\tInstallMode\r\n"
                      "s72\ts72\tL255\ts72\ti2\r\n"
                      "RemoveFile\tFileKey\r\n";
  // InstallMode 2: at removal.
  const char* const kClientFiles[] = {"package.json", "package.json.sig", "issued.txt", "zenquilostudent.log",
                                      "zenquilostudent.log.1"};
  int row = 0;
  for (const char* name : kClientFiles) {
    table += "TempFile" + std::to_string(++row) + "\tRegistration\t" + name + "\tTEMPDIR\t2\r\n";
  }
  for (const auto& directory : byDepth) {
    table += "TempFiles" + std::to_string(++row) + "\tRegistration\t*\t" + directory.second + "\t2\r\n";
  }
  for (const auto& directory : byDepth) {
    table += "TempFolder" + std::to_string(++row) + "\tRegistration\t\t" + directory.second + "\t2\r\n";
  }
  table += std::string("SettingsFile\tRegistration\t") + kSettingsFile + "\tSETTINGS_REMOVAL_DIR\t2\r\n";
  return table;
}

std::vector<std::string> TableQueries() {
  std::vector<std::string> queries;
  std::string secure = "NEWER_RELEASE_FOUND;OLDER_RELEASE_FOUND";
  for (const Setting& setting : kSettings) {
    queries.push_back(std::string("UPDATE Component SET Condition = '") + setting.property + "' WHERE Component = '" +
                      setting.component + "'");
    secure += std::string(";") + setting.property;
  }
  // A per-machine install hands only secure public properties from the
  // client to the service that installs.
  queries.push_back("UPDATE Property SET Value = '" + secure + "' WHERE Property = 'SecureCustomProperties'");
  return queries;
}

}  // namespace

bool MsiProductVersion(const std::string& version, std::string& msiVersion) {
  std::int64_t number = 0;
  if (!ParseRelease(version, number)) return false;
  msiVersion = SpreadVersion(number);
  return true;
}

bool MsiCanHold(const std::string& installPath, std::string& problem) {
  std::string cp936;
  if (!Utf8ToCp936(installPath, cp936)) {
    problem = "\"" + installPath + "\": an MSI holds names in code page 936, which cannot hold this one";
    return false;
  }
  if (installPath.find("$(") != std::string::npos) {
    problem = "\"" + installPath + "\": wixl reads \"$(\" in a name as a variable; rename the file";
    return false;
  }
  return true;
}

std::string MsiPackageName(const PackageInputs& inputs) {
  return std::string("ZenquiloStudent-") + ArchName(inputs.arch) + ".msi";
}

bool MakeMsiSource(const PackageInputs& inputs, const std::vector<MsiFile>& files, MsiSource& source,
                   std::string& problem) {
  std::int64_t release = 0;
  if (!ParseRelease(inputs.version, release)) {
    problem = "version " + inputs.version + " is above 2147483647: an MSI cannot number it";
    return false;
  }
  DirectoryNode root;
  if (!BuildTree(files, root, problem)) return false;
  std::ostringstream wxs;
  WriteProduct(inputs, SpreadVersion(release), SpreadVersion(release + 1), wxs);
  WriteSettingProperties(inputs, wxs);
  WriteSequences(wxs);
  WriteLayout(inputs, root, wxs);
  source.wxs = wxs.str();
  source.iniFileTable = IniFileTable();
  source.removeFileTable = RemoveFileTable(root);
  source.queries = TableQueries();
  return true;
}
