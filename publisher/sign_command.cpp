#include <string>
#include <vector>

#include "publisher/command_requests.h"
#include "publisher/operator_commands.h"
#include "publisher/packages/code_signing.h"
#include "publisher/publisher.h"
#include "publisher/release_tree.h"

namespace {

constexpr char kUsage[] = "usage: zq_publish sign --release-dir DIR --sign-cert FILE.p12 --sign-password-file FILE\n";

int Fail(std::ostream& err, int result, const std::string& problem) {
  err << "zq_publish sign: " << (result == kPublishRefused ? "refused: " : "") << problem << '\n';
  return result;
}

// The signed program's file beside the program until it takes its place;
// removed when it does not.
class SignedBeside {
 public:
  explicit SignedBeside(const fs::path& program) : path_(program) { path_ += ".signing"; }
  ~SignedBeside() {
    std::error_code error;
    if (!path_.empty()) fs::remove(path_, error);
  }
  SignedBeside(const SignedBeside&) = delete;
  SignedBeside& operator=(const SignedBeside&) = delete;

  const fs::path& path() const { return path_; }
  // Renames it over target, with target's permissions. 0, or 4 with problem set.
  int Replace(const fs::path& target, std::string& problem) {
    std::error_code error;
    fs::permissions(path_, fs::status(target, error).permissions(), error);
    fs::rename(path_, target, error);
    if (error) {
      problem = std::string("cannot put the signed program in the place of ") + kSignedProgramName + ": " +
                error.message() + "; it is left unsigned";
      return kPublishIoError;
    }
    path_.clear();
    return kPublishOk;
  }

 private:
  fs::path path_;
};

// Signs the program beside itself, proves the signature, then renames it
// over the program: the tree never holds a program half written, nor one
// whose signature does not verify. 0, or 3 or 4 with problem set.
int SignInPlace(const SigningCertificate& certificate, const fs::path& program, std::string& problem) {
  SignedBeside signedProgram(program);
  if (!SignFile(certificate, program, signedProgram.path(), problem)) {
    problem = std::string("cannot sign ") + kSignedProgramName + ": " + problem;
    return kPublishRefused;
  }
  if (!VerifySignature(certificate, signedProgram.path(), problem)) {
    problem = std::string("the signed copy of ") + kSignedProgramName +
              " fails its proof, so the program is left as it was: " + problem;
    return kPublishRefused;
  }
  return signedProgram.Replace(program, problem);
}

}  // namespace

int RunSign(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  SignRequest request;
  std::string problem;
  if (!ParseSignRequest(arguments, request, problem)) {
    err << "zq_publish sign: " << problem << '\n' << kUsage;
    return kPublishBadArguments;
  }
  const fs::path releaseDir = PathFromUtf8(request.releaseDir);
  std::error_code error;
  if (!fs::is_directory(releaseDir, error)) {
    return Fail(err, kPublishBadArguments, "--release-dir \"" + request.releaseDir + "\" is not a directory");
  }
  if (!CheckSigningCertificate(request.certificate, problem)) return Fail(err, kPublishBadArguments, problem);
  const fs::path program = releaseDir / kSignedProgramName;
  if (!fs::is_regular_file(program, error)) {
    return Fail(err, kPublishRefused, std::string("the release holds no ") + kSignedProgramName);
  }
  // Signed again, the program would get new bytes (the signing time) and be
  // published as changed: every PC would fetch it for nothing.
  if (VerifySignature(request.certificate, program, problem)) {
    out << kSignedProgramName << " in \"" << request.releaseDir << "\" is signed by this certificate already\n";
    return kPublishOk;
  }
  const int result = SignInPlace(request.certificate, program, problem);
  if (result != kPublishOk) return Fail(err, result, problem);
  out << "signed " << kSignedProgramName << " in \"" << request.releaseDir << "\"\n";
  return kPublishOk;
}
