#pragma once

#include <ostream>
#include <string>
#include <vector>

// The commands an operator runs on releases already published, beside
// publishing a new one. Arguments as RunPublisher's (UTF-8), and its exit
// codes: 0 done, 2 bad arguments, 3 refused (nothing written), 4 I/O failure.

// zq_publish rollout --out DIR --percent P [--sign-key FILE]
// Sets the share of PCs that take the release published in DIR, in place:
// its manifest is rewritten (and signed again, when it was signed, with the
// key that signed it, and issued a second after the text it replaces at the
// least), its files are not touched. 100 takes the key out, so the manifest
// is again what a release for everybody is.
int RunRollout(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// zq_publish rollback --to PUBLISHED_DIR --version N --out DIR --previous FILE...
//                     [--base-url URL] [--date DATE] [the options of a release]
// Publishes release N made of exactly the files of the release published in
// PUBLISHED_DIR, continuing the newest --previous: a file whose bytes differ
// from it gets a new ver, a file that the earlier release did not have gets
// a "delete" entry. The base URL is the current release's unless given; the
// date is today's (UTC, YYYYMMDD) unless given. The files are taken from
// PUBLISHED_DIR/files/ and proved against its manifest first. With
// --sign-key, PUBLISHED_DIR/package.json.sig must verify with that key, and
// every file and the installer be proved by the SHA-256 its manifest names:
// otherwise the rollback is refused, since it would sign whatever the
// published tree has come to hold.
struct FormEncoder;
int RunRollback(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                const FormEncoder& encoder);

// zq_publish sign --release-dir DIR --sign-cert FILE.p12 --sign-password-file FILE
// Authenticode-signs the release tree's ZenquiloStudent.exe in place with the
// certificate (code_signing.h), before the tree is published with the same
// options and packaged. The signed program is written beside the program,
// proved, then renamed over it; a program that already carries a valid
// signature by this certificate is left as it is, so that signing twice
// publishes no new bytes. 3 when signing or its proof fails, a wrong
// password among the reasons (the program is left as it was); 2 for a
// certificate that is not a file or a password file that CheckSigningCertificate refuses.
int RunSign(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// zq_publish package --published DIR --release-dir DIR --out DIR
//                    [--sign-cert FILE.p12 --sign-password-file FILE]
// Builds the packages that put the release published in DIR onto a PC from
// the release tree it was published from: ZenquiloStudent-<arch>.msi
// (packages/msi_package.h), the architecture that of the tree's
// ZenquiloStudent.exe. Each installs DIR/package.json byte for byte. The tree
// must hold exactly the files the manifest names, with their MD5s (3
// otherwise). --out is made when missing; a package already there is
// replaced. Packages are made by the Linux build only (4 on Windows).
int RunPackage(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// zq_publish report --log ACCESS_LOG [--log ACCESS_LOG]... [--release N]
// Reads nginx access logs of the update server or of school caches, plain or
// gzip-compressed (rotated), and prints per day the update checks and the
// share of each installed version, then how release N's files were served:
// whole, compressed or as deltas (access_log_report.h). N is the newest ver
// of a file served unless given. Malformed lines are skipped and counted.
// 2 for a log that is not a file, 4 for one that cannot be read to its end.
int RunReport(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
