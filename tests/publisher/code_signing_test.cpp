// Authenticode signing with osslsigncode, run against whichever osslsigncode
// PATH finds first (Debian 12's 2.5 and later ones word things differently).
// A fault here ships an unsigned program or MSI as signed, takes a program
// signed by somebody else's certificate (or one changed after signing) for
// ours, puts the password on a command line, or leaves a release tree with a
// half-signed program. Certificates are made by each run with openssl: a
// self-signed one, and two issued by a test CA.

#include "publisher/packages/code_signing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/publisher/publisher_test_support.h"
#include "tests/support/test_files.h"
#include "publisher/packages/run_tool.h"
#include "publisher/release_tree.h"

namespace {

const char kPassword[] = "correct horse\n";

// The smallest image osslsigncode takes for a Windows program: a DOS header
// pointing at "PE\0\0", a COFF header for x86-64 without sections, and a
// PE32+ optional header whose 16 data directories include the certificate
// table a signature goes into.
std::string MinimalProgram() {
  std::string image(512, '\0');
  const auto put = [&image](std::size_t at, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) image[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  image.replace(0, 2, "MZ");
  put(60, 0x40, 4);
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  put(0x44, 0x8664, 2);     // Machine
  put(0x44 + 16, 240, 2);   // SizeOfOptionalHeader
  put(0x44 + 18, 0x22, 2);  // an executable image for large addresses
  put(0x58, 0x20B, 2);      // PE32+
  put(0x58 + 108, 16, 4);   // NumberOfRvaAndSizes
  return image;
}

// Runs a tool the test needs; the test fails with its output when it does.
void Run(const std::vector<std::string>& arguments) {
  std::string output;
  ASSERT_EQ(RunTool(arguments, output), 0) << arguments[0] << " " << arguments[1] << ":\n" << output;
}

std::string Text(const fs::path& path) {
  std::string text;
  Utf8FromPath(path, text);
  return text;
}

// What every test signs and proves with, made once per test suite.
class Material {
 public:
  Material() : dir_("zq_code_signing_") {
    WritePrivate("password", kPassword);
    WritePrivate("wrong-password", "not the password\n");
    MakeSelfSigned("own", "keyUsage=critical,digitalSignature");
    // Every bought certificate names a revocation list; nothing answers here.
    MakeSelfSigned("listed", "crlDistributionPoints=URI:http://127.0.0.1:9/test.crl");
    MakeIssued();
    test_files::WriteFile(Path("program.exe"), MinimalProgram());
    MakeMsi();
  }

  fs::path Path(const std::string& name) const { return dir_.path() / name; }
  SigningCertificate Certificate(const std::string& name, const std::string& password = "password") const {
    return {Path(name + ".p12"), Path(password)};
  }
  void WritePrivate(const std::string& name, const std::string& bytes) const {
    test_files::WriteFile(Path(name), bytes);
    fs::permissions(Path(name), fs::perms::owner_read | fs::perms::owner_write);
  }

 private:
  std::string File(const std::string& name) const { return Text(Path(name)); }
  // as.p12 (name.p12 unless given) of name.key and name.pem, with the certificates of more.
  void Export(const std::string& name, std::vector<std::string> more, const std::string& as = "") {
    std::vector<std::string> command = {"openssl",
                                        "pkcs12",
                                        "-export",
                                        "-inkey",
                                        File(name + ".key"),
                                        "-in",
                                        File(name + ".pem"),
                                        "-out",
                                        File((as.empty() ? name : as) + ".p12"),
                                        "-passout",
                                        "file:" + File("password")};
    command.insert(command.end(), more.begin(), more.end());
    Run(command);
  }
  // A self-signed code-signing certificate with one more extension.
  void MakeSelfSigned(const std::string& name, const std::string& extension) {
    Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=ZenquiloStudent test " + name, "-keyout", File(name + ".key"), "-out", File(name + ".pem"), "-addext",
         "extendedKeyUsage=codeSigning", "-addext", extension});
    Export(name, {});
  }
  // A test CA, and two code-signing certificates it issued ("first" and
  // "second"), each exported with the CA's; "first" also without it.
  void MakeIssued() {
    Run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=ZenquiloStudent CA",
         "-keyout", File("ca.key"), "-out", File("ca.pem"), "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
         "keyUsage=critical,keyCertSign"});
    test_files::WriteFile(Path("issued.ext"), "extendedKeyUsage=codeSigning\n");
    int serial = 100;
    for (const std::string name : {"first", "second"}) {
      Run({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=ZenquiloStudent test " + name,
           "-keyout", File(name + ".key"), "-out", File(name + ".csr")});
      Run({"openssl", "x509", "-req", "-in", File(name + ".csr"), "-CA", File("ca.pem"), "-CAkey", File("ca.key"),
           "-set_serial", std::to_string(++serial), "-days", "2", "-extfile", File("issued.ext"), "-out",
           File(name + ".pem")});
      Export(name, {"-certfile", File("ca.pem")});
    }
    Export("first", {}, "first-alone");
  }
  void MakeMsi() {
    test_files::WriteFile(Path("readme.txt"), "installed by the test package\n");
    test_files::WriteFile(Path("package.wxs"),
                          "<?xml version='1.0' encoding='utf-8'?>\n"
                          "<Wix xmlns='http://schemas.microsoft.com/wix/2006/wi'>\n"
                          " <Product Id='*' Name='SigningSample' Language='1033' Version='1.0.0' Manufacturer='Test'\n"
                          "          UpgradeCode='6b1f4b5e-2d6c-4c55-9b1a-0c2f4e9a7d11'>\n"
                          "  <Package InstallerVersion='200' Compressed='yes' />\n"
                          "  <Media Id='1' Cabinet='data.cab' EmbedCab='yes' />\n"
                          "  <Directory Id='TARGETDIR' Name='SourceDir'><Directory Id='ProgramFilesFolder'>\n"
                          "   <Directory Id='INSTALLDIR' Name='SigningSample'>\n"
                          "    <Component Id='Main' Guid='1c7d4a55-0e0c-4b8e-b3a3-5f1b2f6c9e21'>\n"
                          "     <File Id='readme' Source='readme.txt' />\n"
                          "    </Component>\n"
                          "   </Directory>\n"
                          "  </Directory></Directory>\n"
                          "  <Feature Id='All' Level='1'><ComponentRef Id='Main' /></Feature>\n"
                          " </Product>\n"
                          "</Wix>\n");
    // wixl finds a relative Source beside the .wxs (it takes no absolute one).
    Run({"wixl", "-o", Text(Path("package.msi")), Text(Path("package.wxs"))});
  }

  test_files::TempDirectory dir_;
};

class CodeSigning : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string version;
    RunTool({"osslsigncode", "--version"}, version);
    std::cout << "[ osslsigncode ] " << version.substr(0, version.find('\n')) << '\n';
    material_ = std::make_unique<Material>();
  }
  // Also at exit: a suite whose set-up failed is not torn down.
  static void TearDownTestSuite() { material_.reset(); }
  const Material& material() const { return *material_; }

  // A copy of a file of the material in this test's scratch directory.
  fs::path Copy(const std::string& name, const std::string& as) const {
    fs::copy_file(material().Path(name), scratch_.path() / as);
    return scratch_.path() / as;
  }
  fs::path Scratch(const std::string& name) const { return scratch_.path() / name; }

 private:
  static std::unique_ptr<Material> material_;
  PublisherScratch scratch_;
};

std::unique_ptr<Material> CodeSigning::material_;

// A copy of from with the byte at offset, or at the first of marker, turned
// into another: the kind of change a signature must catch.
fs::path Changed(const fs::path& from, const fs::path& to, std::size_t offset, const char* marker) {
  std::string bytes = test_files::ReadFile(from);
  if (marker) offset = bytes.find(marker);
  EXPECT_LT(offset, bytes.size()) << (marker ? marker : "offset");
  if (offset < bytes.size()) bytes[offset] = static_cast<char>(bytes[offset] ^ 0x20);
  test_files::WriteFile(to, bytes);
  return to;
}

// PATH without osslsigncode (nor anything else) until the scope ends.
class NoToolsOnPath {
 public:
  explicit NoToolsOnPath(const fs::path& empty) : saved_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    setenv("PATH", Text(empty).c_str(), 1);
  }
  ~NoToolsOnPath() { setenv("PATH", saved_.c_str(), 1); }

 private:
  std::string saved_;
};

// Both kinds of file the publisher signs: signed, proved; unsigned, or
// changed after signing, refused.
TEST_F(CodeSigning, SignsAndProvesAProgramAndAnMsi) {
  const SigningCertificate own = material().Certificate("own");
  const struct {
    const char* file;
    std::size_t offset;  // a byte the signature covers
    const char* marker;  // or the first of these
  } kinds[] = {
      {"program.exe", 300, nullptr},  // past the headers
      {"package.msi", 0, "SigningSample"},
  };
  for (const auto& kind : kinds) {
    const fs::path in = Copy(kind.file, std::string("unsigned-") + kind.file);
    const fs::path out = Scratch(std::string("signed-") + kind.file);
    std::string problem;
    ASSERT_TRUE(SignFile(own, in, out, problem)) << kind.file << ": " << problem;
    EXPECT_TRUE(VerifySignature(own, out, problem)) << kind.file << ": " << problem;
    EXPECT_EQ(test_files::ReadFile(in), test_files::ReadFile(material().Path(kind.file))) << "in is left alone";

    EXPECT_FALSE(VerifySignature(own, in, problem)) << kind.file;
    EXPECT_EQ(problem, "it carries no Authenticode signature") << kind.file;
    const fs::path changed = Changed(out, Scratch(std::string("changed-") + kind.file), kind.offset, kind.marker);
    EXPECT_FALSE(VerifySignature(own, changed, problem)) << kind.file;
    EXPECT_EQ(problem, "its bytes changed after it was signed") << kind.file;
  }
}

// The signer must be the operator's own certificate: another one issued by
// the same CA, or any other self-signed one, is refused, though its chain is
// as valid. The CA that the PKCS#12 carries is what makes an issued
// certificate's chain verify without a root store.
TEST_F(CodeSigning, ProvesTheCertificateItselfNotItsIssuer) {
  const fs::path out = Scratch("first.exe");
  std::string problem;
  ASSERT_TRUE(SignFile(material().Certificate("first"), material().Path("program.exe"), out, problem)) << problem;
  EXPECT_TRUE(VerifySignature(material().Certificate("first"), out, problem)) << problem;
  for (const std::string other : {"second", "own"}) {
    EXPECT_FALSE(VerifySignature(material().Certificate(other), out, problem)) << other;
    EXPECT_EQ(problem, "it is signed by another certificate") << other;
  }
}

// osslsigncode 2.9 and later fetch a certificate's revocation list and fail
// without it: the publisher proves offline, with every version.
TEST_F(CodeSigning, ProvesOfflineACertificateThatNamesARevocationList) {
  const fs::path out = Scratch("listed.msi");
  std::string problem;
  ASSERT_TRUE(SignFile(material().Certificate("listed"), material().Path("package.msi"), out, problem)) << problem;
  EXPECT_TRUE(VerifySignature(material().Certificate("listed"), out, problem)) << problem;
}

// osslsigncode and openssl read a password file differently: each of these
// would open the certificate for one of them and not the other, or is a
// secret others could read. Refused before any tool runs, by name.
TEST_F(CodeSigning, RefusesPasswordFilesTheToolsWouldReadApart) {
  const struct {
    const char* bytes;
    const char* says;  // nullptr: accepted
  } files[] = {
      {"correct horse\n", nullptr},
      {"correct horse", nullptr},
      {"", "holds no password"},
      {"\n", "holds no password"},
      {"correct horse\r\n", "carriage return"},
      {"correct\nhorse\n", "more than one line"},
      {"correct horse\n\n", "more than one line"},
      {"\xEF\xBB\xBF"
       "correct horse\n",
       "byte order mark"},
  };
  for (const auto& file : files) {
    material().WritePrivate("candidate", file.bytes);
    std::string problem;
    const bool usable = CheckSigningCertificate(material().Certificate("own", "candidate"), problem);
    EXPECT_EQ(usable, file.says == nullptr) << file.bytes;
    if (file.says) EXPECT_NE(problem.find(file.says), std::string::npos) << problem;
    if (file.says) EXPECT_NE(problem.find("\"" + Text(material().Path("candidate")) + "\""), std::string::npos);
  }
  material().WritePrivate("candidate", std::string(1024, 'x'));
  std::string problem;
  EXPECT_FALSE(CheckSigningCertificate(material().Certificate("own", "candidate"), problem));
  EXPECT_NE(problem.find("longer than 1023 bytes"), std::string::npos) << problem;

  fs::permissions(material().Path("password"), fs::perms::group_read, fs::perm_options::add);
  EXPECT_FALSE(CheckSigningCertificate(material().Certificate("own"), problem));
  EXPECT_NE(problem.find("chmod 600"), std::string::npos) << problem;
  fs::permissions(material().Path("password"), fs::perms::group_read, fs::perm_options::remove);
  EXPECT_FALSE(CheckSigningCertificate({material().Path("none.p12"), material().Path("password")}, problem));
  EXPECT_NE(problem.find("none.p12\" is not a file"), std::string::npos) << problem;
}

// A wrong password and a missing tool: each refused in words the operator
// can act on, and no signed file left behind.
TEST_F(CodeSigning, RefusesAWrongPasswordAndAMissingTool) {
  const SigningCertificate wrong = material().Certificate("own", "wrong-password");
  const fs::path out = Scratch("signed.exe");
  std::string problem;
  EXPECT_FALSE(SignFile(wrong, material().Path("program.exe"), out, problem));
  EXPECT_NE(problem.find("(Wrong password?)"), std::string::npos) << problem;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(VerifySignature(wrong, material().Path("program.exe"), problem));
  EXPECT_EQ(problem.find("cannot read the certificate"), 0u) << problem;
  EXPECT_NE(problem.find("invalid password"), std::string::npos) << problem;

  const SigningCertificate own = material().Certificate("own");
  fs::create_directory(Scratch("empty"));
  NoToolsOnPath noTools(Scratch("empty"));
  EXPECT_FALSE(SignFile(own, material().Path("program.exe"), out, problem));
  EXPECT_EQ(problem, "cannot run osslsigncode: No such file or directory");
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(VerifySignature(own, material().Path("program.exe"), problem));
  EXPECT_EQ(problem, "cannot run osslsigncode: No such file or directory");
}

// The program's name in a release tree.
const char kProgram[] = "ZenquiloStudent.exe";

std::vector<std::string> Options(const SigningCertificate& certificate) {
  return {"--sign-cert", Text(certificate.pkcs12), "--sign-password-file", Text(certificate.passwordFile)};
}

// zq_publish's answer, and whether err held one line only.
bool OneLine(const Outcome& outcome) {
  return !outcome.err.empty() && outcome.err.find('\n') == outcome.err.size() - 1;
}

class SignedPublishing : public CodeSigning {
 protected:
  SignedPublishing() { Tree("release", MinimalProgram()); }
  void Tree(const std::string& name, const std::string& program) const {
    work_.Write(name + "/" + kProgram, program);
    work_.Write(name + "/lesson.txt", "the release's other file");
  }
  Outcome Publish(const std::string& tree, const std::string& version, const std::string& out,
                  const std::vector<std::string>& extra) const {
    std::vector<std::string> arguments = {"--release-dir", work_.Text(tree), "--version",  version,
                                          "--date",        "20261209",       "--base-url", "http://127.0.0.1:8080/zq",
                                          "--out",         work_.Text(out)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunZqPublish(arguments);
  }
  Outcome Sign(const std::string& tree, const SigningCertificate& certificate) const {
    std::vector<std::string> arguments = {"sign", "--release-dir", work_.Text(tree)};
    for (const std::string& option : Options(certificate)) arguments.push_back(option);
    return RunZqPublish(arguments);
  }
  bool Exists(const std::string& relative) const { return fs::exists(work_.path() / relative); }
  // The names in a tree: the program must never be left beside a copy.
  std::size_t FilesIn(const std::string& tree) const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(work_.path() / tree), {}));
  }

  PublisherScratch work_;
};

// The operator's order: sign, then publish with the same certificate. An
// unsigned program, one signed by another certificate, or a certificate that
// cannot be opened is refused in one line, and nothing is written.
TEST_F(SignedPublishing, PublishesOnlyAProgramSignedByTheCertificate) {
  const SigningCertificate own = material().Certificate("own");
  const struct {
    std::vector<std::string> options;
    const char* says;
  } refused[] = {
      {Options(own), "cannot prove ZenquiloStudent.exe signed by --sign-cert: it carries no Authenticode signature"},
      {Options(material().Certificate("own", "wrong-password")), "cannot read the certificate"},
  };
  for (const auto& r : refused) {
    const Outcome outcome = Publish("release", "1", "out", r.options);
    EXPECT_EQ(outcome.code, 3) << r.says;
    EXPECT_NE(outcome.err.find(r.says), std::string::npos) << outcome.err;
    EXPECT_TRUE(OneLine(outcome)) << outcome.err;
    EXPECT_FALSE(Exists("out")) << r.says;
  }

  const Outcome signedTree = Sign("release", own);
  ASSERT_EQ(signedTree.code, 0) << signedTree.err;
  std::string problem;
  EXPECT_TRUE(VerifySignature(own, work_.path() / "release" / kProgram, problem)) << problem;
  EXPECT_EQ(FilesIn("release"), 2u);
  const std::string signedBytes = work_.Read(std::string("release/") + kProgram);
  // Signing again would give new bytes that every PC then fetches for nothing.
  const Outcome again = Sign("release", own);
  EXPECT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("already"), std::string::npos) << again.out;
  EXPECT_EQ(work_.Read(std::string("release/") + kProgram), signedBytes);

  const Outcome other = Publish("release", "1", "out", Options(material().Certificate("first")));
  EXPECT_EQ(other.code, 3);
  EXPECT_NE(other.err.find("it is signed by another certificate"), std::string::npos) << other.err;
  const Outcome published = Publish("release", "1", "out", Options(own));
  ASSERT_EQ(published.code, 0) << published.err;
  EXPECT_EQ(work_.Read(std::string("out/files/1/") + kProgram), signedBytes);
  EXPECT_NE(published.out.find("carries the signature of --sign-cert"), std::string::npos) << published.out;
}

// The pair goes together, the password file is judged before anything is
// read, and a release without the program cannot prove it signed.
TEST_F(SignedPublishing, RefusesOptionsThatCannotProveTheProgram) {
  const SigningCertificate own = material().Certificate("own");
  const std::vector<std::string> half = {"--sign-cert", Text(own.pkcs12)};
  EXPECT_EQ(Publish("release", "1", "out", half).code, 2);
  EXPECT_EQ(RunZqPublish({"sign", "--release-dir", work_.Text("release"), half[0], half[1]}).code, 2);
  work_.Write("exposed-password", kPassword);
  const SigningCertificate exposed = {own.pkcs12, work_.path() / "exposed-password"};
  EXPECT_EQ(Publish("release", "1", "out", Options(exposed)).code, 2);
  EXPECT_EQ(Sign("release", exposed).code, 2);

  work_.Write("no-program/lesson.txt", "a tree without the program");
  const Outcome outcome = Publish("no-program", "1", "out", Options(own));
  EXPECT_EQ(outcome.code, 3);
  EXPECT_NE(outcome.err.find("holds no ZenquiloStudent.exe"), std::string::npos) << outcome.err;
  EXPECT_EQ(Sign("no-program", own).code, 3);
  EXPECT_FALSE(Exists("out"));
}

// Signing either replaces the program with one whose signature verifies or
// leaves it as it was, with no copy beside it: a wrong password fails
// signing, and a PKCS#12 without its CA's certificate signs a program whose
// chain does not verify.
TEST_F(SignedPublishing, SignsTheProgramWholeOrNotAtAll) {
  const struct {
    SigningCertificate certificate;
    const char* says;
  } failures[] = {
      {material().Certificate("own", "wrong-password"), "cannot sign ZenquiloStudent.exe: osslsigncode: "},
      {material().Certificate("first-alone"), "does not reach a root"},
  };
  const std::string before = work_.Read(std::string("release/") + kProgram);
  for (const auto& failure : failures) {
    const Outcome outcome = Sign("release", failure.certificate);
    EXPECT_EQ(outcome.code, 3) << failure.says;
    EXPECT_NE(outcome.err.find(failure.says), std::string::npos) << outcome.err;
    EXPECT_TRUE(OneLine(outcome)) << outcome.err;
    EXPECT_EQ(work_.Read(std::string("release/") + kProgram), before) << failure.says;
    EXPECT_EQ(FilesIn("release"), 2u) << failure.says;
  }
}

// A rollback hands the certificate on to the release it publishes: rolling
// back to a release whose program was never signed is refused.
TEST_F(SignedPublishing, RollsBackOnlyToASignedProgram) {
  const SigningCertificate own = material().Certificate("own");
  ASSERT_EQ(Publish("release", "1", "out1", {}).code, 0);
  Tree("signed", MinimalProgram() + std::string(16, '\0'));
  ASSERT_EQ(Sign("signed", own).code, 0);
  std::vector<std::string> continued = Options(own);
  continued.insert(continued.end(), {"--previous", work_.Text("out1/package.json")});
  ASSERT_EQ(Publish("signed", "2", "out2", continued).code, 0);

  std::vector<std::string> rollback = {"rollback",         "--to",       work_.Text("out1"),
                                       "--version",        "3",          "--out",
                                       work_.Text("out3"), "--previous", work_.Text("out2/package.json")};
  for (const std::string& option : Options(own)) rollback.push_back(option);
  const Outcome outcome = RunZqPublish(rollback);
  EXPECT_EQ(outcome.code, 3);
  EXPECT_NE(outcome.err.find("it carries no Authenticode signature"), std::string::npos) << outcome.err;
  EXPECT_FALSE(Exists("out3"));
}

// Packages are made only of a program signed by the certificate, and each
// package (the MSI, the installer executable) is signed in turn.
TEST_F(SignedPublishing, PackagesOnlyASignedProgramAndSignsEachPackage) {
  std::string output;
  if (RunTool({"wixl", "--version"}, output) != 0 || RunTool({"makensis", "-VERSION"}, output) != 0) {
    GTEST_SKIP() << "wixl or makensis is not installed";
  }
  const SigningCertificate own = material().Certificate("own");
  const auto package = [&](const std::string& tree, const std::string& published) {
    std::vector<std::string> arguments = {"package",        "--published", work_.Text(published), "--release-dir",
                                          work_.Text(tree), "--out",       work_.Text("pkg")};
    for (const std::string& option : Options(own)) arguments.push_back(option);
    return RunZqPublish(arguments);
  };
  ASSERT_EQ(Publish("release", "1", "plain", {}).code, 0);
  const Outcome refused = package("release", "plain");
  EXPECT_EQ(refused.code, 3);
  EXPECT_NE(refused.err.find("it carries no Authenticode signature"), std::string::npos) << refused.err;
  EXPECT_FALSE(Exists("pkg"));

  ASSERT_EQ(Sign("release", own).code, 0);
  ASSERT_EQ(Publish("release", "1", "out", Options(own)).code, 0);
  const Outcome packaged = package("release", "out");
  ASSERT_EQ(packaged.code, 0) << packaged.err;
  for (const char* name : {"ZenquiloStudent-x64.msi", "ZenquiloStudent-x64-setup.exe"}) {
    std::string problem;
    EXPECT_TRUE(VerifySignature(own, work_.path() / "pkg" / name, problem)) << name << ": " << problem;
  }
}

// A full release's ready-made installer runs on every PC: with a
// certificate, an unsigned one is refused and a signed one published.
TEST_F(SignedPublishing, PublishesOnlyASignedInstaller) {
  const SigningCertificate own = material().Certificate("own");
  ASSERT_EQ(Sign("release", own).code, 0);
  work_.Write("setup.exe", MinimalProgram());
  std::vector<std::string> options = Options(own);
  options.insert(options.end(), {"--installer", work_.Text("setup.exe")});
  const Outcome refused = Publish("release", "1", "out", options);
  EXPECT_EQ(refused.code, 3);
  EXPECT_NE(refused.err.find("cannot prove --installer signed"), std::string::npos) << refused.err;
  EXPECT_FALSE(Exists("out"));

  std::string problem;
  ASSERT_TRUE(SignFile(own, work_.path() / "setup.exe", work_.path() / "signed-setup.exe", problem)) << problem;
  options.back() = work_.Text("signed-setup.exe");
  const Outcome published = Publish("release", "1", "out", options);
  EXPECT_EQ(published.code, 0) << published.err;
}

}  // namespace
