#include <map>
#include <string>

#include "publisher/command_requests.h"
#include "publisher/operator_commands.h"
#include "publisher/packages/code_signing.h"
#include "publisher/packages/installer_package.h"
#include "publisher/packages/msi_package.h"
#include "publisher/packages/package_inputs.h"
#include "publisher/publisher.h"
#include "publisher/release_drafts.h"
#include "publisher/release_plan.h"
#include "publisher/release_tree.h"
#include "update/manifest/package_manifest.h"

namespace {

constexpr char kUsage[] = "usage: zq_publish package --published DIR --release-dir DIR --out DIR\n"
                          "                  [--sign-cert FILE.p12 --sign-password-file FILE]\n";

// The installer executable beside the MSI in --out.
bool BuildInstallerInto(const PackageInputs& inputs, const fs::path& out, std::string& problem) {
  return BuildInstallerPackage(inputs, out / InstallerPackageName(inputs), problem);
}

// One kind of package, built from a release's inputs into --out (which
// exists) under name; false with problem set (one line) when it could not be.
struct PackageKind {
  const char* what;
  bool (*build)(const PackageInputs& inputs, const fs::path& out, std::string& problem);
  std::string (*name)(const PackageInputs& inputs);
};

// Every package of a release, in the order they are built.
const PackageKind kPackageKinds[] = {
    {"MSI", BuildMsiPackage, MsiPackageName},
    {"installer executable", BuildInstallerInto, InstallerPackageName},
};

// The release tree must be the one the manifest was published from: the
// same files, each with the manifest's MD5. A package of another tree would
// install files that its package.json does not describe, and the updater
// would never put them right (it compares vers, not bytes).
bool TreeMatchesManifest(const std::vector<ReleaseItem>& items, const std::string& manifestText, std::string& problem) {
  PackageManifest manifest;
  PackageManifestParser::Parse(manifestText, manifest);
  std::map<std::string, std::string> named;  // install path to MD5
  for (const PackageFileEntry& entry : manifest.file_list()) {
    std::string path;
    if (entry.act() == kDeleteAct) continue;
    if (!EntryInstallPath(entry, path, problem)) return false;
    named[path] = entry.hash();
  }
  for (const ReleaseItem& item : items) {
    if (item.isDirectory) continue;
    const auto entry = named.find(item.path);
    if (entry == named.end()) {
      problem = "\"" + item.path + "\" is in the release directory but package.json does not name it";
      return false;
    }
    if (entry->second != item.hash) {
      problem = "\"" + item.path + "\" is not the file package.json names (its MD5 differs)";
      return false;
    }
    named.erase(entry);
  }
  if (!named.empty())
    problem = "\"" + named.begin()->first + "\" is named by package.json but not in the release directory";
  return named.empty();
}

bool NamesFitTheMsi(const std::vector<ReleaseItem>& items, std::string& problem) {
  for (const ReleaseItem& item : items) {
    if (!item.isDirectory && !MsiCanHold(item.path, problem)) return false;
  }
  return true;
}

// The inputs of every package: the published manifest, the release tree it
// describes, and its MSI version. 0, or 2, 3 or 4 with the message printed.
int ReadInputs(const PackageRequest& request, PackageInputs& inputs, std::ostream& err) {
  std::string manifestText, problem;
  if (!ReadWholeFile(PathFromUtf8(request.published) / "package.json", manifestText)) {
    err << "zq_publish package: cannot read \"" << request.published << "/package.json\"\n";
    return kPublishIoError;
  }
  const fs::path releaseDir = PathFromUtf8(request.releaseDir);
  std::error_code error;
  if (!fs::is_directory(releaseDir, error)) {
    err << "zq_publish package: --release-dir \"" << request.releaseDir << "\" is not a directory\n";
    return kPublishBadArguments;
  }
  std::string msiVersion;
  if (!ReadPackageInputs(releaseDir, manifestText, inputs, problem)) {
    err << "zq_publish package: refused: " << problem << '\n';
    return kPublishRefused;
  }
  if (!MsiProductVersion(inputs.version, msiVersion)) {
    err << "zq_publish package: refused: version " << inputs.version
        << " is above 2147483647: an MSI cannot number it\n";
    return kPublishRefused;
  }
  std::vector<ReleaseItem> items;
  const int walked = WalkRelease(releaseDir, items, problem);
  if (walked != kPublishOk || !TreeMatchesManifest(items, manifestText, problem) || !NamesFitTheMsi(items, problem)) {
    err << "zq_publish package: refused: " << problem << '\n';
    return walked != kPublishOk ? walked : kPublishRefused;
  }
  return kPublishOk;
}

// What lies in out for the release's architecture, with its size.
void PrintPackages(const PackageInputs& inputs, const fs::path& out, const std::string& outText, std::ostream& os) {
  const std::string prefix = std::string("ZenquiloStudent-") + ArchName(inputs.arch);
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(out, error)) {
    std::string name;
    if (!Utf8FromPath(entry.path().filename(), name) || name.compare(0, prefix.size(), prefix) != 0) continue;
    os << name << "  " << entry.file_size(error) << " bytes\n";
  }
  std::string msiVersion;
  MsiProductVersion(inputs.version, msiVersion);
  os << "packaged release " << inputs.version << " (" << ArchName(inputs.arch) << ", MSI version " << msiVersion
     << ") in " << outText << '\n';
}

// With a certificate, packages are made only of a program that carries its
// signature (zq_publish sign), and each package is signed in turn. 0, or 2
// or 3 with the message printed.
int CheckCodeSigning(const PackageRequest& request, const PackageInputs& inputs, std::ostream& err) {
  if (!request.codeSigning) return kPublishOk;
  std::string problem;
  if (!CheckSigningCertificate(*request.codeSigning, problem)) {
    err << "zq_publish package: " << problem << '\n';
    return kPublishBadArguments;
  }
  if (!VerifySignature(*request.codeSigning, inputs.releaseDir / kSignedProgramName, problem)) {
    err << "zq_publish package: refused: cannot prove " << kSignedProgramName << " signed by --sign-cert: " << problem
        << '\n';
    return kPublishRefused;
  }
  return kPublishOk;
}

// Builds one kind into outDir, and signs it with the certificate if given.
// 0, or 3 or 4 with the message printed.
int BuildPackage(const PackageKind& kind, const PackageRequest& request, const PackageInputs& inputs,
                 const fs::path& outDir, std::ostream& err) {
  std::string problem;
  if (!kind.build(inputs, outDir, problem)) {
    err << "zq_publish package: the " << kind.what << " was not built: " << problem << '\n';
    return kPublishIoError;
  }
  if (!request.codeSigning) return kPublishOk;
  const int signedResult = SignInPlace(*request.codeSigning, outDir / PathFromUtf8(kind.name(inputs)), problem);
  if (signedResult != kPublishOk) err << "zq_publish package: the " << kind.what << ": " << problem << '\n';
  return signedResult;
}

int Package(const PackageRequest& request, std::ostream& out, std::ostream& err) {
  PackageInputs inputs;
  int result = ReadInputs(request, inputs, err);
  if (result == kPublishOk) result = CheckCodeSigning(request, inputs, err);
  if (result != kPublishOk) return result;
  const fs::path outDir = PathFromUtf8(request.out);
  std::error_code error;
  const fs::path inside =
      fs::weakly_canonical(outDir, error).lexically_relative(fs::canonical(PathFromUtf8(request.releaseDir), error));
  if (!inside.empty() && *inside.begin() != "..") {
    err << "zq_publish package: --out must not lie inside --release-dir (the tree would no longer match its "
           "manifest)\n";
    return kPublishBadArguments;
  }
  fs::create_directories(outDir, error);
  if (!fs::is_directory(outDir, error)) {
    err << "zq_publish package: cannot make --out \"" << request.out << "\"\n";
    return kPublishIoError;
  }
  for (const PackageKind& kind : kPackageKinds) {
    result = BuildPackage(kind, request, inputs, outDir, err);
    if (result != kPublishOk) return result;
  }
  PrintPackages(inputs, outDir, request.out, out);
  return kPublishOk;
}

}  // namespace

int RunPackage(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  PackageRequest request;
  std::string problem;
  if (!ParsePackageRequest(arguments, request, problem)) {
    err << "zq_publish package: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  return Package(request, out, err);
}
