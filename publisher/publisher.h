#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "publisher/exit_codes.h"

// zq_publish: turns a release directory into what the update server serves.
//
//   zq_publish --release-dir DIR --version N --date DATE --base-url URL --out DIR
//              [--previous FILE]... [--reg PATTERN]... [--delete RELPATH]... [--installer FILE | --make-installer]
//              [--sign-key FILE [--expires DAYS]]
//              [--delta-releases K] [--zstd-level N] [--no-smaller-forms] [--rollout PERCENT]
//              [--sign-cert FILE.p12 --sign-password-file FILE]
//   zq_publish sign ...       (operator_commands.h)
//   zq_publish rollout ...    (operator_commands.h)
//   zq_publish rollback ...   (operator_commands.h)
//   zq_publish package ...    (operator_commands.h)
//   zq_publish keygen --out PREFIX
//
// Arguments are UTF-8 (the Windows entry point converts its wide ones). The
// summary goes to out, messages to err. Exit codes: 0 published, 2 bad
// arguments (a --sign-key that cannot be read, is not a key or that others
// can read among them), 3 release refused (nothing written), 4 I/O failure.
// With --sign-key the release carries package.json.sig beside package.json,
// and its manifest names the time it was signed ("issued").
// Each --previous names the package.json of an earlier release whose
// directory still holds its files/; the newest is the one continued, and the
// --delta-releases newest (3 unless given) lend the bases of deltas.
// --make-installer makes the release a full one whose installer is built
// from the release itself (packages/installer_package.h), named
// ZenquiloStudent-<arch>-setup.exe; it installs the release's manifest as
// planned without the installer's keys. The Windows build refuses it.
// --rollout writes the share of PCs that take the release (0 to 100); 100,
// the default, writes nothing.
// With --sign-cert and --sign-password-file (a code-signing certificate, see
// publisher/packages/code_signing.h) the release's ZenquiloStudent.exe must
// carry a valid Authenticode signature by that certificate (zq_publish sign
// makes one), or the release is refused (a wrong password among the
// reasons); a certificate that is not a file, or a password file that others
// can read or that is not one line, is a bad argument.
int RunPublisher(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// As above, with the encoders of the smaller forms given (tests hand in faulty ones).
struct FormEncoder;
int RunPublisher(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                 const FormEncoder& encoder);
