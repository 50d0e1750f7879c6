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
