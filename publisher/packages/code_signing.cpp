#include "publisher/packages/code_signing.h"

#include <sodium/utils.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "publisher/exit_codes.h"
#include "publisher/packages/run_tool.h"
#include "publisher/private_file.h"
#include "publisher/release_tree.h"

namespace {

// osslsigncode reads at most 4095 bytes of a password file, openssl at most
// 1023 of its first line.
constexpr std::size_t kPasswordFileCapacity = 4096;
constexpr std::size_t kLongestPassword = 1023;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// A path as a tool's argument, and as a message names it.
std::string Text(const fs::path& path) {
  std::string text;
  Utf8FromPath(path, text);
  return text;
}

std::string Shown(const fs::path& path) {
  return "\"" + Text(path) + "\"";
}

// Why a password file would not reach both tools as the same password; empty when it would.
std::string PasswordFault(std::string& text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.empty()) return "holds no password";
  // openssl keeps a carriage return that osslsigncode drops, and drops a
  // second line that osslsigncode keeps: a password that opens the
  // certificate for one of them would not for the other.
  if (text.find('\r') != std::string::npos) return "holds a carriage return (a Windows line end)";
  if (text.find('\n') != std::string::npos) return "holds more than one line";
  if (text.compare(0, 3, kByteOrderMark) == 0) return "starts with a byte order mark; save it without one";
  if (text.size() > kLongestPassword) return "holds a password longer than 1023 bytes, more than openssl reads";
  return std::string();
}

// The line of a tool's output that says what went wrong: the first that is
// neither empty, nor osslsigncode's closing "Failed", nor a line of
// OpenSSL's error queue ("4087...:error:...").
std::string TellingLine(const std::string& output) {
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    start = end + 1;
    line.erase(0, line.find_first_not_of(" \t"));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line != "Failed" && line.find(":error:") == std::string::npos) return line;
  }
  return "it gave no reason";
}

// The problem of a tool that could not be run at all: not installed, or the
// Windows build of the publisher.
std::string NotRun(const std::string& output) {
  return "cannot run " + TellingLine(output);
}

// What osslsigncode verify's output means for the operator, by the first
// mark of the table that it holds (2.5 and 2.9 word these alike).
std::string VerifyFailure(const std::string& output) {
  static const struct {
    const char* mark;
    const char* meaning;
  } kMeanings[] = {
      {"No signature found", "it carries no Authenticode signature"},
      {"file has no signature", "it carries no Authenticode signature"},
      {"Leaf hash match: failed", "it is signed by another certificate"},
      {"MISMATCH", "its bytes changed after it was signed"},
      {"signature not at end of file", "its bytes changed after it was signed"},
      {"Unrecognized file type", "it is neither a Windows program nor an MSI"},
      {"unsupported input file type", "it is neither a Windows program nor an MSI"},
      {"Failed to open file", "it cannot be read"},
      {"unable to get local issuer certificate",
       "its certificate's chain does not reach a root that the PKCS#12 carries (export it with its whole chain)"},
  };
  for (const auto& meaning : kMeanings) {
    if (output.find(meaning.mark) != std::string::npos) return meaning.meaning;
  }
  // The certificate chain's verdict, such as "certificate has expired".
  const std::size_t error = output.find("Error: ");
  if (error == std::string::npos) return "its signature does not verify";
  const std::size_t from = error + 7;
  return "its signature does not verify (" + output.substr(from, output.find('\n', from) - from) + ")";
}

// A directory of ours under the system's temporary one, removed with what it
// holds. Only certificates go there, which are public.
class ScratchDirectory {
 public:
  ScratchDirectory() = default;
  ~ScratchDirectory() {
    std::error_code error;
    if (!path_.empty()) fs::remove_all(path_, error);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  bool Create(std::string& problem) {
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    std::mt19937 random(
        static_cast<unsigned>(std::random_device()() ^ std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 16 && !error; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, "zq_publish-certificate-%08x", static_cast<unsigned>(random()));
      if (fs::create_directory(base / name, error) && !error) {
        path_ = base / name;
        return true;
      }
    }
    problem = "cannot make a scratch directory in " + Shown(base);
    return false;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// osslsigncode 2.9 and later fetch the revocation list that the signer's
// certificate names (every bought one names one) and fail without the
// network; "-ignore-crl" says not to. 2.5 fetches nothing and refuses the
// option as unknown. Also proves osslsigncode is there.
bool AddRevocationSkip(std::vector<std::string>& verify, std::string& problem) {
  std::string output;
  if (RunTool({"osslsigncode", "--version"}, output) != 0) {
    problem = NotRun(output);
    return false;
  }
  int major = 0, minor = 0;
  if (std::sscanf(output.c_str(), "osslsigncode %d.%d", &major, &minor) == 2 && (major > 2 || minor >= 9)) {
    verify.push_back("-ignore-crl");
  }
  return true;
}

// What the certificate's PKCS#12 tells a proof: the certificates it carries
// (a file osslsigncode trusts) and its own certificate's SHA-256.
struct OwnCertificate {
  fs::path trusted;
  std::string sha256;
};

// One openssl run; false with problem set when it fails.
bool RunOpenssl(const SigningCertificate& certificate, const std::vector<std::string>& arguments,
                std::string& problem) {
  std::vector<std::string> command = {"openssl"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::string output;
  const int code = RunTool(command, output);
  if (code < 0) problem = NotRun(output);
  if (code > 0) {
    problem = "cannot read the certificate " + Shown(certificate.pkcs12) + " with the password in " +
              Shown(certificate.passwordFile) + " (openssl: " + TellingLine(output) + ")";
  }
  return code == 0;
}

bool ReadOwnCertificate(const SigningCertificate& certificate, const fs::path& scratch, OwnCertificate& own,
                        std::string& problem) {
  own.trusted = scratch / "certificates.pem";
  const fs::path leaf = scratch / "own.pem";
  const fs::path leafDer = scratch / "own.der";
  // -legacy: a PKCS#12 exported by older tools is encrypted with RC2, which
  // OpenSSL 3 reads only through its legacy provider (osslsigncode loads it
  // itself); the option reads today's PKCS#12 files as well.
  const std::vector<std::string> open = {
      "pkcs12", "-legacy", "-in", Text(certificate.pkcs12), "-passin", "file:" + Text(certificate.passwordFile),
      "-nokeys"};
  std::vector<std::string> all = open, ownOnly = open;
  all.insert(all.end(), {"-out", Text(own.trusted)});
  ownOnly.insert(ownOnly.end(), {"-clcerts", "-out", Text(leaf)});
  if (!RunOpenssl(certificate, all, problem) || !RunOpenssl(certificate, ownOnly, problem)) return false;
  FileDigests digests;
  if (!RunOpenssl(certificate, {"x509", "-in", Text(leaf), "-outform", "DER", "-out", Text(leafDer)}, problem) ||
      !DigestFile(leafDer, digests)) {
    problem = "the certificate " + Shown(certificate.pkcs12) + " holds no certificate of its private key";
    return false;
  }
  own.sha256 = digests.sha256;
  return true;
}

// A file's name as messages give it.
std::string NameOf(const fs::path& file) {
  std::string name;
  return Utf8FromPath(file.filename(), name) ? name : std::string("the file");
}

// The signed file beside the file until it takes its place; removed when it
// does not.
class SignedBeside {
 public:
  explicit SignedBeside(const fs::path& file) : path_(file) { path_ += ".signing"; }
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
      problem = "cannot put the signed copy in the place of " + NameOf(target) + ": " + error.message() +
                "; it is left unsigned";
      return kPublishIoError;
    }
    path_.clear();
    return kPublishOk;
  }

 private:
  fs::path path_;
};

}  // namespace

int SignInPlace(const SigningCertificate& certificate, const fs::path& file, std::string& problem) {
  SignedBeside signedFile(file);
  if (!SignFile(certificate, file, signedFile.path(), problem)) {
    problem = "cannot sign " + NameOf(file) + ": " + problem;
    return kPublishRefused;
  }
  if (!VerifySignature(certificate, signedFile.path(), problem)) {
    problem = "the signed copy of " + NameOf(file) + " fails its proof, so the file is left as it was: " + problem;
    return kPublishRefused;
  }
  return signedFile.Replace(file, problem);
}

bool CheckSigningCertificate(const SigningCertificate& certificate, std::string& problem) {
  std::error_code error;
  if (!fs::is_regular_file(certificate.pkcs12, error)) {
    problem = "the certificate " + Shown(certificate.pkcs12) + " is not a file";
    return false;
  }
  std::array<char, kPasswordFileCapacity> buffer;
  std::size_t length = 0;
  std::string fault;
  if (ReadPrivateFile(certificate.passwordFile, buffer.data(), buffer.size(), length, fault)) {
    std::string text(buffer.data(), length);
    fault = PasswordFault(text);
    if (!text.empty()) sodium_memzero(&text[0], text.size());
  }
  sodium_memzero(buffer.data(), buffer.size());
  if (!fault.empty()) problem = "the password file " + Shown(certificate.passwordFile) + " " + fault;
  return fault.empty();
}

bool SignFile(const SigningCertificate& certificate, const fs::path& in, const fs::path& out, std::string& problem) {
  if (!CheckSigningCertificate(certificate, problem)) return false;
  std::error_code error;
  if (fs::equivalent(in, out, error)) {
    problem = "a file is signed into another file, not over itself";
    return false;
  }
  // osslsigncode 2.9 will not replace a file.
  fs::remove(out, error);
  std::string output;
  const int code = RunTool({"osslsigncode", "sign", "-pkcs12", Text(certificate.pkcs12), "-readpass",
                            Text(certificate.passwordFile), "-h", "sha256", "-in", Text(in), "-out", Text(out)},
                           output);
  if (code == 0) return true;
  fs::remove(out, error);
  problem = code < 0 ? NotRun(output) : "osslsigncode: " + TellingLine(output);
  return false;
}

bool VerifySignature(const SigningCertificate& certificate, const fs::path& file, std::string& problem) {
  if (!CheckSigningCertificate(certificate, problem)) return false;
  std::vector<std::string> verify = {"osslsigncode", "verify", "-in", Text(file)};
  if (!AddRevocationSkip(verify, problem)) return false;
  ScratchDirectory scratch;
  OwnCertificate own;
  if (!scratch.Create(problem) || !ReadOwnCertificate(certificate, scratch.path(), own, problem)) return false;
  verify.insert(verify.end(), {"-CAfile", Text(own.trusted), "-require-leaf-hash", "sha256:" + own.sha256});
  std::string output;
  const int code = RunTool(verify, output);
  if (code == 0) return true;
  problem = code < 0 ? NotRun(output) : VerifyFailure(output);
  return false;
}
