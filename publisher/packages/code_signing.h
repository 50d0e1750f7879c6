#pragma once

#include <filesystem>
#include <string>

// Authenticode signatures on the program and its packages (a PE program or an
// MSI), made and proved with Debian's osslsigncode (2.5 as Debian 12 ships
// it, or 2.9 and later) and openssl, run through RunTool: the Windows build
// of the publisher refuses. Any thread; each problem is one line that names
// no file the caller gave but the certificate's.
//
// What is trusted when proving a signature is the operator's certificate
// itself: the certificates its PKCS#12 file carries (its own and its chain up
// to the root) stand in for a root store, and the signer must be exactly the
// PKCS#12's own certificate. The question asked is "did this operator's
// certificate sign these bytes", not whether the PCs will trust that
// certificate: their root stores and the revocation lists decide that on
// each PC, and neither can be seen from the publisher (a test CA is then as
// good as a bought certificate, and proving needs no network).

// A code-signing certificate as the operator gives it: a PKCS#12 file (the
// certificate, its chain and its private key) and a private file holding its
// password. The password never reaches a command line: both tools read it
// from the file.
struct SigningCertificate {
  std::filesystem::path pkcs12;
  std::filesystem::path passwordFile;
};

// The release's program, which publishing with a certificate proves signed.
inline constexpr char kSignedProgramName[] = "ZenquiloStudent.exe";

// True when the PKCS#12 is a file and the password file is one that both
// tools read alike: private to its owner (private_file.h's rule, as for a
// release key), one line of 1 to 1023 bytes ending in at most a line feed,
// no carriage return, no byte order mark. Does not open the PKCS#12.
bool CheckSigningCertificate(const SigningCertificate& certificate, std::string& problem);

// Signs in (a PE program or an MSI) with SHA-256, without a timestamp (a
// timestamp server needs the network), into out, which is replaced and must
// not be in. out is removed when signing fails.
bool SignFile(const SigningCertificate& certificate, const std::filesystem::path& in, const std::filesystem::path& out,
              std::string& problem);

// True when file carries a valid Authenticode signature over exactly its
// bytes, made by certificate's own certificate (see above for what is
// trusted). Writes only into a scratch directory of its own, which it
// removes.
bool VerifySignature(const SigningCertificate& certificate, const std::filesystem::path& file, std::string& problem);

// Signs file beside itself, proves the signature, then renames the signed
// copy over it: file is never half written, nor left with a signature that
// does not verify. 0; 3 when signing or its proof fails (file as it was); 4
// when the rename fails. problem set to one line otherwise.
int SignInPlace(const SigningCertificate& certificate, const std::filesystem::path& file, std::string& problem);
